// The console: single key reads without echo, terminal detection, stop requests.
#pragma once

#include <cstdint>
#include <cstdio>

namespace tarvos::platform {

// Reads the keys that steer the server from standard input, which may be a
// terminal or console (read key by key, without echo, until Close restores it)
// or a pipe. The system's requests to stop the process (an interrupt from the
// keyboard, a termination request) are delivered as a carriage return, so they
// stop the server exactly as the Enter key does.
class ConsoleKeys {
public:
    ConsoleKeys() = default;
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    void Open();
    void Close();
    // Blocks until a key arrives and returns its code. At end of input it keeps
    // waiting (only a stop request can end the wait then).
    int ReadKey();

private:
    bool terminalChanged_ = false;
    bool inputEnded_ = false;
};

// The system's requests that stop the server like Enter, as the usage text
// names them.
extern const char kStopRequests[];

// True when the stream is a terminal or console (colour makes sense there).
bool IsTerminal(std::FILE* stream);

// Readies standard output for ConsolePrint; called first thing in main.
void StartConsoleOutput();

// Writes console text (printf rules) to standard output. Every call leaves
// whole and at once when it ends a line, also when standard output is a pipe.
void ConsolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What an error line restores after its highlighting, read from standard
// output when the server starts: the console's text attributes, or on a
// terminal 1 (0 when standard output is none).
uint16_t SaveConsoleAttributes();

// Writes one log line to the stream and flushes it: bright red where the
// stream shows on a terminal or console (restoring savedAttributes after the
// line), plain text elsewhere.
void WriteErrorLine(std::FILE* stream, const char* line, uint16_t savedAttributes);

}  // namespace tarvos::platform
