#include "console/CommandLine.h"

#include <cctype>
#include <cstdio>

namespace tarvos {

namespace {

// The "%u" conversion: optional white space, then an unsigned decimal number
// (a leading sign is accepted and negates, as the C library does). Leaves value
// untouched when no number is there.
void ScanUnsigned(const std::string& text, uint32_t& value)
{
    unsigned parsed = 0;
    if (std::sscanf(text.c_str(), "%u", &parsed) == 1) {
        value = parsed;
    }
}

}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments)
{
    ParseOutcome outcome;
    Settings& s = outcome.settings;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
            continue;
        }
        const char letter = argument.size() > 1
                                ? static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])))
                                : '\0';
        switch (letter) {
        case '1':
            s.singleConnection = true;
            break;
        case 'b':
            s.blockingUnlock = true;
            break;
        case 's':
            s.slowMode = true;
            break;
        case 'v':
            s.verbose = true;
            break;
        case 'p': {
            if (i + 1 >= arguments.size()) {
                outcome.output += "Port is missing\n";
                outcome.exitCode = 1;
                return outcome;
            }
            ScanUnsigned(arguments[i + 1], s.port);
            if (s.port == 0 || s.port >= 65535) {
                char line[64];
                std::snprintf(line, sizeof(line), "Invalid PortNo: %u\n", s.port);
                outcome.output += line;
                outcome.exitCode = 1;
                return outcome;
            }
            ++i;
            break;
        }
        default:
            outcome.output += "Unknown option: " + argument + "\n";
            break;
        }
    }
    return outcome;
}

std::string OptionsText(const Settings& settings)
{
    std::string text = "Options:\n";
    text += settings.singleConnection ? "- Only one connection allowed\n" : "- Multiple connections allowed\n";
    text += settings.verbose ? "- Verbose on\n" : "- Verbose off\n";
    if (settings.slowMode) {
        text += "- Slow mode sends byte by byte to client to test robustness\n";
    }
    text += settings.blockingUnlock ? "- Unlock is blocking\n" : "- Unlock is non-blocking\n";
    return text;
}

}  // namespace tarvos
