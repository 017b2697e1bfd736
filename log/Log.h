// The three log operations: LogAlways, LogVerbose, LogError.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/CriticalSection.h"

namespace tarvos {

// Where log lines go and whether verbose lines are written. The Server carries
// one; every log call receives it.
class LogState {
public:
    using Sink = void (*)(const char* line);

    LogState();
    virtual ~LogState() = default;

    // Stream for verbose and error lines; null means the debugger output.
    std::FILE* logStream GUARDED_BY(logLock) = nullptr;
    bool verbose GUARDED_BY(logLock) = true;
    // The console text attributes captured at start-up, restored after each
    // coloured line (on a terminal: whether the colour sequences are used).
    uint16_t savedConsoleAttributes GUARDED_BY(logLock) = 0;
    // The debugger output; the system log unless a test puts its own sink here.
    Sink debugSink GUARDED_BY(logLock);
    // Serialises every log line; the innermost lock of the server.
    CriticalSection logLock;
};

void LogAlways(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogVerbose(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogError(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when LogVerbose would write; lets a caller skip building costly arguments.
bool VerboseEnabled(LogState* server);

}  // namespace tarvos
