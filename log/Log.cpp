#include "log/Log.h"

#include <cstdarg>
#include <cstring>

#include "platform/Console.h"
#include "platform/DebugSink.h"

namespace tarvos {

namespace {

constexpr size_t kMessageSize = 2000;
constexpr size_t kLineSize = 2048;
const char kErrorColour[] = "\033[1;31m";
const char kColourReset[] = "\033[0m";

// Formats the message (cut to 1999 characters) and the line with its prefix.
void AssembleLine(char (&line)[kLineSize], const char* prefixFormat, const char* format, va_list arguments)
{
    char message[kMessageSize];
    std::vsnprintf(message, kMessageSize, format, arguments);
    message[kMessageSize - 1] = '\0';
    std::snprintf(line, kLineSize, prefixFormat, message);
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
    ScopedLock guard(server->logLock);
    if (!server->verbose) {
        return;
    }
    char line[kLineSize];
    va_list arguments;
    va_start(arguments, format);
    AssembleLine(line, "Tarvos:: %s\n", format, arguments);
    va_end(arguments);
    if (server->logStream != nullptr) {
        std::fputs(line, server->logStream);
        std::fflush(server->logStream);
    } else {
        server->debugSink(line);
    }
}

void LogError(LogState* server, const char* format, ...)
{
    ScopedLock guard(server->logLock);
    char line[kLineSize];
    va_list arguments;
    va_start(arguments, format);
    AssembleLine(line, "Tarvos:: %s\n", format, arguments);
    va_end(arguments);
    if (server->logStream != nullptr) {
        const bool colour = platform::IsTerminal(server->logStream);
        if (colour) {
            std::fputs(kErrorColour, server->logStream);
        }
        std::fputs(line, server->logStream);
        if (colour) {
            std::fputs(kColourReset, server->logStream);
        }
        std::fflush(server->logStream);
    } else {
        server->debugSink(line);
    }
}

bool VerboseEnabled(LogState* server)
{
    ScopedLock guard(server->logLock);
    return server->verbose;
}

}  // namespace tarvos
