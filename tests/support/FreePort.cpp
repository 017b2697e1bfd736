#include "tests/support/FreePort.h"

#include <mutex>
#include <set>

#include "tests/support/TestSocket.h"

#if defined(_WIN32)
#include <ws2ipdef.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace tarvos::test {
namespace {

#if defined(_WIN32)
constexpr int kFamilyUnsupported = WSAEAFNOSUPPORT;
constexpr int kAddressUnavailable = WSAEADDRNOTAVAIL;
#else
constexpr int kFamilyUnsupported = EAFNOSUPPORT;
constexpr int kAddressUnavailable = EADDRNOTAVAIL;
#endif

bool PortBindable(int family, uint16_t port, bool* unsupported)
{
    *unsupported = false;
    NativeSocket s = OpenStreamSocket(family);
    if (s == kNoSocket) {
        *unsupported = (SocketErrorCode() == kFamilyUnsupported);
        return false;
    }
    int rc;
    if (family == AF_INET6) {
        int one = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof(one));
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    if (rc != 0) {
        const int code = SocketErrorCode();
        *unsupported = (code == kAddressUnavailable || code == kFamilyUnsupported);
    }
    CloseSocket(s);
    return rc == 0;
}

}  // namespace

uint16_t FreePort()
{
    static std::mutex mu;
    static std::set<uint16_t> issued;
    std::lock_guard<std::mutex> lock(mu);
    for (int attempt = 0; attempt < 200; ++attempt) {
        NativeSocket s = OpenStreamSocket(AF_INET);
        if (s == kNoSocket) return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof(a);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            CloseSocket(s);
            continue;
        }
        CloseSocket(s);
        uint16_t port = ntohs(a.sin_port);
        if (port == 0 || issued.count(port) != 0) continue;
        bool noIpv6 = false;
        if (!PortBindable(AF_INET6, port, &noIpv6) && !noIpv6) continue;
        issued.insert(port);
        return port;
    }
    return 0;
}

}  // namespace tarvos::test
