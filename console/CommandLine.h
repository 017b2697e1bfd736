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
};

struct ParseOutcome {
    Settings settings;
    // Text printed while the switches were read ("Unknown option: ..." lines,
    // and the reason for stopping).
    std::string output;
    // -1: go on starting; otherwise the exit code to end with at once.
    int exitCode = -1;
};

// Reads the switches after the program name: 1, b, p <port>, s, v after '-' or
// '/'; only the letter right after the switch character counts.
ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments);

// The "Options:" block that start-up prints.
std::string OptionsText(const Settings& settings);

}  // namespace tarvos
