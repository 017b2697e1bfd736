// The console front end as a process: banner and settings on stdout, the
// status block on space, the ways the server stops, the port checks and the
// two listeners sharing one port number.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

constexpr int kExitMs = 15000;
const char kPrompt[] = "\nPress [SPACE] to print current info. [ENTER] to stop Server ...\n";
const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

std::string StatusBlock(int connections)
{
    return "Number of open socket connections : " + std::to_string(connections) +
           "\nGlobal lock state of server       : not locked\n"
           "Number of clients that share the shared lock: 0\n";
}

// Everything after the banner line (its wording carries the version).
std::string AfterBanner(const std::string& out)
{
    const size_t eol = out.find('\n');
    EXPECT_TRUE(std::regex_search(out.substr(0, eol), std::regex("^Tarvos \\S+ .*HiSLIP 1\\.0"))) << out;
    return eol == std::string::npos ? std::string() : out.substr(eol + 1);
}

// Presses space until the status block shows `connections` (the server's
// workers end shortly after a client closes) or the bound runs out.
bool StatusShows(ServerProcess& server, int connections, int timeoutMs = 5000)
{
    const std::string block = StatusBlock(connections);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        const size_t before = server.CountInStdout("Number of clients that share");
        server.SendKeys(" ");
        if (!server.WaitForStdout("Number of clients that share", 2000, before + 1)) return false;
        const std::string out = server.Stdout();
        if (out.size() >= block.size() && out.compare(out.size() - block.size(), block.size(), block) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool IdentityQueryWorks(uint16_t port, const std::string& host)
{
    HislipSession session;
    std::string answer;
    const bool ok = session.Open(port, host) && session.Query("*IDN?\n", answer);
    EXPECT_TRUE(ok) << host << ": " << session.lastError;
    EXPECT_EQ(answer, kIdentity);
    return ok && answer == kIdentity;
}

// A listening socket on the wildcard address of one family (IPv6 only for
// AF_INET6), so that the server's own bind of that family fails.
class PortHolder {
public:
    PortHolder(int family, uint16_t port)
    {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        int rc;
        if (family == AF_INET6) {
            const int on = 1;
            ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(port);
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(port);
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        }
        ok_ = rc == 0 && ::listen(fd_, 4) == 0;
    }
    ~PortHolder()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

TEST(Console, DefaultStartPrintsSettingsAndPromptAndCarriageReturnStops)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());
    EXPECT_EQ(AfterBanner(server.Stdout()),
              "Options:\n- Multiple connections allowed\n- Verbose off\n- Unlock is non-blocking\n"
              "is listening on Port " +
                  std::to_string(server.Port()) + "\n" + kPrompt);
    server.SendKeys("x\r");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
    EXPECT_EQ(server.Stdout().find("Number of open"), std::string::npos) << "other keys are ignored";
}

TEST(Console, SpacePrintsStatusBlockCountingBothChannelsAndLineFeedStops)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());
    server.SendKeys(" ");
    ASSERT_TRUE(server.WaitForStdout("share the shared lock", 5000));
    const std::string out = server.Stdout();
    EXPECT_EQ(out.substr(out.find(kPrompt) + sizeof(kPrompt) - 1), StatusBlock(0));

    HislipSession session;
    ASSERT_TRUE(session.Open(server.Port())) << session.lastError;
    EXPECT_TRUE(StatusShows(server, 2));
    session.Close();
    EXPECT_TRUE(StatusShows(server, 0, 15000));

    server.SendKeys("\n");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
}

TEST(Console, TerminationSignalsStopWithExitCodeZero)
{
    // Under Wine SIGINT reaches a Windows program as Ctrl+C; SIGTERM ends
    // Wine's process without the program seeing it.
    const std::vector<int> signals = UnderWine() ? std::vector<int>{SIGINT} : std::vector<int>{SIGTERM, SIGINT};
    for (const int sig : signals) {
        ServerProcess server;
        ASSERT_TRUE(server.StartAndWaitReady());
        server.Signal(sig);
        EXPECT_EQ(server.WaitExit(kExitMs), 0) << "signal " << sig;
    }
}

TEST(Console, EndOfInputKeepsServing)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());
    server.CloseStdin();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.Running());
    EXPECT_TRUE(IdentityQueryWorks(server.Port(), "127.0.0.1"));
    server.Signal(UnderWine() ? SIGINT : SIGTERM);
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
}

TEST(Console, PortSwitchErrorsEndWithExitCodeOne)
{
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    for (const Case& c : {Case{{"-v", "-p"}, "Port is missing\n"}, Case{{"-p", "65535"}, "Invalid PortNo: 65535\n"}}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start(c.args, false));
        EXPECT_EQ(server.WaitExit(kExitMs), 1) << c.text;
        EXPECT_EQ(AfterBanner(server.Stdout()), c.text);
    }
}

TEST(Console, UnknownOptionIsReportedAndEveryOptionLineFollows)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({"-x", "-s", "-1", "/b", "-v"}));
    EXPECT_EQ(AfterBanner(server.Stdout()),
              "Unknown option: -x\nOptions:\n- Only one connection allowed\n- Verbose on\n"
              "- Slow mode sends byte by byte to client to test robustness\n- Unlock is blocking\n"
              "is listening on Port " +
                  std::to_string(server.Port()) + "\n" + kPrompt);
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
}

TEST(Console, PortTakenOnBothFamiliesFailsToStartWithExitCodeZero)
{
    const uint16_t port = FreePort();
    PortHolder v4(AF_INET, port), v6(AF_INET6, port);
    ASSERT_TRUE(v4.ok() && v6.ok());
    ServerProcess server;
    ASSERT_TRUE(server.Start({"-v", "-p", std::to_string(port)}, false));
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
    const std::string out = AfterBanner(server.Stdout());
    const std::string tail = "is listening on Port " + std::to_string(port) + "\n\nFailed to start Server.\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_NE(server.Stderr().find("Warning: Cannot bind data channel to port " + std::to_string(port) + " for IPv4"),
              std::string::npos);
    EXPECT_NE(server.Stderr().find("Warning: Cannot bind data channel to port " + std::to_string(port) + " for IPv6"),
              std::string::npos);
}

TEST(Console, PortTakenOnIPv4OnlyStillServesIPv6)
{
    const uint16_t port = FreePort();
    PortHolder v4(AF_INET, port);
    ASSERT_TRUE(v4.ok());
    ServerProcess server;
    ASSERT_TRUE(server.Start({"-v", "-p", std::to_string(port)}, false));
    ASSERT_TRUE(server.WaitForStdout("Press [SPACE]", 15000)) << server.Stdout();
    const std::string warning = "Warning: Cannot bind data channel to port " + std::to_string(port) + " for IPv4";
    EXPECT_TRUE(server.WaitForStderr(warning, 5000));
    EXPECT_TRUE(IdentityQueryWorks(port, "::1"));
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
}

TEST(Console, ServesIPv4AndIPv6SessionsOnOnePortAtOnce)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());
    HislipSession v4, v6;
    ASSERT_TRUE(v4.Open(server.Port(), "127.0.0.1")) << v4.lastError;
    ASSERT_TRUE(v6.Open(server.Port(), "::1")) << v6.lastError;
    std::string a4, a6;
    EXPECT_TRUE(v4.Query("*IDN?\n", a4)) << v4.lastError;
    EXPECT_TRUE(v6.Query("*IDN?\n", a6)) << v6.lastError;
    EXPECT_EQ(a4, kIdentity);
    EXPECT_EQ(a6, kIdentity);
    EXPECT_TRUE(StatusShows(server, 4));
    v4.Close();
    v6.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
}

}  // namespace
}  // namespace tarvos::test
