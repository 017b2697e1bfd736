#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tarvos::platform {

namespace {

int NativeFamily(AddressFamily family)
{
    return family == AddressFamily::IPv6 ? AF_INET6 : AF_INET;
}

// The descriptor behind a handle.
int Fd(SocketHandle s)
{
    return static_cast<int>(s);
}

}  // namespace

bool SocketsStartup()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

int LastSocketError()
{
    return errno;
}

bool IsInterruptedError(int error)
{
    return error == EINTR;
}

bool IsShutdownError(int error)
{
    return error == EPIPE || error == ESHUTDOWN || error == ENOTCONN;
}

SocketHandle CreateStreamSocket(AddressFamily family)
{
    const int fd = ::socket(NativeFamily(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return kInvalidSocket;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (family == AddressFamily::IPv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    return fd;
}

int BindAny(SocketHandle s, AddressFamily family, uint16_t port)
{
    sockaddr_storage address {};
    socklen_t length = 0;
    if (family == AddressFamily::IPv6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        if (inet_pton(AF_INET6, "::", &a6->sin6_addr) != 1) {
            errno = EINVAL;
            return -1;
        }
        length = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        a4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
    }
    return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&address), length) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle s)
{
    sockaddr_storage address {};
    socklen_t length = sizeof(address);
    return ::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) == 0 ? 0 : -1;
}

int Listen(SocketHandle s, int backlog)
{
    return ::listen(Fd(s), backlog) == 0 ? 0 : -1;
}

SocketHandle Accept(SocketHandle s)
{
    for (;;) {
        const int a = ::accept4(Fd(s), nullptr, nullptr, SOCK_CLOEXEC);
        if (a >= 0) {
            return a;
        }
        if (errno == EINTR) {
            continue;
        }
        return kInvalidSocket;
    }
}

int SetKeepAlive(SocketHandle s, unsigned idleMs, unsigned intervalMs)
{
    const int on = 1;
    const int idle = static_cast<int>((idleMs + 999) / 1000);
    const int interval = static_cast<int>((intervalMs + 999) / 1000);
    if (::setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0) {
        return -1;
    }
    if (::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0) {
        return -1;
    }
    if (::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0) {
        return -1;
    }
    return 0;
}

int SetNoDelay(SocketHandle s)
{
    const int on = 1;
    return ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 0 : -1;
}

void RaiseOpenFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

long Receive(SocketHandle s, void* buffer, size_t length)
{
    const ssize_t n = ::recv(Fd(s), buffer, length, 0);
    if (n < 0 && errno == ECONNRESET) {
        // A reset is the peer going away; the caller treats it as an error.
        return -1;
    }
    return static_cast<long>(n);
}

long Send(SocketHandle s, const void* buffer, size_t length)
{
    return static_cast<long>(::send(Fd(s), buffer, length, MSG_NOSIGNAL));
}

long SendSlices(SocketHandle s, const SendSlice* slices, size_t count)
{
    constexpr size_t kMaxParts = 128;
    iovec parts[kMaxParts];
    size_t total = 0;
    size_t used = 0;
    for (size_t i = 0; i < count && used < kMaxParts; ++i) {
        if (slices[i].length == 0 && count > 1) {
            continue;
        }
        parts[used].iov_base = const_cast<void*>(slices[i].data);
        parts[used].iov_len = slices[i].length;
        total += slices[i].length;
        ++used;
    }
    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = used;
    size_t sent = 0;
    // A blocking stream socket may take a large message in several pieces; the
    // gather send hands all of it over before it reports.
    while (sent < total) {
        const ssize_t n = ::sendmsg(Fd(s), &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return sent > 0 ? static_cast<long>(sent) : -1;
        }
        if (n == 0) {
            break;
        }
        sent += static_cast<size_t>(n);
        size_t skip = static_cast<size_t>(n);
        while (message.msg_iovlen > 0 && skip >= message.msg_iov[0].iov_len) {
            skip -= message.msg_iov[0].iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov[0].iov_base = static_cast<char*>(message.msg_iov[0].iov_base) + skip;
            message.msg_iov[0].iov_len -= skip;
        }
    }
    return static_cast<long>(sent);
}

int PollReadable(SocketHandle s)
{
    pollfd entry {};
    entry.fd = Fd(s);
    entry.events = POLLIN;
    return ::poll(&entry, 1, 0);
}

std::string PeerAddress(SocketHandle s)
{
    sockaddr_storage peer {};
    socklen_t length = sizeof(peer);
    if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return "";
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        return ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text)) != nullptr ? text : "";
    }
    if (peer.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            return ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof(text)) != nullptr ? text : "";
        }
        return ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text)) != nullptr ? text : "";
    }
    return "local";
}

bool PeerHasHungUp(SocketHandle s)
{
    pollfd entry {};
    entry.fd = Fd(s);
    entry.events = POLLRDHUP;
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void ShutdownAndWake(SocketHandle s)
{
    // On POSIX systems shutting a socket down also ends a receive, send or
    // accept that another thread has blocked on it.
    ::shutdown(Fd(s), SHUT_RDWR);
}

int CloseSocketHandle(SocketHandle s)
{
    return ::close(Fd(s)) == 0 ? 0 : -1;
}

}  // namespace tarvos::platform
