#include "platform/Socket.h"

#include "platform/windows/Win32.h"

#include <iphlpapi.h>
#include <mstcpip.h>

#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "platform/Mutex.h"

namespace tarvos::platform {

namespace {

// How long an accept waits for the notice of a connection before it looks for
// one anyway.
constexpr DWORD kAcceptRecheckMs = 100;

SOCKET Native(SocketHandle s)
{
    return static_cast<SOCKET>(s);
}

int NativeFamily(AddressFamily family)
{
    return family == AddressFamily::IPv6 ? AF_INET6 : AF_INET;
}

// A blocked accept is woken by no shutdown here, and a wake that comes just
// before the accept call would be lost. So a listening socket reports its
// connections through an event, and an accept waits on that event and on a
// wake event of the socket's own, which stays set once the socket is woken.
class ListeningSockets {
public:
    struct Events {
        HANDLE accept = nullptr;
        HANDLE wake = nullptr;
    };

    static ListeningSockets& Instance()
    {
        static ListeningSockets* const sockets = new ListeningSockets;
        return *sockets;
    }

    // False when the socket keeps plain blocking accepts.
    bool Add(SOCKET s) EXCLUDES(lock_)
    {
        Events events;
        events.accept = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        events.wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // Makes the socket non-blocking; accepted sockets inherit both.
        if (events.accept == nullptr || events.wake == nullptr || WSAEventSelect(s, events.accept, FD_ACCEPT) != 0) {
            Close(events);
            return false;
        }
        MutexLock guard(lock_);
        Close(sockets_[s]);
        sockets_[s] = events;
        return true;
    }

    // The events of a listening socket; false for any other socket. They stay
    // valid until Remove, which only the accepting thread or its owner after
    // it calls.
    bool Find(SOCKET s, Events& events) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        const auto found = sockets_.find(s);
        if (found == sockets_.end()) {
            return false;
        }
        events = found->second;
        return true;
    }

    // True when s is a listening socket (its accepts now fail).
    bool Wake(SOCKET s) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        const auto found = sockets_.find(s);
        if (found == sockets_.end()) {
            return false;
        }
        SetEvent(found->second.wake);
        return true;
    }

    void Remove(SOCKET s) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        const auto found = sockets_.find(s);
        if (found != sockets_.end()) {
            Close(found->second);
            sockets_.erase(found);
        }
    }

private:
    static void Close(Events& events)
    {
        if (events.accept != nullptr) {
            CloseHandle(events.accept);
        }
        if (events.wake != nullptr) {
            CloseHandle(events.wake);
        }
        events = Events();
    }

    Mutex lock_;
    std::map<SOCKET, Events> sockets_ GUARDED_BY(lock_);
};

// An accepted socket comes with its listener's event selection and is
// non-blocking; the server's connections use plain blocking calls.
void MakeBlocking(SOCKET s)
{
    WSAEventSelect(s, nullptr, 0);
    u_long nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

// The connection's entry in the system's TCP table: true, with its state, when
// found.
bool ConnectionState(SOCKET s, DWORD& state)
{
    sockaddr_storage local {};
    sockaddr_storage remote {};
    int localLength = sizeof(local);
    int remoteLength = sizeof(remote);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 ||
        local.ss_family != remote.ss_family) {
        return false;
    }
    const ULONG family = local.ss_family;
    if (family != AF_INET && family != AF_INET6) {
        return false;
    }
    // The basic tables: the ones with owning processes take the system
    // far longer to gather.
    ULONG size = 0;
    std::vector<unsigned char> table;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the two calls.
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        table.resize(size > 0 ? size : 1);
        result = family == AF_INET ? GetTcpTable(reinterpret_cast<PMIB_TCPTABLE>(table.data()), &size, FALSE)
                                   : GetTcp6Table(reinterpret_cast<PMIB_TCP6TABLE>(table.data()), &size, FALSE);
    }
    if (result != NO_ERROR) {
        return false;
    }
    if (family == AF_INET) {
        const auto* l = reinterpret_cast<const sockaddr_in*>(&local);
        const auto* r = reinterpret_cast<const sockaddr_in*>(&remote);
        const auto* rows = reinterpret_cast<const MIB_TCPTABLE*>(table.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCPROW& row = rows->table[i];
            if (row.dwLocalAddr == l->sin_addr.s_addr && row.dwRemoteAddr == r->sin_addr.s_addr &&
                static_cast<u_short>(row.dwLocalPort) == l->sin_port &&
                static_cast<u_short>(row.dwRemotePort) == r->sin_port) {
                state = row.dwState;
                return true;
            }
        }
        return false;
    }
    const auto* l = reinterpret_cast<const sockaddr_in6*>(&local);
    const auto* r = reinterpret_cast<const sockaddr_in6*>(&remote);
    const auto* rows = reinterpret_cast<const MIB_TCP6TABLE*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCP6ROW& row = rows->table[i];
        if (memcmp(&row.LocalAddr, &l->sin6_addr, 16) == 0 && memcmp(&row.RemoteAddr, &r->sin6_addr, 16) == 0 &&
            static_cast<u_short>(row.dwLocalPort) == l->sin6_port &&
            static_cast<u_short>(row.dwRemotePort) == r->sin6_port) {
            state = row.State;
            return true;
        }
    }
    return false;
}

}  // namespace

bool SocketsStartup()
{
    WSADATA data {};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    // A send on a closed connection fails with an error; nothing else to do.
    return LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 2;
}

int LastSocketError()
{
    return WSAGetLastError();
}

bool IsInterruptedError(int)
{
    // No signal interrupts a socket call here: the one way a blocking call is
    // cut short is the server's own wake, and that must end it.
    return false;
}

bool IsShutdownError(int error)
{
    // WSA_OPERATION_ABORTED: a send cut short by the wake of a stop.
    return error == WSAESHUTDOWN || error == WSAENOTCONN || error == WSA_OPERATION_ABORTED;
}

SocketHandle CreateStreamSocket(AddressFamily family)
{
    // Overlapped-capable, as sockets are by default, so that the I/O a call
    // waits for can be cancelled; accepted sockets inherit this.
    const SOCKET s = WSASocketW(NativeFamily(family), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    // No other program may bind the port while the server has it.
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
    if (family == AddressFamily::IPv6) {
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
    }
    return static_cast<SocketHandle>(s);
}

int BindAny(SocketHandle s, AddressFamily family, uint16_t port)
{
    sockaddr_storage address {};
    int length = 0;
    if (family == AddressFamily::IPv6) {
        // The unspecified address, parsed from its text.
        char any[] = "::";
        length = sizeof(address);
        if (WSAStringToAddressA(any, AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return -1;
        }
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        a4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
    }
    return bind(Native(s), reinterpret_cast<sockaddr*>(&address), length) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle s)
{
    sockaddr_storage address {};
    int length = sizeof(address);
    return getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : -1;
}

int Listen(SocketHandle s, int backlog)
{
    if (listen(Native(s), backlog) != 0) {
        return -1;
    }
    ListeningSockets::Instance().Add(Native(s));
    return 0;
}

SocketHandle Accept(SocketHandle s)
{
    ListeningSockets::Events events;
    if (!ListeningSockets::Instance().Find(Native(s), events)) {
        const SOCKET plain = accept(Native(s), nullptr, nullptr);
        return plain == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(plain);
    }
    for (;;) {
        if (WaitForSingleObject(events.wake, 0) == WAIT_OBJECT_0) {
            WSASetLastError(WSAEINTR);
            return kInvalidSocket;
        }
        const SOCKET accepted = accept(Native(s), nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
            MakeBlocking(accepted);
            return static_cast<SocketHandle>(accepted);
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return kInvalidSocket;
        }
        // Each accept call re-arms the event, so a connection that arrives
        // from here on sets it. Should its notice still get lost (Wine loses
        // some while connections come and go fast), the accept is tried
        // again after a while all the same.
        const HANDLE waits[2] = {events.wake, events.accept};
        if (WaitForMultipleObjects(2, waits, FALSE, kAcceptRecheckMs) == WAIT_FAILED) {
            WSASetLastError(static_cast<int>(GetLastError()));
            return kInvalidSocket;
        }
    }
}

int SetKeepAlive(SocketHandle s, unsigned idleMs, unsigned intervalMs)
{
    tcp_keepalive values {};
    values.onoff = 1;
    values.keepalivetime = idleMs;
    values.keepaliveinterval = intervalMs;
    DWORD returned = 0;
    return WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned, nullptr, nullptr) ==
                   0
               ? 0
               : -1;
}

int SetNoDelay(SocketHandle s)
{
    const BOOL on = TRUE;
    return setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on)) == 0 ? 0
                                                                                                                  : -1;
}

void RaiseOpenFileLimit()
{
    // Sockets are handles here, limited only by memory.
}

long Receive(SocketHandle s, void* buffer, size_t length)
{
    const int n = recv(Native(s), static_cast<char*>(buffer), length > INT_MAX ? INT_MAX : static_cast<int>(length), 0);
    if (n == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        // Woken by a stop, or shut down by it before the call: the end of the
        // input, as the peer sees it too.
        if (error == WSA_OPERATION_ABORTED || error == WSAESHUTDOWN) {
            return 0;
        }
        return -1;
    }
    return n;
}

long Send(SocketHandle s, const void* buffer, size_t length)
{
    const int n =
        send(Native(s), static_cast<const char*>(buffer), length > INT_MAX ? INT_MAX : static_cast<int>(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long SendSlices(SocketHandle s, const SendSlice* slices, size_t count)
{
    constexpr size_t kMaxParts = 128;
    WSABUF parts[kMaxParts];
    size_t total = 0;
    DWORD used = 0;
    for (size_t i = 0; i < count && used < kMaxParts; ++i) {
        parts[used].buf = static_cast<char*>(const_cast<void*>(slices[i].data));
        parts[used].len = static_cast<ULONG>(slices[i].length);
        total += slices[i].length;
        ++used;
    }
    WSABUF* next = parts;
    size_t sent = 0;
    // A blocking socket normally takes all of it in one call; should it take
    // less, the rest follows, so the gather send hands everything over.
    while (sent < total) {
        DWORD n = 0;
        if (WSASend(Native(s), next, used, &n, 0, nullptr, nullptr) != 0) {
            return sent > 0 ? static_cast<long>(sent) : -1;
        }
        if (n == 0) {
            break;
        }
        sent += n;
        size_t skip = n;
        while (used > 0 && skip >= next->len) {
            skip -= next->len;
            ++next;
            --used;
        }
        if (used > 0) {
            next->buf += skip;
            next->len -= static_cast<ULONG>(skip);
        }
    }
    return static_cast<long>(sent);
}

int PollReadable(SocketHandle s)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(s), &readable);
    timeval zero {0, 0};
    return select(0, &readable, nullptr, nullptr, &zero);
}

std::string PeerAddress(SocketHandle s)
{
    sockaddr_storage peer {};
    int length = sizeof(peer);
    if (getpeername(Native(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return "";
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        return inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text)) != nullptr ? text : "";
    }
    if (peer.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            return inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof(text)) != nullptr ? text : "";
        }
        return inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text)) != nullptr ? text : "";
    }
    return "local";
}

bool PeerHasHungUp(SocketHandle s)
{
    WSAPOLLFD entry {};
    entry.fd = Native(s);
    entry.events = POLLRDNORM;
    // Nothing to read: the peer's end has not arrived either.
    if (WSAPoll(&entry, 1, 0) <= 0) {
        return false;
    }
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    // The poll need not tell a peer's end from data waiting before it; the
    // connection's state does: the peer's end has arrived once the
    // connection waits for ours, or is closing or gone.
    DWORD state = 0;
    if (!ConnectionState(Native(s), state)) {
        return false;
    }
    return state == MIB_TCP_STATE_CLOSE_WAIT || state == MIB_TCP_STATE_LAST_ACK || state == MIB_TCP_STATE_CLOSING ||
           state == MIB_TCP_STATE_TIME_WAIT || state == MIB_TCP_STATE_CLOSED || state == MIB_TCP_STATE_DELETE_TCB;
}

void ShutdownAndWake(SocketHandle s)
{
    if (ListeningSockets::Instance().Wake(Native(s))) {
        return;
    }
    // The shutdown makes every later call fail at once, but leaves a receive
    // or send that already waits where it is; cancelling the socket's pending
    // I/O ends those.
    shutdown(Native(s), SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(Native(s)), nullptr);
}

int CloseSocketHandle(SocketHandle s)
{
    ListeningSockets::Instance().Remove(Native(s));
    return closesocket(Native(s)) == 0 ? 0 : -1;
}

}  // namespace tarvos::platform
