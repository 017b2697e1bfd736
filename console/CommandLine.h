// The command-line switches of the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos {

struct Settings {
    uint32_t port = 4880;
    bool singleConnection = false;
    bool blockingUnlock = false;
    bool slowMode = false;
    bool verbose = false;
    // Announce the server over multicast DNS once it listens.
    bool announce = false;
    // A definition file (-d): its instruments answer on the sub-addresses
    // they are bound to; empty for the built-in instrument only.
    std::string definitionFile;
};

struct ParseOutcome {
    Settings settings;
    // Text printed while the switches were read ("Unknown option: ..." lines,
    // and the reason for stopping).
    std::string output;
    // -1: go on starting; otherwise the exit code to end with at once.
    int exitCode = -1;
};

// Reads the switches after the program name: 1, b, d <file>, m, p <port>, s, v after '-'
// or '/'; only the letter right after the switch character counts. h and ? (and
// the whole argument --help) put the usage text into the output and end with
// exit code 0; --version ends with exit code 0 and no further text (the banner
// printed before the switches is the version line). mdnsAvailable tells the
// usage text whether this build can announce.
ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments, bool mdnsAvailable = true);

// The text -h prints: every switch, the console keys and where the output goes.
std::string UsageText(bool mdnsAvailable);

// The "Options:" block that start-up prints.
std::string OptionsText(const Settings& settings);

}  // namespace tarvos
