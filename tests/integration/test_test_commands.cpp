// The two commands for testing clients: SLEEP and DIAG:ARM:SRQ.
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
constexpr uint8_t kArmedBit = 0x01;
constexpr uint8_t kRequestBit = 0x40;

class TestCommandsTest : public SharedServerTest<TestCommandsTest> {
protected:
    // Runs "<command>;*IDN?" and returns how long the answer took.
    milliseconds TimedIdentify(const std::string& command)
    {
        std::string answer;
        const auto start = Clock::now();
        EXPECT_TRUE(s_.Query(command + ";*IDN?\n", answer, 5000)) << s_.lastError;
        EXPECT_EQ(answer, kIdentity);
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }

    // Sends AsyncLockInfo and returns the types of the messages that arrive
    // up to and including the AsyncLockInfoResponse.
    std::vector<uint8_t> LockInfoTraffic()
    {
        std::vector<uint8_t> types;
        EXPECT_TRUE(s_.async.Send(Msg::AsyncLockInfo, 0, 0));
        Message m;
        while (s_.async.Receive(m, 2000)) {
            types.push_back(m.type);
            if (m.type == +Msg::AsyncServiceRequest) {
                EXPECT_EQ(m.control & (kArmedBit | kRequestBit), kArmedBit | kRequestBit) << Describe(m);
            }
            if (m.type != +Msg::AsyncServiceRequest) break;
        }
        return types;
    }

};


const std::vector<uint8_t> kRequestThenInfo = {+Msg::AsyncServiceRequest, +Msg::AsyncLockInfoResponse};
const std::vector<uint8_t> kInfoOnly = {+Msg::AsyncLockInfoResponse};

TEST_F(TestCommandsTest, SleepHoldsTheNextCommandForItsTime)
{
    const std::string finished = "INFO: Sleep finished";
    const size_t before = Count(finished);
    EXPECT_LT(TimedIdentify("SLEEP 0"), milliseconds(1000));
    const milliseconds slept = TimedIdentify("SLEEP 300");
    EXPECT_GE(slept, milliseconds(290));
    EXPECT_LT(slept, milliseconds(2000));
    EXPECT_TRUE(server_->WaitForStderr(finished, 2000, before + 2));
}

TEST_F(TestCommandsTest, SleepWithoutDurationQueuesErrorAndDoesNotWait)
{
    const size_t finished = Count("INFO: Sleep finished");
    const auto start = Clock::now();
    s_.Write("SLEEP\n");
    std::string answer;
    ASSERT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(answer, "-109,\"Missing parameter;numeric data was expected\"\n");
    EXPECT_EQ(Count("INFO: Sleep finished"), finished);
}

TEST_F(TestCommandsTest, ArmedRequestPrecedesAnswerAndReportsBitZeroOnce)
{
    std::string answer;
    ASSERT_TRUE(s_.Query("DIAG:ARM:SRQ;*IDN?\n", answer)) << s_.lastError;
    ASSERT_EQ(answer, kIdentity);
    // Nothing is sent before the client's next asynchronous message.
    EXPECT_TRUE(s_.async.ExpectSilence(200)) << s_.async.LastError();
    EXPECT_EQ(LockInfoTraffic(), kRequestThenInfo);

    uint8_t status = 0;
    ASSERT_TRUE(s_.StatusQuery(status)) << s_.lastError;
    EXPECT_EQ(status & (kArmedBit | kRequestBit), kArmedBit | kRequestBit);
    ASSERT_TRUE(s_.StatusQuery(status)) << s_.lastError;
    EXPECT_EQ(status & (kArmedBit | kRequestBit), 0);
    EXPECT_TRUE(s_.serviceRequests.empty());
}

TEST_F(TestCommandsTest, ArmingTwiceFiresOneRequest)
{
    std::string answer;
    ASSERT_TRUE(s_.Query("DIAG:ARM:SRQ;DIAG:ARM:SRQ;*IDN?\n", answer)) << s_.lastError;
    ASSERT_TRUE(s_.Query("DIAG:ARM:SRQ;*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(LockInfoTraffic(), kRequestThenInfo);
    EXPECT_EQ(LockInfoTraffic(), kInfoOnly);
    EXPECT_TRUE(s_.async.ExpectSilence(200)) << s_.async.LastError();
}

TEST_F(TestCommandsTest, ArmingWithoutPartnerIsAcceptedAndHasNoEffect)
{
    HislipSession lone;
    ASSERT_TRUE(lone.sync.Connect(server_->Port())) << lone.sync.LastError();
    ASSERT_TRUE(lone.sync.Send(Msg::Initialize, 0, 0x01005456, "hislip0"));
    Message m;
    ASSERT_TRUE(lone.sync.ReceiveType(m, Msg::InitializeResponse, 2000)) << Describe(m);
    const auto sessionId = static_cast<uint16_t>(m.param & 0xFFFF);

    std::string answer;
    ASSERT_TRUE(lone.Query("DIAG:ARM:SRQ;*IDN?\n", answer)) << lone.lastError;
    EXPECT_EQ(answer, kIdentity);
    ASSERT_TRUE(lone.Query("SYST:ERR?\n", answer)) << lone.lastError;
    EXPECT_EQ(answer, "0,\"No error\"\n");

    // The partner that arrives later has nothing armed.
    ASSERT_TRUE(lone.async.Connect(server_->Port())) << lone.async.LastError();
    ASSERT_TRUE(lone.async.Send(Msg::AsyncInitialize, 0, sessionId));
    ASSERT_TRUE(lone.async.ReceiveType(m, Msg::AsyncInitializeResponse, 2000)) << Describe(m);
    ASSERT_TRUE(lone.async.Send(Msg::AsyncLockInfo, 0, 0));
    ASSERT_TRUE(lone.async.Receive(m, 2000)) << lone.async.LastError();
    EXPECT_EQ(m.type, +Msg::AsyncLockInfoResponse) << Describe(m);
    uint8_t status = 0;
    ASSERT_TRUE(lone.StatusQuery(status)) << lone.lastError;
    EXPECT_EQ(status & (kArmedBit | kRequestBit), 0);
    EXPECT_TRUE(lone.serviceRequests.empty());
}

}  // namespace
}  // namespace tarvos::test
