#include "platform/Console.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tarvos::platform {

namespace {

const char kErrorColour[] = "\033[1;31m";
const char kColourReset[] = "\033[0m";

int g_stopPipe[2] = {-1, -1};
termios g_savedTerminal {};

void OnStopSignal(int)
{
    const char key = '\r';
    if (g_stopPipe[1] >= 0) {
        [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &key, 1);
    }
}

}  // namespace

const char kStopRequests[] = "SIGINT (Ctrl+C) and SIGTERM";

ConsoleKeys::~ConsoleKeys()
{
    Close();
}

void ConsoleKeys::Open()
{
    if (g_stopPipe[0] < 0 && ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_stopPipe[0] = g_stopPipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
        termios raw = g_savedTerminal;
        // No line editing and no echo; signals (Ctrl+C) stay on.
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
            terminalChanged_ = true;
        }
    }
}

void ConsoleKeys::Close()
{
    if (terminalChanged_) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        terminalChanged_ = false;
    }
}

int ConsoleKeys::ReadKey()
{
    for (;;) {
        pollfd entries[2] {};
        entries[0].fd = g_stopPipe[0];
        entries[0].events = POLLIN;
        entries[1].fd = inputEnded_ ? -1 : STDIN_FILENO;
        entries[1].events = POLLIN;
        const int ready = ::poll(entries, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return '\r';
        }
        if (entries[0].revents & POLLIN) {
            char key = 0;
            if (::read(g_stopPipe[0], &key, 1) == 1) {
                return static_cast<unsigned char>(key);
            }
        }
        if (entries[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            unsigned char key = 0;
            const ssize_t n = ::read(STDIN_FILENO, &key, 1);
            if (n == 1) {
                return key;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // End of input (or an unusable stdin): keep serving until a signal.
            inputEnded_ = true;
        }
    }
}

bool IsTerminal(std::FILE* stream)
{
    return stream != nullptr && ::isatty(::fileno(stream));
}

void StartConsoleOutput()
{
    // Console text leaves line by line, also when standard output is a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

void ConsolePrint(const char* format, ...)
{
    // Standard output is line-buffered (StartConsoleOutput).
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

uint16_t SaveConsoleAttributes()
{
    return IsTerminal(stdout) ? 1 : 0;
}

void WriteErrorLine(std::FILE* stream, const char* line, uint16_t)
{
    // The terminal's own colour comes back with the reset sequence.
    const bool colour = IsTerminal(stream);
    if (colour) {
        std::fputs(kErrorColour, stream);
    }
    std::fputs(line, stream);
    if (colour) {
        std::fputs(kColourReset, stream);
    }
    std::fflush(stream);
}

}  // namespace tarvos::platform
