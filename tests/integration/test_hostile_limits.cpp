// Limits that keep a fleet of misbehaving clients from wearing the server down:
// the log of all connections together stays under a rate without -v, and a
// folder at an upload's target is never moved aside.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/LoadScale.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SessionChecks.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Error lines written, and lines counted in "... N lines suppressed" lines.
struct LogTally {
    size_t written = 0;
    size_t suppressed = 0;
};

LogTally TallyErrors(const std::string& err, const std::string& line)
{
    static const std::regex summary("Tarvos:: \\.\\.\\. (\\d+) lines suppressed\n");
    LogTally t;
    for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1)) ++t.written;
    for (std::sregex_iterator it(err.begin(), err.end(), summary), end; it != end; ++it) {
        t.suppressed += std::stoul((*it)[1].str());
    }
    return t;
}

TEST(HostileLimits, ErrorLinesOfManyConnectionsTogetherStayUnderTheServerRate)
{
    SKIP_UNDER_WINE("the flood outruns Wine's socket calls");
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());

    // Short connections, each with one undefined message type: two lines each
    // (the error and the closing line), never more than a connection's rate.
    const auto start = Clock::now();
    size_t connections = 0;
    while (Clock::now() - start < milliseconds(1500) && connections < 20000) {
        HislipSocket s;
        ASSERT_TRUE(s.Connect(server.Port())) << s.LastError();
        ASSERT_TRUE(s.Send(200, 0, 0));
        s.Close();
        ++connections;
    }
    // Sessions sending DataEnd on their asynchronous channel: refused, one line
    // each, the channel goes on.
    std::vector<std::unique_ptr<HislipSession>> sessions;
    for (int i = 0; i < 50; ++i) {
        sessions.push_back(std::make_unique<HislipSession>());
        ASSERT_TRUE(sessions.back()->Open(server.Port())) << sessions.back()->lastError;
    }
    size_t refused = 0;
    for (int round = 0; round < 20; ++round) {
        for (auto& s : sessions) {
            ASSERT_TRUE(s->async.Send(Msg::DataEnd, 0, 0, "*IDN?\n"));
            ++refused;
        }
    }
    for (auto& s : sessions) {
        Message m;
        for (int round = 0; round < 20; ++round) ASSERT_TRUE(s->async.ReceiveType(m, Msg::Error, 10000)) << Describe(m);
    }
    const double seconds = MsSince(start) / 1000.0;
    sessions.clear();
    // A calm moment, then one more line: the count of the flood comes first.
    std::this_thread::sleep_for(milliseconds(2100));
    {
        HislipSocket s;
        ASSERT_TRUE(s.Connect(server.Port()));
        ASSERT_TRUE(s.Send(201, 0, 0));
        EXPECT_TRUE(s.WaitClosed(5000));
    }
    ASSERT_TRUE(server.WaitForStderr("Undefined MessageType 201", 5000));
    const std::string err = server.Stderr();
    const LogTally undefined = TallyErrors(err, "ERROR: Undefined MessageType 200\n");
    const LogTally async = TallyErrors(err, "ERROR: DataEnd on the asynchronous channel refused\n");
    const LogTally closing = TallyErrors(err, "channel closed with error");
    const size_t written = undefined.written + async.written + closing.written;
    std::printf("%zu connections and %zu refused messages in %.1f s: %zu error lines written, %zu counted\n",
                connections, refused, seconds, written, undefined.suppressed);
    EXPECT_LE(written, static_cast<size_t>(500 * (seconds + 3)));
    EXPECT_GE(written + undefined.suppressed, 2 * connections + refused);
    EXPECT_GT(undefined.suppressed, 0u);
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(15000), 0);
}

}  // namespace
}  // namespace tarvos::test
