// The log operations: LogAlways, LogVerbose, LogError, LogNotice.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "common/CriticalSection.h"
#include "log/LogFlood.h"

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
    // Read before any lock is taken, so that a verbose line costs nothing when
    // verbose output is off; set before the server starts.
    std::atomic<bool> verbose {true};
    // What an error line restores after its colour: the console's text
    // attributes as the server found them (SetVerbose reads them).
    uint16_t savedConsoleAttributes GUARDED_BY(logLock) = 0;
    // The debugger output; the system log unless a test puts its own sink here.
    Sink debugSink GUARDED_BY(logLock);
    // Serialises every log line; the innermost lock of the server (only the
    // platform's own locks, which call nothing of the server, are below it).
    CriticalSection logLock;
};

void LogAlways(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)))
EXCLUDES(server->logLock);
void LogVerbose(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)))
EXCLUDES(server->logLock);
void LogError(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)))
EXCLUDES(server->logLock);
// A line that is always written, uncoloured, where verbose lines go: news that
// matters with or without -v.
void LogNotice(LogState* server, const char* format, ...) __attribute__((format(printf, 2, 3)))
EXCLUDES(server->logLock);

// True when LogVerbose would write; lets a caller skip building costly
// arguments. Takes no lock.
bool VerboseEnabled(LogState* server);

// Makes the calling thread's log lines those of one connection for as long as
// it lives: without verbose output, past LogFlood's rate they are counted, not
// written, and "... %u lines suppressed" reports them. When the scope ends, a
// count not yet reported is written. One scope per thread at a time.
class ConnectionLogScope {
public:
    explicit ConnectionLogScope(LogState* server);
    ~ConnectionLogScope();
    ConnectionLogScope(const ConnectionLogScope&) = delete;
    ConnectionLogScope& operator=(const ConnectionLogScope&) = delete;

private:
    LogState* const server_;
    LogFlood flood_;
};

}  // namespace tarvos
