#include "log/Log.h"

#include <chrono>
#include <cstdarg>
#include <cstring>

#include "log/LogFlood.h"
#include "platform/Console.h"
#include "platform/DebugSink.h"

namespace tarvos {

namespace {

constexpr size_t kMessageSize = 2000;
constexpr size_t kLineSize = 2048;

// Formats the message (cut to 1999 characters) and the line with its prefix.
void AssembleLine(char (&line)[kLineSize], const char* prefixFormat, const char* format, va_list arguments)
{
    char message[kMessageSize];
    std::vsnprintf(message, kMessageSize, format, arguments);
    message[kMessageSize - 1] = '\0';
    std::snprintf(line, kLineSize, prefixFormat, message);
}

// The rate limit of the connection whose worker runs on this thread; null on
// threads that serve no connection.
thread_local LogFlood* t_connectionFlood = nullptr;
// The calling thread serves a connection: its lines count towards the
// server-wide rate.
thread_local bool t_serverBounded = false;

uint64_t NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Writes an assembled error line: to the stream (in colour on a terminal or
// console), or to the debugger output.
void WriteErrorLine(LogState* server, const char* line) REQUIRES(server->logLock)
{
    if (server->logStream != nullptr) {
        platform::WriteErrorLine(server->logStream, line, server->savedConsoleAttributes);
    } else {
        server->debugSink(line);
    }
}

// Writes a plain (uncoloured) line: to the stream, or to the debugger output.
void WritePlainLine(LogState* server, const char* format, va_list arguments) EXCLUDES(server->logLock)
{
    ScopedLock guard(server->logLock);
    char line[kLineSize];
    AssembleLine(line, "Tarvos:: %s\n", format, arguments);
    if (server->logStream != nullptr) {
        std::fputs(line, server->logStream);
        std::fflush(server->logStream);
    } else {
        server->debugSink(line);
    }
}

void WriteSuppressedCount(LogState* server, uint32_t count) REQUIRES(server->logLock)
{
    char line[kLineSize];
    std::snprintf(line, kLineSize, "Tarvos:: ... %u lines suppressed\n", count);
    WriteErrorLine(server, line);
}

// Decides whether a line of the calling thread is written; reports a flood
// that has ended first.
bool AdmitLine(LogState* server) REQUIRES(server->logLock)
{
    if (!t_serverBounded || server->verbose.load(std::memory_order_relaxed)) {
        return true;
    }
    const uint64_t now = NowMs();
    uint32_t ended = 0;
    LogFlood* flood = t_connectionFlood;
    if (flood != nullptr) {
        const bool admitted = flood->Admit(now, ended);
        if (ended != 0) {
            WriteSuppressedCount(server, ended);
        }
        if (!admitted) {
            return false;
        }
    }
    const bool admitted = server->serverFlood.Admit(now, ended);
    if (ended != 0) {
        WriteSuppressedCount(server, ended);
    }
    return admitted;
}

}  // namespace

LogState::LogState() : debugSink(&platform::DebugOutput) {}

void LogAlways(LogState* server, const char* format, ...)
{
    ScopedLock guard(server->logLock);
    char line[kLineSize];
    va_list arguments;
    va_start(arguments, format);
    AssembleLine(line, "Tarvos: %s\n", format, arguments);
    va_end(arguments);
    server->debugSink(line);
}

void LogVerbose(LogState* server, const char* format, ...)
{
    if (!VerboseEnabled(server)) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    WritePlainLine(server, format, arguments);
    va_end(arguments);
}

void LogNotice(LogState* server, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WritePlainLine(server, format, arguments);
    va_end(arguments);
}

void LogError(LogState* server, const char* format, ...)
{
    ScopedLock guard(server->logLock);
    if (!AdmitLine(server)) {
        return;
    }
    char line[kLineSize];
    va_list arguments;
    va_start(arguments, format);
    AssembleLine(line, "Tarvos:: %s\n", format, arguments);
    va_end(arguments);
    WriteErrorLine(server, line);
}

bool VerboseEnabled(LogState* server)
{
    return server->verbose.load(std::memory_order_relaxed);
}

ConnectionLogScope::ConnectionLogScope(LogState* server) : server_(server)
{
    t_connectionFlood = &flood_;
    t_serverBounded = true;
}

ConnectionLogScope::~ConnectionLogScope()
{
    EndConnectionRate();
    t_serverBounded = false;
}

void ConnectionLogScope::EndConnectionRate()
{
    if (rateEnded_) {
        return;
    }
    rateEnded_ = true;
    t_connectionFlood = nullptr;
    ScopedLock guard(server_->logLock);
    const uint32_t count = flood_.TakeSuppressed();
    if (count != 0) {
        WriteSuppressedCount(server_, count);
    }
}

void ReportSuppressedLines(LogState* server)
{
    ScopedLock guard(server->logLock);
    const uint32_t count = server->serverFlood.TakeSuppressed();
    if (count != 0) {
        WriteSuppressedCount(server, count);
    }
}

}  // namespace tarvos
