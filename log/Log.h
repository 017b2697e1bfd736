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
    // The rate of the error lines of all connections together (without
    // verbose output), so that many connections can't flood the log either.
    LogFlood serverFlood GUARDED_BY(logLock) {LogFlood::kServerLinesPerSecond};
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
// written, and "... %u lines suppressed" reports them; past the server-wide
// rate (all connections together) the same. EndConnectionRate writes a count
// not yet reported and lets the lines that tell how the connection ended pass
// the connection's own rate (the server-wide one still holds); the end of the
// scope does that too. One scope per thread at a time.
class ConnectionLogScope {
public:
    explicit ConnectionLogScope(LogState* server);
    ~ConnectionLogScope();
    ConnectionLogScope(const ConnectionLogScope&) = delete;
    ConnectionLogScope& operator=(const ConnectionLogScope&) = delete;

    void EndConnectionRate() EXCLUDES(server_->logLock);

private:
    LogState* const server_;
    LogFlood flood_;
    bool rateEnded_ = false;
};

// Writes the count of lines that the server-wide rate held back and has not
// reported yet (at the server's stop).
void ReportSuppressedLines(LogState* server) EXCLUDES(server->logLock);

}  // namespace tarvos
