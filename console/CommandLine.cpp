#include "console/CommandLine.h"

#include <cctype>
#include <cstdio>

#include "platform/Console.h"
#include "platform/DebugSink.h"

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

ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments, bool mdnsAvailable)
{
    ParseOutcome outcome;
    Settings& s = outcome.settings;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
            continue;
        }
        // The two long forms that command-line users type by habit; any other
        // argument starting "--" is an unknown option.
        if (argument == "--help") {
            outcome.output += UsageText(mdnsAvailable);
            outcome.exitCode = 0;
            return outcome;
        }
        if (argument == "--version") {
            outcome.exitCode = 0;
            return outcome;
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
        case 'm':
            s.announce = true;
            break;
        case 'h':
        case '?':
            outcome.output += UsageText(mdnsAvailable);
            outcome.exitCode = 0;
            return outcome;
        case 'd':
            if (i + 1 >= arguments.size()) {
                outcome.output += "Definition file is missing\n";
                outcome.exitCode = 1;
                return outcome;
            }
            s.definitionFile = arguments[++i];
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

std::string UsageText(bool mdnsAvailable)
{
    std::string text =
        "Usage: tarvos [-1] [-b] [-d <file>] [-m] [-p <port>] [-s] [-v]\n"
        "       tarvos -h | -? | --help | --version\n"
        "\n"
        "Switches start with '-' or '/'; only the letter after it counts, in either case.\n"
        "  -1          only one client session at a time; others are refused\n"
        "  -b          blocking unlock: a deferred lock release is answered once it takes effect\n"
        "  -d <file>   serve the instruments of a definition file (pyvisa-sim's format), one per\n"
        "              resource, each on its sub-address hislipN; the others get the built-in one\n";
    text += mdnsAvailable
                ? "  -m          announce the server as _hislip._tcp over multicast DNS (needs the mDNS responder)\n"
                : "  -m          announce over multicast DNS: not available, built without the Avahi client library\n";
    text +=
        "  -p <port>   TCP port, 1 to 65534 (default 4880), served on IPv4 and IPv6\n"
        "  -s          slow mode: every byte is sent with a call of its own\n"
        "  -v          verbose: trace every HiSLIP message and the command parser\n"
        "  -h, -?      print this text and exit (also --help)\n"
        "  --version   print the version line and exit\n"
        "\n"
        "Console keys: [SPACE] prints the open connections and the lock state;\n"
        "[ENTER] stops the server, as do ";
    text += platform::kStopRequests;
    text +=
        ".\n"
        "\n"
        "Output: banner, settings and console lines on standard output; log lines \"Tarvos:: ...\"\n"
        "(errors always, traces with -v) on standard error; listener failures in ";
    text += platform::kDebugOutputPlace;
    text += ". Files that clients write land in the working directory.\n";
    return text;
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
    if (!settings.definitionFile.empty()) {
        text += "- Instruments of " + settings.definitionFile + "\n";
    }
    return text;
}

}  // namespace tarvos
