// Fuzz target: the program-message tokenizer and the parameter parsers, in
// memory: the input becomes the payloads of Data/DataEnd messages (and the end
// of a device clear) that the parser reads through the same look-ahead as a
// channel's; no socket, no server, no thread.
//
// Input: bits 0 to 3 of byte 0 give the number k of operation bytes
// (1 + byte0 % 16); bits 4 to 7, when not 0, put the end of a device clear
// after that many messages (after the last one when there are fewer). The next
// k bytes choose the operations, used in turn until one returns 0 or less; the
// byte after them frames the payload (bits 0 to 6: bytes per message, 0 for one
// message; bit 7 set: the last message is a Data, so no end is signalled); the
// rest is the payload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instrument/Parser.h"
#include "log/Log.h"
#include "tests/support/MemoryInput.h"

using namespace tarvos;

namespace {

constexpr size_t kTokenLimit = 256;

[[noreturn]] void Broken(const char* what)
{
    std::fprintf(stderr, "tarvos fuzz harness: %s\n", what);
    std::abort();
}

// Verbose tracing on (its formatting is exercised too), into /dev/null.
LogState& QuietLog()
{
    static LogState* log = [] {
        auto* state = new LogState();
        std::FILE* sink = std::fopen("/dev/null", "w");
        if (sink == nullptr) {
            Broken("cannot open /dev/null");
        }
        ScopedLock guard(state->logLock);
        state->logStream = sink;
        state->verbose = true;
        return state;
    }();
    return *log;
}

void Frame(test::MemoryInput& input, const uint8_t* payload, size_t size, uint8_t control, size_t clearAfter)
{
    const size_t per = (control & 0x7F) != 0 ? (control & 0x7F) : (size != 0 ? size : 1);
    const bool endLast = (control & 0x80) == 0;
    size_t at = 0;
    size_t messages = 0;
    do {
        const size_t n = size - at < per ? size - at : per;
        const bool last = at + n >= size;
        input.Send(std::string(reinterpret_cast<const char*>(payload + at), n), last && endLast);
        at += n;
        if (++messages == clearAfter || (last && clearAfter > messages)) {
            input.DeviceClear();
        }
    } while (at < size);
    input.Close();
}

// One parser operation chosen by the byte; its result.
long RunOperation(Parser& parser, test::MemoryInput& input, uint8_t op)
{
    uint8_t delimiter = 0;
    switch (op % 7) {
    case 0: {
        std::string token;
        const int clears = input.ClearsConsumed();
        const long r = parser.NextToken(token, delimiter, (op & 0x08) != 0);
        if (token.size() > kTokenLimit) {
            Broken("NextToken returned a token longer than one peek");
        }
        // The end of a device clear ends the program message: an empty unit.
        if (input.ClearsConsumed() != clears && (r != 1 || !token.empty() || delimiter != '\n')) {
            Broken("NextToken read the end of a device clear as something else than the message's end");
        }
        return r;
    }
    case 1: {
        static const uint8_t kStops[] = {'\n', ';', ',', '"'};
        return parser.SkipThrough(kStops[(op >> 3) & 3]);
    }
    case 2: {
        int32_t value = 0;
        delimiter = (op & 0x08) != 0 ? ',' : ' ';
        return parser.ParseInteger(value, delimiter);
    }
    case 3: {
        std::string text;
        const long r = parser.ParseQuotedString(text, delimiter);
        if (text.size() > kTokenLimit) {
            Broken("ParseQuotedString returned more than one peek holds");
        }
        return r;
    }
    case 4: {
        // The sink checks that the block's data arrives as announced.
        struct Checked final : BlockSink {
            void Begin(uint32_t length) override
            {
                if (begun || length == 0 || length > kBlockLengthLimit) {
                    Broken("ParseBlock began a block twice, empty or over the limit");
                }
                begun = true;
                declared = length;
            }
            void Take(const uint8_t* data, size_t length) override
            {
                if (!begun || length == 0 || length > kBlockBufferSize || taken + length > declared) {
                    Broken("ParseBlock handed over data it did not announce");
                }
                // Every byte it hands over must be readable.
                volatile uint8_t sum = 0;
                for (size_t i = 0; i < length; ++i) {
                    sum = static_cast<uint8_t>(sum + data[i]);
                }
                taken += length;
            }
            bool begun = false;
            uint64_t declared = 0;
            uint64_t taken = 0;
        } sink;
        const long r = parser.ParseBlock(sink, delimiter);
        if (r > 0 && static_cast<uint64_t>(r) != sink.taken) {
            Broken("ParseBlock counted other data than it handed over");
        }
        return r;
    }
    case 5: {
        uint8_t bytes[kLookAheadSize + 8];
        const uint32_t n = static_cast<uint32_t>(op >> 3) * 9;
        const Taken r = input.PeekBytes(bytes, n);
        if (r.count > n) {
            Broken("PeekBytes returned more than asked");
        }
        return ParserResult(r);
    }
    default: {
        uint8_t bytes[512];
        InputEnd end = InputEnd::None;
        const uint64_t n = 1 + (static_cast<uint64_t>(op >> 3) * 17) % (sizeof(bytes) - 1);
        const Taken r = input.ReadBytes(bytes, n, end);
        if (r.outcome == Input::ClearEnded && end != InputEnd::DeviceClear) {
            Broken("ReadBytes met a device clear it did not report as the end");
        }
        if (r.count > n) {
            Broken("ReadBytes returned more than asked");
        }
        return ParserResult(r);
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t opCount = 1 + data[0] % 16;
    const size_t clearAfter = data[0] >> 4;
    if (size < 2 + opCount) {
        return 0;
    }
    const uint8_t* ops = data + 1;
    const uint8_t control = data[1 + opCount];
    const uint8_t* payload = data + 2 + opCount;
    const size_t payloadSize = size - 2 - opCount;

    test::MemoryInput input(&QuietLog());
    Frame(input, payload, payloadSize, control, clearAfter);
    Parser parser(input);
    // A peek consumes nothing: operations made of peeks alone run once each.
    bool consumes = false;
    for (size_t k = 0; k < opCount; ++k) {
        consumes = consumes || ops[k] % 7 != 5;
    }
    // Every operation that succeeds consumes input, which is finite: the loop
    // ends once it is used up.
    for (size_t k = 0; consumes || k < opCount; ++k) {
        if (RunOperation(parser, input, ops[k % opCount]) <= 0) {
            break;
        }
    }
    return 0;
}
