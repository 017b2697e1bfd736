// The peer address that sessions are paired by, read from real loopback
// connections: plain IPv4, IPv4 mapped into IPv6 (the same host, so the same
// text) and a socket that is not IP.
#include <string>

#include <gtest/gtest.h>

#include "platform/Socket.h"
#include "tests/support/TestSocket.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

// A listener on a loopback address (IPv4 or v4-mapped IPv6), one client
// connected to it from clientAddress, and the accepted end.
struct LoopbackPair {
    using Socket = tarvos::test::NativeSocket;
    Socket listener = tarvos::test::kNoSocket;
    Socket client = tarvos::test::kNoSocket;
    Socket accepted = tarvos::test::kNoSocket;

    LoopbackPair(bool mappedListener, const char* clientAddress)
    {
        if (!tarvos::test::SocketsReady()) return;
        if (mappedListener) {
            listener = ::socket(AF_INET6, SOCK_STREAM, 0);
            const int off = 0;
            ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof(off));
            sockaddr_in6 a {};
            a.sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &a.sin6_addr);
            if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
        } else {
            listener = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
        }
        if (::listen(listener, 1) != 0) return;
        sockaddr_storage bound {};
        socklen_t length = sizeof(bound);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
        const uint16_t port = mappedListener ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, clientAddress, &local.sin_addr);
        if (::bind(client, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return;
        sockaddr_in target {};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = port;
        if (::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) return;
        accepted = ::accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair()
    {
        for (Socket fd : {listener, client, accepted}) {
            if (fd != tarvos::test::kNoSocket) tarvos::test::CloseSocket(fd);
        }
    }
};

TEST(PeerAddress, IsThePlainIPv4TextAlsoWhenMappedIntoIPv6)
{
    using tarvos::platform::SocketHandle;
    LoopbackPair plain(false, "127.0.0.2");
    ASSERT_NE(plain.accepted, tarvos::test::kNoSocket);
    EXPECT_EQ(tarvos::platform::PeerAddress(static_cast<SocketHandle>(plain.accepted)), "127.0.0.2");

    LoopbackPair mapped(true, "127.0.0.1");
    ASSERT_NE(mapped.accepted, tarvos::test::kNoSocket);
    EXPECT_EQ(tarvos::platform::PeerAddress(static_cast<SocketHandle>(mapped.accepted)), "127.0.0.1");

#if !defined(_WIN32)
    // Local sockets exist only here.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(tarvos::platform::PeerAddress(pair[0]), "local");
    ::close(pair[0]);
    ::close(pair[1]);
#endif
    EXPECT_EQ(tarvos::platform::PeerAddress(-1), "");
}

}  // namespace
