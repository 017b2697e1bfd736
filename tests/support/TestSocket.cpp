#include "tests/support/TestSocket.h"

#include <cstring>

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace tarvos::test {

#if defined(_WIN32)

bool SocketsReady()
{
    static const bool ready = [] {
        WSADATA data {};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

int SocketErrorCode()
{
    return WSAGetLastError();
}

std::string SocketErrorText(int code)
{
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                       0, text, sizeof(text), nullptr) == 0) {
        return "error " + std::to_string(code);
    }
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message + " (" + std::to_string(code) + ")";
}

bool WouldBlock(int code)
{
    return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS;
}

bool Interrupted(int code)
{
    return code == WSAEINTR;
}

NativeSocket OpenStreamSocket(int family)
{
    if (!SocketsReady()) {
        return kNoSocket;
    }
    const SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
    }
    return s;
}

void UseForClient(NativeSocket s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

void CloseSocket(NativeSocket s)
{
    closesocket(s);
}

void SetAbortiveClose(NativeSocket s)
{
    const linger abort {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
}

void ShutdownSending(NativeSocket s)
{
    shutdown(s, SD_SEND);
}

int PollSocket(NativeSocket s, short events, int timeoutMs)
{
    WSAPOLLFD entry {};
    entry.fd = s;
    entry.events = events;
    return WSAPoll(&entry, 1, timeoutMs);
}

long SendNow(NativeSocket s, const char* data, size_t length)
{
    return send(s, data, static_cast<int>(length), 0);
}

long ReceiveNow(NativeSocket s, char* buffer, size_t length, bool peek)
{
    return recv(s, buffer, static_cast<int>(length), peek ? MSG_PEEK : 0);
}

bool MakeSocketPair(NativeSocket pair[2])
{
    pair[0] = pair[1] = kNoSocket;
    if (!SocketsReady()) {
        return false;
    }
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bool made = listener != INVALID_SOCKET && bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                listen(listener, 1) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (made) {
        pair[1] = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        made = pair[1] != INVALID_SOCKET &&
               connect(pair[1], reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    if (made) {
        pair[0] = accept(listener, nullptr, nullptr);
        made = pair[0] != INVALID_SOCKET;
    }
    if (listener != INVALID_SOCKET) {
        closesocket(listener);
    }
    if (!made) {
        for (int i = 0; i < 2; ++i) {
            if (pair[i] != kNoSocket) {
                closesocket(pair[i]);
                pair[i] = kNoSocket;
            }
        }
    }
    return made;
}

void SetReceiveTimeout(NativeSocket s, int ms)
{
    const DWORD limit = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
}

#else

bool SocketsReady()
{
    return true;
}

int SocketErrorCode()
{
    return errno;
}

std::string SocketErrorText(int code)
{
    return std::strerror(code);
}

bool WouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS;
}

bool Interrupted(int code)
{
    return code == EINTR;
}

NativeSocket OpenStreamSocket(int family)
{
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

void UseForClient(NativeSocket s)
{
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
}

void CloseSocket(NativeSocket s)
{
    ::close(s);
}

void SetAbortiveClose(NativeSocket s)
{
    const linger abort {1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
}

void ShutdownSending(NativeSocket s)
{
    ::shutdown(s, SHUT_WR);
}

int PollSocket(NativeSocket s, short events, int timeoutMs)
{
    pollfd entry {s, events, 0};
    return ::poll(&entry, 1, timeoutMs);
}

long SendNow(NativeSocket s, const char* data, size_t length)
{
    return ::send(s, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long ReceiveNow(NativeSocket s, char* buffer, size_t length, bool peek)
{
    return ::recv(s, buffer, length, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
}

bool MakeSocketPair(NativeSocket pair[2])
{
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0;
}

void SetReceiveTimeout(NativeSocket s, int ms)
{
    timeval limit {ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

#endif

bool SendEverything(NativeSocket s, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const long n = SendNow(s, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int code = SocketErrorCode();
        if (n < 0 && (WouldBlock(code) || Interrupted(code)) && PollSocket(s, POLLOUT, 10000) > 0) {
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace tarvos::test
