// The console: single key reads without echo, terminal detection, stop requests.
#pragma once

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

// True when the stream is a terminal or console (colour makes sense there).
bool IsTerminal(std::FILE* stream);

}  // namespace tarvos::platform
