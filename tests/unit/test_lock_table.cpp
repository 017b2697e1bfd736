// The server-wide lock table on its own: every transition, what each leaves
// behind (checked against the table's own invariants after every step), the
// cancelling of pending releases, the gate's answer for each state, and the
// waits that a transition ends.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "hislip/LockTable.h"

namespace tarvos {
namespace {

using Clock = std::chrono::steady_clock;
using Grant = LockTable::ExclusiveGrant;
using Shared = LockTable::SharedGrant;
using Released = LockTable::Released;

class LockTableTest : public ::testing::Test {
protected:
    // Distinct sessions; the table only compares their keys.
    const int sessions_[4] = {};
    const LockTable::SessionKey a = &sessions_[0];
    const LockTable::SessionKey b = &sessions_[1];
    const LockTable::SessionKey c = &sessions_[2];
    const LockTable::SessionKey d = &sessions_[3];

    // The state after a step, with the invariants holding.
    void ExpectState(uint32_t lockState, int32_t sharers, size_t sessions)
    {
        EXPECT_EQ(table.CheckInvariants(), "");
        const LockTable::Snapshot s = table.Read();
        EXPECT_EQ(s.lockState, lockState);
        EXPECT_EQ(s.sharedLockClients, sharers);
        EXPECT_EQ(table.SessionCount(), sessions);
    }
    Shared RequestShared(LockTable::SessionKey session, const std::string& key)
    {
        int32_t sharers = -1;
        return table.RequestShared(session, key, sharers);
    }
    bool May(LockTable::SessionKey session)
    {
        uint64_t seen = 0;
        return table.MayExecute(session, seen);
    }

    LockTable table;
    platform::Event stop;
};

TEST_F(LockTableTest, ExclusiveLockIsGrantedOnceAndWaitedFor)
{
    ExpectState(0, 0, 0);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    ExpectState(2, 0, 1);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::AlreadyHeld);
    EXPECT_EQ(table.RequestExclusive(b, 0, stop), Grant::TimedOut);
    const auto start = Clock::now();
    EXPECT_EQ(table.RequestExclusive(b, 150, stop), Grant::TimedOut);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    ExpectState(2, 0, 1);

    // A waiter gets the lock as soon as the holder gives it back.
    auto waiter = std::async(std::launch::async, [&] { return table.RequestExclusive(b, platform::kWaitForever, stop); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    const LockTable::Release released = table.ReleaseImmediate(a);
    EXPECT_EQ(released.what, Released::Exclusive);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), Grant::Granted);
    ExpectState(2, 0, 1);

    // A stop ends a wait as a refusal.
    auto stopped = std::async(std::launch::async, [&] { return table.RequestExclusive(c, platform::kWaitForever, stop); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    stop.Set();
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), Grant::Stopped);

    EXPECT_EQ(table.ReleaseImmediate(b).what, Released::Exclusive);
    EXPECT_EQ(table.ReleaseImmediate(b).what, Released::Nothing);
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, SharedLockCountsSessionsOfOneKeyAndGivesWayInOrder)
{
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    ExpectState(1, 1, 1);
    int32_t sharers = 0;
    EXPECT_EQ(table.RequestShared(b, "key", sharers), Shared::Joined);
    EXPECT_EQ(sharers, 2);
    EXPECT_EQ(table.RequestShared(c, "other", sharers), Shared::OtherKey);
    EXPECT_EQ(sharers, 2);
    EXPECT_EQ(RequestShared(a, "key"), Shared::AlreadyHeld);
    EXPECT_EQ(table.RequestExclusive(d, 5000, stop), Grant::SharedByOthers);
    ExpectState(1, 2, 2);

    // A sharer may take the exclusive lock too; it gives back the exclusive
    // lock first.
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    ExpectState(3, 2, 2);
    EXPECT_EQ(RequestShared(a, "key"), Shared::AlreadyHeld);
    EXPECT_EQ(RequestShared(c, "key"), Shared::Joined);
    EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Exclusive);
    ExpectState(1, 3, 3);
    LockTable::Release released = table.ReleaseImmediate(a);
    EXPECT_EQ(released.what, Released::Shared);
    EXPECT_EQ(released.sharers, 2);
    table.ReleaseImmediate(b);
    released = table.ReleaseImmediate(c);
    EXPECT_EQ(released.sharers, 0);
    ExpectState(0, 0, 0);

    // Nobody shares while the exclusive lock is held.
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(RequestShared(b, "key"), Shared::ExclusiveLocked);
    EXPECT_EQ(RequestShared(a, "key"), Shared::AlreadyHeld);
    table.EndSession(a);
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, DeferredReleaseWaitsForItsMessage)
{
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Exclusive);
    EXPECT_EQ(table.ReleaseDeferred(a, 12), Released::Nothing);
    ExpectState(2, 0, 1);
    LockTable::Afterwards after = table.MessageArrived(a, 8);
    EXPECT_FALSE(after.exclusive || after.shared);
    EXPECT_FALSE(table.MessageArrived(b, 10).exclusive);
    ExpectState(2, 0, 1);
    after = table.MessageArrived(a, 10);
    EXPECT_TRUE(after.exclusive);
    EXPECT_FALSE(after.shared);
    ExpectState(0, 0, 0);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Nothing);

    // Each lock goes with the message its own release waits for.
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 20), Released::Exclusive);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Shared);
    after = table.MessageArrived(a, 10);
    EXPECT_TRUE(after.shared);
    EXPECT_FALSE(after.exclusive);
    ExpectState(2, 0, 1);
    EXPECT_TRUE(table.MessageArrived(a, 20).exclusive);
    ExpectState(0, 0, 0);

    // Two releases waiting for the same message both take effect with it.
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 30), Released::Exclusive);
    EXPECT_EQ(table.ReleaseDeferred(a, 30), Released::Shared);
    after = table.MessageArrived(a, 30);
    EXPECT_TRUE(after.exclusive && after.shared);
    EXPECT_EQ(after.sharers, 0);
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, NewGrantOrImmediateReleaseCancelsThePendingRelease)
{
    // Shared lock granted again while its release waits: counted once, and
    // the awaited message frees nothing.
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Shared);
    int32_t sharers = 0;
    EXPECT_EQ(table.RequestShared(a, "key", sharers), Shared::Joined);
    EXPECT_EQ(sharers, 1);
    ExpectState(1, 1, 1);
    EXPECT_FALSE(table.MessageArrived(a, 10).shared);
    ExpectState(1, 1, 1);
    EXPECT_EQ(table.ReleaseDeferred(a, 12), Released::Shared);
    EXPECT_EQ(table.RequestShared(a, "other", sharers), Shared::OtherKey);
    EXPECT_TRUE(table.MessageArrived(a, 12).shared);
    ExpectState(0, 0, 0);

    // Exclusive lock asked for again while its release waits: kept.
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 20), Released::Exclusive);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_FALSE(table.MessageArrived(a, 20).exclusive);
    ExpectState(2, 0, 1);

    // An immediate release also ends the pending one; the next grant is new.
    EXPECT_EQ(table.ReleaseDeferred(a, 22), Released::Exclusive);
    EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Exclusive);
    ExpectState(0, 0, 0);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_FALSE(table.MessageArrived(a, 22).exclusive);
    ExpectState(2, 0, 1);
    table.EndSession(a);
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, EndedSessionHoldsNothingAndLeavesTheStateFree)
{
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(RequestShared(b, "key"), Shared::Joined);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Exclusive);
    LockTable::Afterwards ended = table.EndSession(a);
    EXPECT_TRUE(ended.exclusive && ended.shared);
    EXPECT_EQ(ended.sharers, 1);
    ExpectState(1, 1, 1);
    EXPECT_FALSE(table.MessageArrived(a, 10).exclusive);
    ended = table.EndSession(a);
    EXPECT_FALSE(ended.exclusive || ended.shared);
    table.EndSession(b);
    ExpectState(0, 0, 0);
    EXPECT_EQ(table.RequestExclusive(c, 0, stop), Grant::Granted);
    table.EndSession(c);
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, GateLetsThroughOnlyWhoMayExecuteNow)
{
    EXPECT_TRUE(May(nullptr));
    EXPECT_TRUE(May(a));

    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_TRUE(May(a));
    EXPECT_FALSE(May(b));
    EXPECT_FALSE(May(nullptr));

    // A session that waits for the exclusive lock in state 3 without sharing
    // does not get it while the sharer that held it still shares: it gets it
    // once the shared lock is free, and alone executes then.
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    auto waiter = std::async(std::launch::async, [&] { return table.RequestExclusive(b, 5000, stop); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Exclusive);
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ExpectState(1, 1, 1);
    EXPECT_TRUE(May(a));
    EXPECT_FALSE(May(b));
    EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Shared);
    ASSERT_EQ(waiter.get(), Grant::Granted);
    ExpectState(2, 0, 1);
    EXPECT_TRUE(May(b));
    EXPECT_FALSE(May(a));
    EXPECT_FALSE(May(c));

    // A deferred release keeps the lock until its message: still only b.
    EXPECT_EQ(table.ReleaseDeferred(b, 10), Released::Exclusive);
    EXPECT_TRUE(May(b));
    EXPECT_FALSE(May(a));
    table.MessageArrived(b, 10);
    EXPECT_TRUE(May(a));
    EXPECT_TRUE(May(b));
    EXPECT_TRUE(May(nullptr));
}

TEST_F(LockTableTest, EveryTransitionWakesWaitsOnTheStateAndNothingElseDoes)
{
    EXPECT_EQ(RequestShared(b, "key"), Shared::First);
    uint64_t seen = 0;
    ASSERT_FALSE(table.MayExecute(a, seen));
    EXPECT_EQ(platform::WaitForAny({table.ChangedSince(seen)}, 50), platform::kWaitTimedOut);
    // Refusals change nothing and wake nobody.
    EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Nothing);
    EXPECT_EQ(table.ReleaseDeferred(a, 1), Released::Nothing);
    EXPECT_EQ(RequestShared(c, "other"), Shared::OtherKey);
    EXPECT_EQ(table.RequestExclusive(c, 0, stop), Grant::SharedByOthers);
    EXPECT_EQ(platform::WaitForAny({table.ChangedSince(seen)}, 50), platform::kWaitTimedOut);

    // A waiter wakes when its own session gets the lock, not only when the
    // lock becomes free.
    auto woken = std::async(std::launch::async, [&] { return platform::WaitForAny({table.ChangedSince(seen)}, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(RequestShared(a, "key"), Shared::Joined);
    ASSERT_EQ(woken.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(woken.get(), 0);
    EXPECT_TRUE(May(a));

    for (int step = 0; step < 4; ++step) {
        ASSERT_FALSE(table.MayExecute(c, seen));
        switch (step) {
        case 0:
            EXPECT_EQ(table.ReleaseDeferred(b, 4), Released::Shared);
            break;
        case 1:
            EXPECT_EQ(RequestShared(b, "key"), Shared::Joined);
            break;
        case 2:
            table.EndSession(b);
            break;
        default:
            EXPECT_FALSE(table.MessageArrived(a, 6).shared);
            EXPECT_EQ(table.ReleaseImmediate(a).what, Released::Shared);
            break;
        }
        EXPECT_EQ(platform::WaitForAny({table.ChangedSince(seen)}, 0), 0) << "step " << step;
    }
    EXPECT_TRUE(May(c));
    ExpectState(0, 0, 0);
}

TEST_F(LockTableTest, ExclusiveHolderThatDoesNotShareNeverMeetsAnotherSessionsSharedLock)
{
    // b waits for the exclusive lock that c holds; c gives it back and a
    // asks for the shared lock at once: the lock goes to the waiting b within
    // c's release, so a is refused and nobody sees the lock free in between.
    EXPECT_EQ(table.RequestExclusive(c, 0, stop), Grant::Granted);
    auto waiter = std::async(std::launch::async, [&] { return table.RequestExclusive(b, 5000, stop); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    EXPECT_EQ(table.ReleaseImmediate(c).what, Released::Exclusive);
    EXPECT_FALSE(May(nullptr));
    EXPECT_EQ(RequestShared(a, "key"), Shared::ExclusiveLocked);
    ASSERT_EQ(waiter.get(), Grant::Granted);
    ExpectState(2, 0, 1);
    // A waiter whose time runs out while only the shared lock stands in its
    // way is refused.
    EXPECT_EQ(table.ReleaseImmediate(b).what, Released::Exclusive);
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(table.RequestExclusive(c, 0, stop), Grant::SharedByOthers);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.RequestExclusive(c, 60, stop), Grant::TimedOut);
    ExpectState(3, 1, 1);

    // Nobody joins the shared lock beside an exclusive holder that does not
    // share, whatever the key; beside one that shares, the key decides.
    EXPECT_EQ(RequestShared(b, "key"), Shared::Joined);
    EXPECT_EQ(table.EndSession(a).exclusive, true);
    EXPECT_EQ(table.EndSession(b).shared, true);
    ExpectState(0, 0, 0);
    EXPECT_EQ(table.RequestExclusive(d, 0, stop), Grant::Granted);
    EXPECT_EQ(RequestShared(b, "key"), Shared::ExclusiveLocked);
    EXPECT_EQ(table.EndSession(d).exclusive, true);

    // A session holding both locks whose shared release comes due before its
    // exclusive one keeps sharing until the exclusive lock goes too, while
    // others share.
    EXPECT_EQ(RequestShared(a, "key"), Shared::First);
    EXPECT_EQ(RequestShared(b, "key"), Shared::Joined);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 20), Released::Exclusive);
    EXPECT_EQ(table.ReleaseDeferred(a, 10), Released::Shared);
    const LockTable::Afterwards first = table.MessageArrived(a, 10);
    EXPECT_FALSE(first.shared);
    ExpectState(3, 2, 2);
    const LockTable::Afterwards second = table.MessageArrived(a, 20);
    EXPECT_TRUE(second.exclusive);
    EXPECT_TRUE(second.shared);
    ExpectState(1, 1, 1);
    // The same with an immediate release of the exclusive lock.
    EXPECT_EQ(RequestShared(a, "key"), Shared::Joined);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 30), Released::Exclusive);
    EXPECT_EQ(table.RequestExclusive(a, 0, stop), Grant::Granted);
    EXPECT_EQ(table.ReleaseDeferred(a, 40), Released::Exclusive);
    EXPECT_EQ(table.ReleaseDeferred(a, 35), Released::Shared);
    table.MessageArrived(a, 35);
    ExpectState(3, 2, 2);
    const LockTable::Release both = table.ReleaseImmediate(a);
    EXPECT_EQ(both.what, Released::Exclusive);
    EXPECT_TRUE(both.dueSharedToo);
    ExpectState(1, 1, 1);
}

}  // namespace
}  // namespace tarvos
