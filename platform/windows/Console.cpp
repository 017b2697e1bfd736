#include "platform/Console.h"

#include "platform/windows/Win32.h"

#include <io.h>

#include <cstdarg>
#include <deque>
#include <string>

#include "platform/Mutex.h"

namespace tarvos::platform {

namespace {

// Bright red on black.
constexpr WORD kErrorAttributes = FOREGROUND_RED | FOREGROUND_INTENSITY;
// Light grey on black: what a console starts with.
constexpr WORD kPlainAttributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
// How long the close of the console window waits for the stop before the
// system ends the process (it does so after 5 s in any case).
constexpr DWORD kCloseGraceMs = 4500;

// Set by a stop request; the key loop then reads a carriage return.
HANDLE StopEvent()
{
    static const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return stop;
}

BOOL WINAPI OnConsoleControl(DWORD type)
{
    SetEvent(StopEvent());
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // Returning lets the system end the process at once; main ends it
        // itself once the server has stopped.
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

// Keys from a pipe or a file. A thread of their own reads them, so that the
// key loop can wait for a key and for a stop request together. The thread
// lives as long as the process (a read of a pipe can't be interrupted).
class PipedKeys {
public:
    static PipedKeys& Instance()
    {
        static PipedKeys* const keys = new PipedKeys;
        return *keys;
    }

    // Starts the reading thread once.
    void Start(HANDLE input) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        if (started_) {
            return;
        }
        started_ = true;
        input_ = input;
        const HANDLE thread = CreateThread(nullptr, 64 * 1024, &PipedKeys::Read, this, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }

    HANDLE Available() const { return available_; }

    // The next key, or -1 when none is waiting.
    int Take() EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        if (keys_.empty()) {
            ResetEvent(available_);
            return -1;
        }
        const int key = keys_.front();
        keys_.pop_front();
        if (keys_.empty()) {
            ResetEvent(available_);
        }
        return key;
    }

private:
    PipedKeys() : available_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    static DWORD WINAPI Read(void* self)
    {
        static_cast<PipedKeys*>(self)->ReadLoop();
        return 0;
    }

    void ReadLoop() EXCLUDES(lock_)
    {
        HANDLE input = nullptr;
        {
            MutexLock guard(lock_);
            input = input_;
        }
        for (;;) {
            unsigned char buffer[64];
            DWORD n = 0;
            // End of input or an unusable input: the server keeps serving
            // until a stop request.
            if (!ReadFile(input, buffer, sizeof(buffer), &n, nullptr) || n == 0) {
                return;
            }
            MutexLock guard(lock_);
            keys_.insert(keys_.end(), buffer, buffer + n);
            SetEvent(available_);
        }
    }

    Mutex lock_;
    const HANDLE available_;
    HANDLE input_ GUARDED_BY(lock_) = nullptr;
    std::deque<unsigned char> keys_ GUARDED_BY(lock_);
    bool started_ GUARDED_BY(lock_) = false;
};

HANDLE StreamHandle(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

DWORD g_savedInputMode = 0;

}  // namespace

const char kStopRequests[] = "Ctrl+C, Ctrl+Break and closing the console window";

ConsoleKeys::~ConsoleKeys()
{
    Close();
}

void ConsoleKeys::Open()
{
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(input, &g_savedInputMode)) {
        // Single keys without echo; Ctrl+C stays a stop request.
        const DWORD keys = (g_savedInputMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                           ENABLE_PROCESSED_INPUT;
        if (SetConsoleMode(input, keys)) {
            terminalChanged_ = true;
        }
    } else if (input != nullptr && input != INVALID_HANDLE_VALUE) {
        PipedKeys::Instance().Start(input);
    } else {
        inputEnded_ = true;
    }
}

void ConsoleKeys::Close()
{
    if (terminalChanged_) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_savedInputMode);
        terminalChanged_ = false;
    }
}

int ConsoleKeys::ReadKey()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode) != 0;
    for (;;) {
        HANDLE waits[2] = {StopEvent(), nullptr};
        DWORD count = 1;
        if (!inputEnded_) {
            waits[1] = console ? input : PipedKeys::Instance().Available();
            count = 2;
        }
        const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
            return '\r';
        }
        if (!console) {
            const int key = PipedKeys::Instance().Take();
            if (key >= 0) {
                return key;
            }
            continue;
        }
        INPUT_RECORD record {};
        DWORD n = 0;
        if (!ReadConsoleInputA(input, &record, 1, &n)) {
            inputEnded_ = true;
            continue;
        }
        if (n == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.uChar.AsciiChar != 0) {
            return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
        }
    }
}

bool IsTerminal(std::FILE* stream)
{
    DWORD mode = 0;
    return stream != nullptr && GetConsoleMode(StreamHandle(stream), &mode) != 0;
}

void StartConsoleOutput()
{
    // The runtime knows no line buffering (it takes the request for a full
    // buffer, and some runtimes refuse it outright): ConsolePrint flushes
    // every text itself.
}

void ConsolePrint(const char* format, ...)
{
    // The runtime gives a pipe a full buffer and has no line buffering: each
    // text is formatted first, then written and flushed in one piece.
    char small[512];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(small, sizeof(small), format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<size_t>(length) < sizeof(small)) {
        std::fputs(small, stdout);
    } else if (length >= 0) {
        std::string large(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(large.data(), large.size(), format, again);
        std::fputs(large.c_str(), stdout);
    }
    va_end(again);
    std::fflush(stdout);
}

uint16_t SaveConsoleAttributes()
{
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) ||
        GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.wAttributes;
    }
    return kPlainAttributes;
}

void WriteErrorLine(std::FILE* stream, const char* line, uint16_t savedAttributes)
{
    const HANDLE console = StreamHandle(stream);
    CONSOLE_SCREEN_BUFFER_INFO info {};
    const bool colour = GetConsoleScreenBufferInfo(console, &info) != 0;
    if (colour) {
        std::fflush(stream);
        SetConsoleTextAttribute(console, kErrorAttributes);
    }
    std::fputs(line, stream);
    std::fflush(stream);
    if (colour) {
        SetConsoleTextAttribute(console, savedAttributes);
    }
}

}  // namespace tarvos::platform
