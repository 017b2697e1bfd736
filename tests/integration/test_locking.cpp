// Exclusive and shared locks across several sessions of one server: grants
// and refusals, lock info, the gate that holds other sessions back, device
// clear through the gate, deferred and blocking releases, release at session
// end and the console's status block.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SessionChecks.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

// One server per fixture; every test leaves it unlocked (checked in TearDown)
// because the lock state is shared by all sessions.
class LockingFixture : public ::testing::Test {
protected:
    static std::unique_ptr<ServerProcess> StartServer(const std::vector<std::string>& args)
    {
        auto server = std::make_unique<ServerProcess>();
        if (!server->StartAndWaitReady(args)) server.reset();
        return server;
    }

    virtual ServerProcess* Server() = 0;

    void SetUp() override
    {
        ASSERT_NE(Server(), nullptr) << "server did not start";
        for (HislipSession* s : {&a_, &b_, &c_, &d_}) ASSERT_TRUE(s->Open(Server()->Port())) << s->lastError;
    }

    void TearDown() override
    {
        for (HislipSession* s : {&a_, &b_, &c_, &d_}) s->Close();
        if (Server() == nullptr) return;
        HislipSession probe;
        ASSERT_TRUE(probe.Open(Server()->Port())) << probe.lastError;
        const auto deadline = Clock::now() + milliseconds(3000);
        uint8_t exclusive = 1;
        uint32_t count = 1;
        while (Clock::now() < deadline) {
            ASSERT_TRUE(probe.LockInfo(exclusive, count)) << probe.lastError;
            if (exclusive == 0 && count == 0) return;
            std::this_thread::sleep_for(milliseconds(20));
        }
        ADD_FAILURE() << "locks still held after the sessions closed: " << int{exclusive} << "," << count;
    }

    size_t Count(const std::string& text) { return Server()->CountInStderr(text); }
    bool LoggedAgain(const std::string& text, size_t before, int ms = 2000)
    {
        return Server()->WaitForStderr(text, ms, before + 1);
    }

    static uint8_t Lock(HislipSession& s, uint32_t timeoutMs, const std::string& key = "")
    {
        return LockCode(s, timeoutMs, key);
    }
    static uint8_t Unlock(HislipSession& s) { return UnlockCode(s); }
    static std::string Info(HislipSession& s) { return LockInfoText(s); }
    void ExpectConsoleShows(const std::string& state, int sharers) { test::ExpectConsoleShows(*Server(), state, sharers); }
    static void ExpectAnswered(HislipSession& s) { ExpectReleased(s); }

    HislipSession a_, b_, c_, d_;
};

class LockingTest : public LockingFixture {
protected:
    static void SetUpTestSuite() { server_ = StartServer({"-v"}); }
    static void TearDownTestSuite() { server_.reset(); }
    ServerProcess* Server() override { return server_.get(); }
    static std::unique_ptr<ServerProcess> server_;
};
std::unique_ptr<ServerProcess> LockingTest::server_;

class BlockingUnlockTest : public LockingFixture {
protected:
    static void SetUpTestSuite() { server_ = StartServer({"-v", "-b"}); }
    static void TearDownTestSuite() { server_.reset(); }
    ServerProcess* Server() override { return server_.get(); }
    static std::unique_ptr<ServerProcess> server_;
};
std::unique_ptr<ServerProcess> BlockingUnlockTest::server_;

TEST_F(LockingTest, ExclusiveLockIsGrantedOnceAndRefusedToOthers)
{
    EXPECT_EQ(Info(a_), "0,0");
    EXPECT_EQ(Lock(a_, 0), 1);
    EXPECT_EQ(Info(a_), "1,1");
    EXPECT_EQ(Info(b_), "1,1");
    ExpectConsoleShows("exclusive locked", 0);

    const size_t again = Count("ERROR: Exclusive Lock already granted");
    EXPECT_EQ(Lock(a_, 0), 3);
    EXPECT_TRUE(LoggedAgain("ERROR: Exclusive Lock already granted", again));
    EXPECT_EQ(Lock(a_, 0, "key"), 3);
    EXPECT_EQ(Lock(b_, 0, "key"), 0);

    const size_t refused = Count("INFO: Lock refused\n");
    const auto start = Clock::now();
    EXPECT_EQ(Lock(b_, 500), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(450));
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_TRUE(LoggedAgain("INFO: Lock refused\n", refused));

    EXPECT_EQ(Unlock(a_), 1);
    EXPECT_EQ(Info(b_), "0,0");
    const size_t nothing = Count("ERROR: No lock to release\n");
    EXPECT_EQ(Unlock(a_), 0);
    EXPECT_TRUE(LoggedAgain("ERROR: No lock to release\n", nothing));
}

TEST_F(LockingTest, SharedLockIsGrantedToHoldersOfTheSameKeyOnly)
{
    EXPECT_EQ(Lock(a_, 0, "alpha"), 1);
    EXPECT_EQ(Lock(b_, 0, "alpha"), 1);
    EXPECT_EQ(Info(c_), "0,2");
    ExpectConsoleShows("shared locked", 2);

    const auto start = Clock::now();
    EXPECT_EQ(Lock(c_, 5000, "beta"), 0);
    const size_t refused = Count("INFO: Lock refused since another client has shared lock.");
    EXPECT_EQ(Lock(d_, 5000), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    EXPECT_TRUE(LoggedAgain("INFO: Lock refused since another client has shared lock.", refused));
    EXPECT_EQ(Lock(a_, 0, "alpha"), 3);

    EXPECT_EQ(Unlock(a_), 2);
    EXPECT_EQ(Info(c_), "0,1");
    EXPECT_EQ(Unlock(b_), 2);
    EXPECT_EQ(Info(c_), "0,0");
}

TEST_F(LockingTest, SharerTakesExclusiveLockAndGivesBothBackInOrder)
{
    EXPECT_EQ(Lock(a_, 0, "key"), 1);
    EXPECT_EQ(Lock(a_, 0), 1);
    EXPECT_EQ(Info(a_), "1,1");
    ExpectConsoleShows("both locked", 1);
    EXPECT_EQ(Lock(b_, 0), 0);

    EXPECT_EQ(Unlock(a_), 1);
    EXPECT_EQ(Info(b_), "0,1");
    ExpectConsoleShows("shared locked", 1);
    EXPECT_EQ(Unlock(a_), 2);
    EXPECT_EQ(Info(b_), "0,0");
    ExpectConsoleShows("not locked", 0);
}

TEST_F(LockingTest, LockHolderRunsWhileOtherSessionsWait)
{
    EXPECT_EQ(Lock(a_, 0), 1);
    ExpectHeldBack(b_);
    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_EQ(Unlock(a_), 1);
    ExpectAnswered(b_);

    // A shared lock holds back sessions that do not share it.
    EXPECT_EQ(Lock(a_, 0, "key"), 1);
    ExpectHeldBack(b_);
    EXPECT_EQ(Unlock(a_), 2);
    ExpectAnswered(b_);
}

TEST_F(LockingTest, DeviceClearLetsHeldBackMessageThrough)
{
    EXPECT_EQ(Lock(a_, 0), 1);
    ExpectHeldBack(b_);

    const size_t unblocked = Count("INFO: socket is unblocked due to DeviceClear");
    ASSERT_TRUE(b_.async.Send(Msg::AsyncDeviceClear, 0, 0));
    Message m;
    ASSERT_TRUE(b_.async.ReceiveType(m, Msg::AsyncDeviceClearAcknowledge, 2000)) << Describe(m);
    EXPECT_TRUE(LoggedAgain("INFO: socket is unblocked due to DeviceClear", unblocked));
    ASSERT_TRUE(b_.sync.Send(Msg::DeviceClearComplete, 0, 0));
    ASSERT_TRUE(b_.sync.ReceiveType(m, Msg::DeviceClearAcknowledge, 2000)) << Describe(m);
    b_.nextMessageId = kFirstMessageId;

    // The clear is over, so the gate holds B back again until A lets go.
    ExpectHeldBack(b_);
    EXPECT_EQ(Unlock(a_), 1);
    ExpectAnswered(b_);
}

TEST_F(LockingTest, DeferredReleaseTakesEffectWithTheNamedMessage)
{
    EXPECT_EQ(Lock(a_, 0), 1);
    const uint32_t upcoming = a_.nextMessageId;
    EXPECT_EQ(ReleaseNaming(a_, upcoming), 1);
    const size_t twice = Count("ERROR: No lock to release (deferred)");
    EXPECT_EQ(ReleaseNaming(a_, upcoming), 0);
    EXPECT_TRUE(LoggedAgain("ERROR: No lock to release (deferred)", twice));
    EXPECT_EQ(Info(b_), "1,1");
    ExpectHeldBack(b_);

    const size_t released = Count("INFO: Exclusive Lock released afterwards");
    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_TRUE(LoggedAgain("INFO: Exclusive Lock released afterwards", released));
    ExpectAnswered(b_);
    EXPECT_EQ(Info(b_), "0,0");
    EXPECT_TRUE(a_.async.ExpectSilence(200)) << a_.async.LastError();
}

TEST_F(LockingTest, ClosingSessionReleasesExclusiveThenSharedLock)
{
    EXPECT_EQ(Lock(a_, 0, "key"), 1);
    EXPECT_EQ(Lock(a_, 0), 1);
    ExpectHeldBack(b_);
    const std::string exclusiveLine = "INFO: Exclusive Lock released afterwards";
    const std::string sharedLine = "INFO: Shared Lock released afterwards. Clients=0";
    const size_t exclusiveBefore = Count(exclusiveLine);
    const size_t sharedBefore = Count(sharedLine);

    a_.Close();
    ExpectAnswered(b_);
    ASSERT_TRUE(LoggedAgain(exclusiveLine, exclusiveBefore));
    ASSERT_TRUE(LoggedAgain(sharedLine, sharedBefore));
    const std::string log = Server()->Stderr();
    EXPECT_LT(log.rfind(exclusiveLine), log.rfind(sharedLine));
    EXPECT_EQ(Info(b_), "0,0");
}

TEST_F(LockingTest, AsyncLockOnSynchronousChannelFailsAndSessionGoesOn)
{
    Message m;
    const struct {
        uint8_t control;
        uint32_t param;
        std::string key;
    } requests[] = {{1, 0, ""}, {1, 0, "key"}, {0, a_.LastMessageId(), ""}};
    for (const auto& r : requests) {
        ASSERT_TRUE(a_.sync.Send(Msg::AsyncLock, r.control, r.param, r.key));
        ASSERT_TRUE(a_.sync.ReceiveType(m, Msg::AsyncLockResponse, 2000)) << Describe(m);
        EXPECT_EQ(m.control, 0);
    }
    EXPECT_EQ(Info(a_), "0,0");
    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_EQ(answer, kIdentity);
}

TEST_F(BlockingUnlockTest, DeferredReleaseIsAnsweredOnlyWhenItHappens)
{
    EXPECT_EQ(Lock(a_, 0), 1);
    const size_t blocked = Count("INFO: Exclusive Lock released (deferred). Response is blocked.");
    ASSERT_TRUE(a_.async.Send(Msg::AsyncLock, 0, a_.nextMessageId));
    EXPECT_TRUE(LoggedAgain("INFO: Exclusive Lock released (deferred). Response is blocked.", blocked));
    ExpectHeldBack(b_);
    EXPECT_TRUE(a_.async.ExpectSilence(100)) << a_.async.LastError();

    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    Message m;
    ASSERT_TRUE(a_.ReceiveAsync(m, +Msg::AsyncLockResponse, 2000)) << a_.lastError;
    EXPECT_EQ(m.control, 1);
    ExpectAnswered(b_);

    // The shared lock's deferred release answers 2 at the same moment.
    EXPECT_EQ(Lock(a_, 0, "key"), 1);
    ASSERT_TRUE(a_.async.Send(Msg::AsyncLock, 0, a_.nextMessageId));
    EXPECT_TRUE(a_.async.ExpectSilence(300)) << a_.async.LastError();
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    ASSERT_TRUE(a_.ReceiveAsync(m, +Msg::AsyncLockResponse, 2000)) << a_.lastError;
    EXPECT_EQ(m.control, 2);
    EXPECT_EQ(Info(b_), "0,0");
}

}  // namespace
}  // namespace tarvos::test
