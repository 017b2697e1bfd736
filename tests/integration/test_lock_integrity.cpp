// Locks that no sequence of requests and releases can corrupt, and a lock gate
// that nothing gets around: a session counted once however often it is granted
// a lock, a pending release that a newer grant or release cancels, a gate that
// looks at the lock state again whenever it wakes, and no way to execute while
// another session holds the lock (no Initialize, never paired, data on the
// asynchronous channel). Every case also shows that a bystander session, not
// involved in the lock, is served at once throughout.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SessionChecks.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string WriteCommand(const std::string& name)
{
    return "MMEM:DATA '" + name + "',#15hello\n";
}

class LockIntegrityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/tarvos-locks-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        work_ = pattern;
        server_ = std::make_unique<ServerProcess>();
        if (!server_->StartAndWaitReady({"-v"}, 15000, work_.string())) server_.reset();
    }
    static void TearDownTestSuite()
    {
        server_.reset();
        std::error_code ignored;
        if (!work_.empty()) fs::remove_all(work_, ignored);
    }

    void SetUp() override
    {
        ASSERT_NE(server_, nullptr) << "server did not start";
        for (HislipSession* s : {&a_, &b_, &d_, &bystander_}) ASSERT_TRUE(s->Open(server_->Port())) << s->lastError;
    }

    // Every case leaves the server without locks once its sessions are gone.
    void TearDown() override
    {
        for (HislipSession* s : {&a_, &b_, &d_}) s->Close();
        if (server_ == nullptr) return;
        std::string info;
        const auto deadline = Clock::now() + milliseconds(3000);
        while (Clock::now() < deadline) {
            info = LockInfoText(bystander_);
            if (info == "0,0") break;
            std::this_thread::sleep_for(milliseconds(20));
        }
        EXPECT_EQ(info, "0,0") << "locks still held after the sessions ended";
        ExpectAnsweredAtOnce(bystander_);
    }

    void ExpectConsoleShows(const std::string& state, int sharers) { test::ExpectConsoleShows(*server_, state, sharers); }

    static bool Exists(const std::string& name) { return fs::exists(work_ / name); }
    static size_t Count(const std::string& text) { return server_->CountInStderr(text); }

    static std::unique_ptr<ServerProcess> server_;
    static fs::path work_;
    HislipSession a_, b_, d_, bystander_;
};

std::unique_ptr<ServerProcess> LockIntegrityTest::server_;
fs::path LockIntegrityTest::work_;

TEST_F(LockIntegrityTest, SharedLockGrantedAgainDuringPendingReleaseCountsTheSessionOnce)
{
    EXPECT_EQ(LockCode(a_, 0, "key"), 1);
    // No Data has arrived yet, so a release naming 0xFFFFFF00 waits for it.
    EXPECT_EQ(ReleaseNaming(a_, kFirstMessageId), 2);
    EXPECT_EQ(LockCode(a_, 0, "key"), 1);
    EXPECT_EQ(LockInfoText(bystander_), "0,1");
    ExpectConsoleShows("shared locked", 1);

    // The new grant cancelled the pending release: the awaited message no
    // longer frees the lock.
    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_EQ(LockInfoText(bystander_), "0,1");
    ExpectHeldBack(b_);

    // When the session ends, nothing of its lock stays behind.
    a_.Close();
    ExpectReleased(b_);
    EXPECT_EQ(LockInfoText(bystander_), "0,0");
    ExpectConsoleShows("not locked", 0);
    ExpectAnsweredAtOnce(bystander_);
}

TEST_F(LockIntegrityTest, ImmediateReleaseAndNewGrantCancelThePendingRelease)
{
    const size_t releasedAfterwards = Count("INFO: Exclusive Lock released afterwards");
    EXPECT_EQ(LockCode(a_, 0), 1);
    const uint32_t upcoming = a_.nextMessageId;
    EXPECT_EQ(ReleaseNaming(a_, upcoming), 1);
    EXPECT_EQ(UnlockCode(a_), 1);  // names the last MessageID received: immediate
    EXPECT_EQ(LockCode(a_, 0), 1);

    // The old MessageID arrives; the new lock stays.
    std::string answer;
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_EQ(LockInfoText(bystander_), "1,1");
    ExpectHeldBack(b_);

    // A deferred release followed by a new request keeps the lock granted at
    // once; the next awaited message does not free it either.
    EXPECT_EQ(ReleaseNaming(a_, a_.nextMessageId), 1);
    EXPECT_EQ(LockCode(a_, 0), 1);
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_EQ(LockInfoText(bystander_), "1,1");
    EXPECT_TRUE(b_.sync.ExpectSilence(200)) << b_.sync.LastError();
    EXPECT_EQ(Count("INFO: Exclusive Lock released afterwards"), releasedAfterwards);

    EXPECT_EQ(UnlockCode(a_), 1);
    ExpectReleased(b_);
    ExpectAnsweredAtOnce(bystander_);
}

TEST_F(LockIntegrityTest, GateLooksAtTheLockStateAgainWhenItWakes)
{
    EXPECT_EQ(LockCode(a_, 0, "key"), 1);
    ExpectHeldBack(b_);
    EXPECT_EQ(LockCode(a_, 0), 1);  // A now holds both locks

    // D's exclusive request waits for A's exclusive lock, and goes on waiting
    // while A still shares: D never holds the exclusive lock beside A's
    // shared lock.
    ASSERT_TRUE(d_.async.Send(Msg::AsyncLock, 1, 10000));
    EXPECT_TRUE(d_.async.ExpectSilence(200)) << d_.async.LastError();
    EXPECT_EQ(UnlockCode(a_), 1);
    EXPECT_TRUE(d_.async.ExpectSilence(300)) << d_.async.LastError();
    EXPECT_EQ(LockInfoText(bystander_), "0,1");

    // The shared lock goes: D gets the exclusive lock, which still holds B back.
    EXPECT_EQ(UnlockCode(a_), 2);
    Message m;
    ASSERT_TRUE(d_.ReceiveAsync(m, +Msg::AsyncLockResponse, 3000)) << d_.lastError;
    EXPECT_EQ(m.control, 1);
    EXPECT_TRUE(b_.sync.ExpectSilence(500)) << b_.sync.LastError();
    EXPECT_EQ(LockInfoText(bystander_), "1,1");
    std::string answer;
    ASSERT_TRUE(d_.Query("*IDN?\n", answer)) << d_.lastError;

    EXPECT_EQ(UnlockCode(d_), 1);
    ExpectReleased(b_);
}

TEST_F(LockIntegrityTest, NoConnectionExecutesPastAnotherSessionsLock)
{
    EXPECT_EQ(LockCode(a_, 0), 1);

    // A connection that never sent Initialize.
    HislipSocket stranger;
    ASSERT_TRUE(stranger.Connect(server_->Port())) << stranger.LastError();
    ASSERT_TRUE(stranger.Send(Msg::DataEnd, 0, kFirstMessageId, WriteCommand("stranger")));
    Message m;
    ASSERT_TRUE(stranger.ReceiveType(m, Msg::FatalError, 3000)) << Describe(m);
    EXPECT_EQ(m.control, 3);
    EXPECT_EQ(m.payload, "Invalid Initialization sequence");
    EXPECT_TRUE(stranger.WaitClosed(3000)) << stranger.LastError();

    // A synchronous channel that never paired.
    HislipSession lone;
    ASSERT_TRUE(lone.sync.Connect(server_->Port())) << lone.sync.LastError();
    ASSERT_TRUE(lone.sync.Send(Msg::Initialize, 0, 0x01005456, "hislip0"));
    ASSERT_TRUE(lone.sync.ReceiveType(m, Msg::InitializeResponse, 3000)) << Describe(m);
    lone.Write(WriteCommand("lone"));
    ExpectHeldBack(lone);

    // Program messages on an asynchronous channel, from another session.
    const size_t refused = Count("ERROR: DataEnd on the asynchronous channel refused");
    ASSERT_TRUE(b_.async.Send(Msg::DataEnd, 0, kFirstMessageId, WriteCommand("async") + "*IDN?\n"));
    ASSERT_TRUE(b_.async.ReceiveType(m, Msg::Error, 3000)) << Describe(m);
    EXPECT_EQ(m.control, 1);
    EXPECT_EQ(m.payload, "Unrecognized Message Type");
    EXPECT_TRUE(b_.async.ExpectSilence(300)) << b_.async.LastError();
    EXPECT_TRUE(server_->WaitForStderr("ERROR: DataEnd on the asynchronous channel refused", 2000, refused + 1));

    // The holder is served at once meanwhile, and nothing was written.
    std::string answer;
    const auto start = Clock::now();
    ASSERT_TRUE(a_.Query("*IDN?\n", answer)) << a_.lastError;
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_FALSE(Exists("stranger"));
    EXPECT_FALSE(Exists("lone"));
    EXPECT_FALSE(Exists("async"));

    // Once the lock is free the unpaired channel goes on; the asynchronous
    // channel's message stays refused.
    EXPECT_EQ(UnlockCode(a_), 1);
    ExpectReleased(lone);
    EXPECT_TRUE(Exists("lone"));
    EXPECT_FALSE(Exists("async"));
    ExpectAnsweredAtOnce(b_);
}

TEST_F(LockIntegrityTest, ClientsThatHangUpAtTheGateLeaveAtOnce)
{
    const size_t fds = server_->OpenFdCount();
    const size_t forced = Count("Force shutdown");
    EXPECT_EQ(LockCode(a_, 0), 1);
    {
        HislipSession waiting[6];
        for (HislipSession& s : waiting) {
            ASSERT_TRUE(s.Open(server_->Port())) << s.lastError;
            ExpectHeldBack(s, 50);
        }
    }
    // Their workers end within moments, not when the lock is given back or a
    // partner's wait runs out.
    const auto start = Clock::now();
    while (server_->OpenFdCount() > fds && Clock::now() - start < milliseconds(5000)) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_LE(server_->OpenFdCount(), fds);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_EQ(Count("Force shutdown"), forced);
    ExpectAnsweredAtOnce(a_);
    EXPECT_EQ(UnlockCode(a_), 1);
}

}  // namespace
}  // namespace tarvos::test
