// Payloads of control messages (error texts, shared-lock keys) that arrive while
// their channel throws data away: each is read as the payload of its own message,
// never by reading on into the messages that follow it.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

class ControlPayloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<ServerProcess>();
        if (!server_->StartAndWaitReady({})) server_.reset();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        ASSERT_NE(server_, nullptr) << "server did not start";
        ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
    }

    static std::unique_ptr<ServerProcess> server_;
    HislipSession s_;
};

std::unique_ptr<ServerProcess> ControlPayloadTest::server_;

TEST_F(ControlPayloadTest, ThousandsOfErrorMessagesDuringDeviceClearLeaveTheServerServing)
{
    Message m;
    ASSERT_TRUE(s_.async.Send(Msg::AsyncDeviceClear, 0, 0));
    ASSERT_TRUE(s_.ReceiveAsync(m, +Msg::AsyncDeviceClearAcknowledge, 5000)) << Describe(m);

    // Each text used to be read by a nested receive loop that went on to handle
    // the next message inside it: one stack level per message.
    std::string burst;
    for (int i = 0; i < 3000; ++i) {
        burst += EncodeMessage(+Msg::Error, 1, 0, "x");
    }
    ASSERT_TRUE(s_.sync.SendRaw(burst));
    ASSERT_TRUE(s_.sync.Send(Msg::DeviceClearComplete, 0, 0));
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::DeviceClearAcknowledge, 10000)) << Describe(m);
    s_.nextMessageId = kFirstMessageId;
    s_.rmtPending = false;

    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
    EXPECT_TRUE(server_->Running());
}

TEST_F(ControlPayloadTest, SharedLockKeyIsReadWhileTheAsynchronousChannelDiscards)
{
    Message m;
    // A device clear sent on the synchronous channel puts its partner, the
    // asynchronous channel, into the discard state.
    ASSERT_TRUE(s_.sync.Send(Msg::AsyncDeviceClear, 0, 0));
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::AsyncDeviceClearAcknowledge, 5000)) << Describe(m);

    uint8_t response = 0xFF;
    ASSERT_TRUE(s_.Lock(response, 0, "key", 5000)) << s_.lastError;
    EXPECT_EQ(response, 1);
    uint8_t exclusive = 0xFF;
    uint32_t sharers = 0;
    ASSERT_TRUE(s_.LockInfo(exclusive, sharers)) << s_.lastError;
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(sharers, 1u);
    s_.Close();

    // The lock goes with its session (once the server has seen it end).
    HislipSession other;
    ASSERT_TRUE(other.Open(server_->Port())) << other.lastError;
    for (int attempt = 0; attempt < 100; ++attempt) {
        ASSERT_TRUE(other.LockInfo(exclusive, sharers)) << other.lastError;
        if (sharers == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(sharers, 0u);
}

}  // namespace
}  // namespace tarvos::test
