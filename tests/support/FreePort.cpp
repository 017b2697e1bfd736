#include "tests/support/FreePort.h"

#include <mutex>
#include <random>
#include <set>

#include "tests/support/TestSocket.h"

#if defined(_WIN32)
#include <ws2ipdef.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
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

// Test processes run side by side and draw ports independently: each claims
// its port with a lock on a file named after it, held until the process ends,
// so two processes never hand out the same port at once.
bool ClaimAcrossProcesses(uint16_t port)
{
#if defined(_WIN32)
    (void)port;
    return true;
#else
    const std::string folder = "/tmp/tarvos-test-ports";
    ::mkdir(folder.c_str(), 01777);
    const std::string path = folder + "/" + std::to_string(port);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return true;  // no claim possible here: the bind checks still hold
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true;  // the descriptor stays open, and the claim with it, until exit
#endif
}

}  // namespace

// Ports are drawn from below the ranges that systems hand out to connecting
// clients (32768-60999 on Linux, 49152-65535 on Windows): a port taken from
// there could be used as the local port of some test's client connection in
// the time a server needs to start (seconds under Wine), and that server's
// bind would then fail on one family.
constexpr uint16_t kFirstPort = 10000;
constexpr uint16_t kLastPort = 32767;

uint16_t FreePort()
{
    static std::mutex mu;
    static std::set<uint16_t> issued;
    static std::mt19937 pick(std::random_device{}());
    std::lock_guard<std::mutex> lock(mu);
    std::uniform_int_distribution<int> range(kFirstPort, kLastPort);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<uint16_t>(range(pick));
        if (issued.count(port) != 0) continue;
        bool unsupported = false;
        if (!PortBindable(AF_INET, port, &unsupported)) continue;
        bool noIpv6 = false;
        if (!PortBindable(AF_INET6, port, &noIpv6) && !noIpv6) continue;
        if (!ClaimAcrossProcesses(port)) continue;
        issued.insert(port);
        return port;
    }
    return 0;
}

}  // namespace tarvos::test
