// The system headers of the Windows backend, in the order the socket library
// needs them, and the conversions between client text and the system's wide
// strings. Included only by the files of this folder.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>

namespace tarvos::platform::windows {

// UTF-8 text as a wide string; false when the text is no valid UTF-8.
bool WideFromUtf8(const std::string& text, std::wstring& wide);
// A wide string as UTF-8 ("" when it can't be converted).
std::string Utf8FromWide(const std::wstring& wide);

}  // namespace tarvos::platform::windows
