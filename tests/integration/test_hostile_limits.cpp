// Limits that keep a fleet of misbehaving clients from wearing the server down:
// the log of all connections together stays under a rate without -v, and the
// large buffers of all sessions together stay within the server's budget.
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

std::string NextErrorOf(HislipSession& s)
{
    std::string answer;
    EXPECT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    return answer;
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

TEST(HostileLimits, LargeSessionBuffersTogetherStayWithinTheServersBudget)
{
    SKIP_UNDER_WINE("hundreds of sessions outrun Wine's socket calls");
    char pattern[] = "/tmp/tarvos-budget-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path work = pattern;
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({}, 15000, work.string()));

    // Every session that has received a block holds a 1 MiB buffer until it
    // ends; the budget (256 MiB) pays for 256 of them.
    std::vector<std::unique_ptr<HislipSession>> uploaders;
    for (int i = 0; i < 256; ++i) {
        uploaders.push_back(std::make_unique<HislipSession>());
        HislipSession& s = *uploaders.back();
        ASSERT_TRUE(s.Open(server.Port())) << s.lastError << " (session " << i << ")";
        s.Write("MMEM:DATA 'f" + std::to_string(i) + "',#15hello\n");
        ASSERT_EQ(NextErrorOf(s), "0,\"No error\"\n") << "session " << i;
    }
    // One more is refused clearly: the block is read and dropped, nothing of
    // it is written or executed, and the session goes on.
    HislipSession late;
    ASSERT_TRUE(late.Open(server.Port())) << late.lastError;
    late.Write("MMEM:DATA 'late',#18*IDN?;x\n");
    EXPECT_EQ(NextErrorOf(late), "-225,\"Out of memory\"\n");
    EXPECT_FALSE(fs::exists(work / "late"));
    ExpectAnsweredAtOnce(late);

    // A long response of a session that finds the budget spent leaves in
    // small parts instead of collecting up to 1 MiB.
    std::string program;
    for (int i = 0; i < 4000; ++i) program += i == 0 ? "*IDN?" : ";*IDN?";
    late.Write(program + "\n");
    std::string answer;
    std::vector<Message> parts;
    ASSERT_TRUE(late.ReadResponse(answer, &parts, 10000)) << late.lastError;
    EXPECT_EQ(answer.size(), 4000u * 34u);
    EXPECT_GT(parts.size(), 1u);
    for (const Message& m : parts) EXPECT_LE(m.payload.size(), size_t{65 * 1024});

    // A session that ends gives its buffer back: the next block is stored.
    uploaders.front()->Close();
    EXPECT_TRUE(Eventually(
        [&] {
            late.Write("MMEM:DATA 'late',#15hello\n");
            return NextErrorOf(late) == "0,\"No error\"\n";
        },
        5000));
    EXPECT_TRUE(fs::exists(work / "late"));
    uploaders.clear();
    late.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(15000), 0);
    std::error_code ignored;
    fs::remove_all(work, ignored);
}

}  // namespace
}  // namespace tarvos::test
