// Fuzz target: definition files and what their instruments make of messages,
// in memory; no socket, no server, no thread.
//
// Input: the text of a definition file, then (after a NUL byte) program
// messages separated by 0x01 bytes. The file is loaded; when it loads, every
// instrument it binds executes every message (twice, so that what the first
// round set is read back). Whatever the file, its text is also compiled as a
// setter pattern, matched against each message, and used as an answer
// template for a float, an int and a text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "instrument/definition/DeviceState.h"
#include "instrument/definition/Loader.h"
#include "instrument/definition/PyFormat.h"

using namespace tarvos::definition;

namespace {

// Deep YAML nesting costs the parser stack; operators' files are small.
constexpr size_t kInputLimit = 16384;

[[noreturn]] void Broken(const char* what)
{
    std::fprintf(stderr, "tarvos fuzz harness: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kInputLimit) {
        return -1;
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string text = input.substr(0, split);
    std::vector<std::string> messages;
    if (split != std::string::npos) {
        size_t start = split + 1;
        for (;;) {
            const size_t at = input.find('\x01', start);
            messages.push_back(input.substr(start, at == std::string::npos ? std::string::npos : at - start));
            if (at == std::string::npos) {
                break;
            }
            start = at + 1;
        }
    }

    std::vector<Binding> bindings;
    std::string error;
    // Names in the fuzzed text resolve beneath the harness's private folder.
    if (LoadDefinitionText("fuzz.yaml", text, bindings, error)) {
        if (!error.empty()) {
            Broken("a loaded file left an error report");
        }
        for (const Binding& b : bindings) {
            if (b.subAddress.rfind("hislip", 0) != 0 || b.definition == nullptr) {
                Broken("a binding without its sub-address or device");
            }
            DeviceState state(*b.definition, 1);
            for (int round = 0; round < 2; ++round) {
                for (const std::string& m : messages) {
                    const std::string answer = state.Execute(m);
                    if (!answer.empty() && !b.definition->responseEom.empty() &&
                        answer.compare(answer.size() - b.definition->responseEom.size(),
                                       b.definition->responseEom.size(), b.definition->responseEom) != 0) {
                        Broken("an answer without the response end of message");
                    }
                }
            }
        }
    } else if (error.rfind("fuzz.yaml:", 0) != 0) {
        Broken("a refused file reported without its name");
    }

    Pattern pattern;
    std::string why;
    if (pattern.Compile(text, why)) {
        Pattern::Fields fields;
        for (const std::string& m : messages) {
            if (pattern.Match(m, fields) && m.compare(0, pattern.Prefix().size(), pattern.Prefix()) != 0) {
                Broken("a match that does not start with the pattern's literal prefix");
            }
        }
    }
    std::string out;
    FormatTemplate(text, {PyValue::Float(-2.675)}, {}, out);
    FormatTemplate(text, {PyValue::Int(-42)}, {{"ch_id", PyValue::Str("1")}}, out);
    FormatTemplate(text, {PyValue::Str("P6V")}, {}, out);
    return 0;
}
