// ShutdownAndWake against real loopback sockets: every call blocked on the
// socket in another thread returns at once, a wake that comes before the call
// is not lost, and the peer sees the end. The stop of the server relies on it
// on every platform.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Socket.h"
#include "tests/support/FreePort.h"
#include "tests/support/HislipClient.h"

namespace {

using tarvos::platform::kInvalidSocket;
using tarvos::platform::SocketHandle;
using tarvos::test::HislipSocket;

constexpr auto kWakeLimit = std::chrono::seconds(3);

// True when the call blocked in another thread has ended within the limit.
// Otherwise release (something the peer does) ends it, so that the test fails
// instead of hanging.
template <typename T>
bool Ends(std::future<T>& call, const std::function<void()>& release)
{
    if (call.wait_for(kWakeLimit) == std::future_status::ready) return true;
    release();
    call.wait();
    return false;
}

// A listening socket on a free port of 127.0.0.1 (and every other address).
class WakeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tarvos::platform::SocketsStartup());
        port_ = tarvos::test::FreePort();
        ASSERT_NE(port_, 0);
        listener_ = tarvos::platform::CreateStreamSocket(tarvos::platform::AddressFamily::IPv4);
        ASSERT_NE(listener_, kInvalidSocket);
        ASSERT_EQ(tarvos::platform::BindAny(listener_, tarvos::platform::AddressFamily::IPv4, port_), 0);
        ASSERT_EQ(tarvos::platform::Listen(listener_, 16), 0);
    }
    void TearDown() override
    {
        for (SocketHandle s : {accepted_, listener_}) {
            if (s != kInvalidSocket) tarvos::platform::CloseSocketHandle(s);
        }
    }

    // Connects client and accepts its connection into accepted_.
    void Connect(HislipSocket& client)
    {
        ASSERT_TRUE(client.Connect(port_, "127.0.0.1")) << client.LastError();
        accepted_ = tarvos::platform::Accept(listener_);
        ASSERT_NE(accepted_, kInvalidSocket);
    }

    uint16_t port_ = 0;
    SocketHandle listener_ = kInvalidSocket;
    SocketHandle accepted_ = kInvalidSocket;
};

TEST_F(WakeTest, BlockedAcceptFailsAndLaterAcceptsFailAtOnce)
{
    auto accepting = std::async(std::launch::async, [&] { return tarvos::platform::Accept(listener_); });
    EXPECT_EQ(accepting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    tarvos::platform::ShutdownAndWake(listener_);
    HislipSocket releaser;
    const auto connect = [&] { releaser.Connect(port_, "127.0.0.1", 500); };
    ASSERT_TRUE(Ends(accepting, connect)) << "accept still blocked";
    const SocketHandle first = accepting.get();
    EXPECT_EQ(first, kInvalidSocket);
    if (first != kInvalidSocket) tarvos::platform::CloseSocketHandle(first);

    // Also an accept that comes after the wake fails, with a client waiting.
    HislipSocket late;
    late.Connect(port_, "127.0.0.1", 500);
    auto again = std::async(std::launch::async, [&] { return tarvos::platform::Accept(listener_); });
    ASSERT_TRUE(Ends(again, connect)) << "accept after the wake blocked";
    const SocketHandle taken = again.get();
    EXPECT_EQ(taken, kInvalidSocket);
    if (taken != kInvalidSocket) tarvos::platform::CloseSocketHandle(taken);
}

TEST_F(WakeTest, BlockedReceiveSeesTheEndAndSoDoesThePeer)
{
    HislipSocket client;
    Connect(client);
    auto receiving = std::async(std::launch::async, [&] {
        char buffer[64];
        return tarvos::platform::Receive(accepted_, buffer, sizeof(buffer));
    });
    EXPECT_EQ(receiving.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    tarvos::platform::ShutdownAndWake(accepted_);
    ASSERT_TRUE(Ends(receiving, [&] { client.Close(); })) << "receive still blocked";
    EXPECT_EQ(receiving.get(), 0);
    EXPECT_TRUE(client.WaitClosed(2000)) << client.LastError();

    // The handle stays usable for the calls that follow: they end at once.
    char buffer[8];
    EXPECT_EQ(tarvos::platform::Receive(accepted_, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(tarvos::platform::Send(accepted_, "x", 1), -1);
}

TEST_F(WakeTest, BlockedSendReturnsWhenThePeerReadsNothing)
{
    HislipSocket client;
    Connect(client);
    // Far more than the socket buffers on both sides hold.
    const std::vector<char> payload(size_t{64} << 20, 'p');
    std::atomic<bool> started{false};
    auto sending = std::async(std::launch::async, [&] {
        started = true;
        const tarvos::platform::SendSlice slice{payload.data(), payload.size()};
        return tarvos::platform::SendSlices(accepted_, &slice, 1);
    });
    while (!started) std::this_thread::yield();
    EXPECT_EQ(sending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    tarvos::platform::ShutdownAndWake(accepted_);
    ASSERT_TRUE(Ends(sending, [&] { client.Close(); })) << "send still blocked";
    EXPECT_LT(sending.get(), static_cast<long>(payload.size()));
}

TEST_F(WakeTest, WakeBeforeTheReceiveIsNotLost)
{
    HislipSocket client;
    Connect(client);
    tarvos::platform::ShutdownAndWake(accepted_);
    auto receiving = std::async(std::launch::async, [&] {
        char buffer[64];
        return tarvos::platform::Receive(accepted_, buffer, sizeof(buffer));
    });
    ASSERT_TRUE(Ends(receiving, [&] { client.Close(); })) << "receive after the wake blocked";
    EXPECT_EQ(receiving.get(), 0);
}

}  // namespace
