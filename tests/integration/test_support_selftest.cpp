// Self-test of the test-support client, without the server: the header codec
// and HislipSocket over a loopback listener opened here.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

TEST(SupportCodec, HeaderLayoutIsBigEndian)
{
    const std::string h = EncodeHeader(+Msg::DataEnd, 1, 0xFFFFFF00u, 5);
    const unsigned char want[16] = {
        0x48, 0x53, 0x07, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05};
    ASSERT_EQ(h.size(), 16u);
    EXPECT_EQ(h, std::string(reinterpret_cast<const char*>(want), 16));
    EXPECT_EQ(EncodeHeader(0, 0, 0, 0x0102030405060708ull).substr(8), EncodeU64(0x0102030405060708ull));
    EXPECT_EQ(DecodeU64(EncodeU64(0x8877665544332211ull)), 0x8877665544332211ull);
    EXPECT_EQ(MsgName(+Msg::AsyncLockInfoResponse), "AsyncLockInfoResponse");
    EXPECT_EQ(MsgName(26), "Type26");
}

TEST(SupportCodec, FreePortIsBindableAndNotReissued)
{
    const uint16_t a = FreePort();
    const uint16_t b = FreePort();
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, 4880);
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(a);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(s);
}

// A connected client/peer pair over a listener on 127.0.0.1 with a run-time port.
class SupportSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener_, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(::listen(listener_, 4), 0);
        ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        ASSERT_TRUE(client_.Connect(ntohs(addr.sin_port), "127.0.0.1", 2000)) << client_.LastError();
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(fd, 0);
        peer_.Adopt(fd);
    }
    void TearDown() override
    {
        if (listener_ >= 0) ::close(listener_);
    }

    int listener_ = -1;
    HislipSocket client_, peer_;
};

TEST_F(SupportSocket, LargePayloadRoundTrips)
{
    std::string payload(70000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
    ASSERT_TRUE(client_.Send(Msg::DataEnd, 1, 0xFFFFFF02u, payload)) << client_.LastError();
    Message m;
    ASSERT_TRUE(peer_.ReceiveType(m, Msg::DataEnd, 2000)) << peer_.LastError();
    EXPECT_EQ(m.control, 1);
    EXPECT_EQ(m.param, 0xFFFFFF02u);
    EXPECT_EQ(m.length, payload.size());
    EXPECT_TRUE(m.payload == payload);
    // A mismatched type is reported, with the message that did arrive.
    ASSERT_TRUE(peer_.Send(Msg::Interrupted, 0, 7));
    EXPECT_FALSE(client_.ReceiveType(m, Msg::DataEnd, 2000));
    EXPECT_EQ(m.type, +Msg::Interrupted);
    EXPECT_EQ(m.param, 7u);
}

TEST_F(SupportSocket, MessageCutByTimeoutIsResumed)
{
    const std::string wire = EncodeMessage(+Msg::Data, 0, 42, "abcdef");
    ASSERT_TRUE(peer_.SendRaw(wire.substr(0, 10)));
    Message m;
    EXPECT_FALSE(client_.Receive(m, 100));
    EXPECT_EQ(client_.LastError(), "timeout");
    EXPECT_FALSE(client_.ExpectSilence(10));  // half a header is already here
    ASSERT_TRUE(peer_.SendRaw(wire.substr(10, 9)));
    EXPECT_FALSE(client_.Receive(m, 100));
    ASSERT_TRUE(peer_.SendRaw(wire.substr(19)));
    ASSERT_TRUE(client_.Receive(m, 2000)) << client_.LastError();
    EXPECT_EQ(m.type, +Msg::Data);
    EXPECT_EQ(m.param, 42u);
    EXPECT_EQ(m.payload, "abcdef");
}

TEST_F(SupportSocket, GarbageHeaderIsRejected)
{
    ASSERT_TRUE(peer_.SendRaw(std::string("XS") + std::string(14, '\0')));
    Message m;
    EXPECT_FALSE(client_.Receive(m, 2000));
    EXPECT_NE(client_.LastError().find("prefix"), std::string::npos);
}

TEST_F(SupportSocket, SilenceAndClose)
{
    EXPECT_TRUE(client_.ExpectSilence(50));
    ASSERT_TRUE(peer_.Send(Msg::Trigger, 0, 1));
    EXPECT_FALSE(client_.ExpectSilence(1000));
    Message m;  // ExpectSilence left the message in place
    ASSERT_TRUE(client_.ReceiveType(m, Msg::Trigger, 1000)) << client_.LastError();
    EXPECT_FALSE(client_.WaitClosed(50));

    const auto start = std::chrono::steady_clock::now();
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer_.Send(Msg::Data, 0, 0, "discarded");
        peer_.Close();
    });
    EXPECT_TRUE(client_.WaitClosed(3000));
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(client_.ExpectSilence(10));
    EXPECT_FALSE(client_.Receive(m, 100));
}

}  // namespace
}  // namespace tarvos::test
