// Help, version and the announcement switch as a user meets them on the
// command line.
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

constexpr int kExitMs = 5000;
const std::regex kVersionLine("^Tarvos [0-9]+\\.[0-9]+\\.[0-9]+ - HiSLIP 1\\.0 test and reference server\n");

// A process that started a server would wait for Enter and be killed by
// WaitExit (-1); these end by themselves.
TEST(Help, EveryHelpFormPrintsUsageAndEndsWithoutServing)
{
    for (const char* form : {"-h", "-?", "/?", "--help"}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start({form}, true)) << form;
        EXPECT_EQ(server.WaitExit(kExitMs), 0) << form;
        const std::string out = server.Stdout();
        EXPECT_TRUE(std::regex_search(out, kVersionLine)) << out;
        EXPECT_NE(out.find("\nUsage: tarvos [-1] [-b] [-d <file>] [-m] [-p <port>] [-s] [-v]\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("Options:"), std::string::npos) << out;
        EXPECT_EQ(out.find("is listening"), std::string::npos) << out;
        EXPECT_EQ(server.Stderr(), "") << form;
    }
}

TEST(Help, VersionPrintsTheVersionLineOnly)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--version"}, true));
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
    const std::string out = server.Stdout();
    EXPECT_TRUE(std::regex_match(out, kVersionLine)) << out;
}

// With no responder to reach (the bus address names no socket), -m says so on
// the log and the server serves as without it.
TEST(Help, AnnouncementWithoutResponderIsReportedAndServingGoesOn)
{
    const std::string nowhere = "unix:path=/nonexistent/tarvos-test-bus-" + std::to_string(::getpid());
    ASSERT_EQ(::setenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str(), 1), 0);
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({"-m"}));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_TRUE(server.WaitForStderr("Tarvos:: WARNING: Multicast DNS announcement failed: ", 5000)) << server.Stderr();
    EXPECT_EQ(server.CountInStderr("INFO: Announced"), 0u);

    HislipSession session;
    std::string answer;
    ASSERT_TRUE(session.Open(server.Port())) << session.lastError;
    ASSERT_TRUE(session.Query("*IDN?\n", answer)) << session.lastError;
    EXPECT_EQ(answer, "Brennic,Tarvos,4471.2209k05,V1.00\n");
    session.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(15000), 0);
}

}  // namespace
}  // namespace tarvos::test
