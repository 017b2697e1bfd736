#include "platform/SettingsFile.h"

#include "platform/windows/Win32.h"

namespace tarvos::platform {

namespace {

std::string SystemMessage(DWORD error)
{
    char buffer[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   buffer, sizeof(buffer), nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : text;
}

}  // namespace

bool ReadSettingsFile(const std::string& name, std::string& text, std::string& why)
{
    std::wstring wide;
    if (!windows::WideFromUtf8(name, wide)) {
        why = "the name is not valid UTF-8";
        return false;
    }
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = SystemMessage(GetLastError());
        return false;
    }
    text.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) {
            why = SystemMessage(GetLastError());
            CloseHandle(file);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, got);
    }
    CloseHandle(file);
    return true;
}

}  // namespace tarvos::platform
