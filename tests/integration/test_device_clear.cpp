// Device clear against the real server: aborting a long command, the discard
// state, MessageID restart, overlap-mode negotiation and the failure cases.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SharedServerTest.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

class DeviceClearTest : public SharedServerTest<DeviceClearTest> {
protected:
    // True once text has been logged more often than `before` times.
    static bool LoggedAgain(const std::string& text, size_t before, int ms = 2000)
    {
        return server_->WaitForStderr(text, ms, before + 1);
    }
};


TEST_F(DeviceClearTest, ClearAbortsSleepAndDropsResponsesUntilComplete)
{
    const std::string trace = ">> Data (18): SLEEP 60000;*IDN?\\n";
    const size_t received = Count(trace);
    const size_t aborted = Count("INFO: Sleep aborted due to DeviceClear");
    const size_t dropped = Count("INFO: message discarded");
    const size_t thrownAway = Count("Discard 6 data bytes");

    s_.Write("SLEEP 60000;*IDN?\n");
    ASSERT_TRUE(LoggedAgain(trace, received, 3000));

    const auto start = Clock::now();
    ASSERT_TRUE(s_.async.Send(Msg::AsyncDeviceClear, 0, 0));
    Message m;
    ASSERT_TRUE(s_.async.ReceiveType(m, Msg::AsyncDeviceClearAcknowledge, 2000)) << Describe(m);
    EXPECT_EQ(m.control, 0);
    ASSERT_TRUE(LoggedAgain("INFO: Sleep aborted due to DeviceClear", aborted, 1000));
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    // *IDN? after the sleep still runs, but its answer is dropped.
    ASSERT_TRUE(LoggedAgain("INFO: message discarded", dropped));

    // A query sent while discarding is thrown away without an answer.
    s_.Write("*IDN?\n");
    ASSERT_TRUE(LoggedAgain("Discard 6 data bytes", thrownAway));
    EXPECT_TRUE(s_.sync.ExpectSilence(300)) << s_.sync.LastError();

    ASSERT_TRUE(s_.sync.Send(Msg::DeviceClearComplete, 0, 0));
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::DeviceClearAcknowledge, 2000)) << Describe(m);
    EXPECT_EQ(m.control, 0);

    s_.nextMessageId = kFirstMessageId;
    s_.rmtPending = false;
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
}

TEST_F(DeviceClearTest, HandshakeRestartsMessageIdSequence)
{
    std::string answer;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    const std::string warning = "WARNING: unexpected MessageID";
    const size_t warnings = Count(warning);

    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    std::vector<Message> parts;
    EXPECT_EQ(s_.Write("*IDN?\n"), kFirstMessageId);
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
    EXPECT_EQ(parts.back().param, kFirstMessageId);

    // The check itself is live: a skipped ID is reported, exactly once in total.
    s_.nextMessageId += 4;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    ASSERT_TRUE(LoggedAgain(warning, warnings));
    EXPECT_EQ(Count(warning), warnings + 1);
}

TEST_F(DeviceClearTest, ControlBitZeroSelectsOverlappedMode)
{
    EXPECT_EQ(s_.serverOverlap, 0);
    uint8_t asyncAck = 0xEE;
    uint8_t syncAck = 0xEE;
    ASSERT_TRUE(s_.DeviceClear(true, &asyncAck, &syncAck)) << s_.lastError;
    EXPECT_EQ(asyncAck, 0);
    EXPECT_EQ(syncAck, 1);

    // Overlapped: responses carry the server's own count, whatever the client sends.
    s_.nextMessageId = 0x00000010;
    std::string answer;
    for (uint32_t expected : {kFirstMessageId, kFirstMessageId + 2}) {
        std::vector<Message> parts;
        s_.Write("*IDN?\n");
        ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
        EXPECT_EQ(answer, kIdentity);
        EXPECT_EQ(parts.back().param, expected);
    }

    ASSERT_TRUE(s_.DeviceClear(false, &asyncAck, &syncAck)) << s_.lastError;
    EXPECT_EQ(asyncAck, 1);
    EXPECT_EQ(syncAck, 0);

    // Synchronized again: the response echoes the client's MessageID.
    s_.nextMessageId = 0x1234;
    std::vector<Message> parts;
    const uint32_t id = s_.Write("*IDN?\n");
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(parts.back().param, id);

    ASSERT_TRUE(s_.DeviceClear(false, &asyncAck, &syncAck)) << s_.lastError;
    EXPECT_EQ(asyncAck, 0);
}

TEST_F(DeviceClearTest, ErrorQueueSurvivesClear)
{
    std::string answer;
    s_.Write("NO:SUCH:CMD\n");
    ASSERT_TRUE(s_.Query("*OPC?\n", answer)) << s_.lastError;
    ASSERT_EQ(answer, "1\n");
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    ASSERT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, "-113,\"Undefined header;NO:SUCH:CMD\"\n");
    ASSERT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, "0,\"No error\"\n");
}

TEST_F(DeviceClearTest, RepeatedAsyncDeviceClearIsReportedAndAcknowledged)
{
    const std::string error = "ERROR: Discard messages already set";
    const size_t before = Count(error);
    Message m;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(s_.async.Send(Msg::AsyncDeviceClear, 0, 0));
        ASSERT_TRUE(s_.async.ReceiveType(m, Msg::AsyncDeviceClearAcknowledge, 2000)) << Describe(m);
        EXPECT_EQ(m.control, 0);
    }
    ASSERT_TRUE(LoggedAgain(error, before));
    EXPECT_EQ(Count(error), before + 1);

    ASSERT_TRUE(s_.sync.Send(Msg::DeviceClearComplete, 0, 0));
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::DeviceClearAcknowledge, 2000)) << Describe(m);
    s_.nextMessageId = kFirstMessageId;
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
}

TEST_F(DeviceClearTest, AsyncDeviceClearWithoutSessionEndsConnection)
{
    const std::string error = "ERROR: Synchronous Channel not set";
    const size_t before = Count(error);

    HislipSocket lone;
    ASSERT_TRUE(lone.Connect(server_->Port())) << lone.LastError();
    ASSERT_TRUE(lone.Send(Msg::AsyncDeviceClear, 0, 0));
    EXPECT_TRUE(lone.WaitClosed(3000)) << lone.LastError();
    EXPECT_TRUE(LoggedAgain(error, before));

    // A synchronous channel still waiting for its partner fares the same.
    HislipSocket waiting;
    ASSERT_TRUE(waiting.Connect(server_->Port())) << waiting.LastError();
    ASSERT_TRUE(waiting.Send(Msg::Initialize, 0, 0x01005456, "hislip0"));
    Message m;
    ASSERT_TRUE(waiting.ReceiveType(m, Msg::InitializeResponse, 2000)) << Describe(m);
    ASSERT_TRUE(waiting.Send(Msg::AsyncDeviceClear, 0, 0));
    EXPECT_TRUE(waiting.WaitClosed(3000)) << waiting.LastError();
    EXPECT_TRUE(LoggedAgain(error, before + 1));

    // The established session is untouched.
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
}

}  // namespace
}  // namespace tarvos::test
