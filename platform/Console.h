// Console: single key reads without echo, terminal detection, stop signals.
#pragma once

#include <cstdio>

namespace tarvos::platform {

// Reads the keys that steer the server from standard input, which may be a
// terminal (switched to raw mode without echo, restored by Close) or a pipe.
// SIGINT and SIGTERM are delivered as a carriage return, so they stop the server
// exactly as the Enter key does.
class ConsoleKeys {
public:
    ConsoleKeys() = default;
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    void Open();
    void Close();
    // Blocks until a key arrives and returns its code. At end of input it keeps
    // waiting (only a stop signal can end the wait then).
    int ReadKey();

private:
    bool terminalChanged_ = false;
    bool inputEnded_ = false;
};

// True when the stream is a terminal (colour sequences make sense there).
bool IsTerminal(std::FILE* stream);

}  // namespace tarvos::platform
