// Events, the count-1 semaphore, change counters and the combined wait over
// them: each object wakes exactly the waits that watch it, the first ready
// object wins, only the winner is consumed, and a finished wait leaves nothing
// registered behind.
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Sync.h"

namespace tarvos::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long MsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

TEST(Sync, EventWaitsEndOnSetOrTimeAndStayUntilReset)
{
    Event event;
    auto start = Clock::now();
    EXPECT_FALSE(event.Wait(60));
    EXPECT_GE(MsSince(start), 55);
    EXPECT_FALSE(event.Wait(0));

    auto waiter = std::async(std::launch::async, [&] { return event.Wait(kWaitForever); });
    EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout);
    event.Set();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    // Manual reset: it stays signalled for every later wait.
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(Event(true).IsSet());
}

TEST(Sync, SemaphoreHasOneCountThatReleaseGivesBack)
{
    Semaphore token;
    EXPECT_TRUE(token.Available());
    EXPECT_TRUE(token.Acquire(0));
    EXPECT_FALSE(token.Available());
    const auto start = Clock::now();
    EXPECT_FALSE(token.Acquire(60));
    EXPECT_GE(MsSince(start), 55);

    auto taker = std::async(std::launch::async, [&] { return token.Acquire(kWaitForever); });
    EXPECT_EQ(taker.wait_for(milliseconds(50)), std::future_status::timeout);
    token.Release();
    ASSERT_EQ(taker.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(taker.get());
    // The maximum is one: two releases give back one count.
    token.Release();
    token.Release();
    EXPECT_TRUE(token.Acquire(0));
    EXPECT_FALSE(token.Acquire(0));
}

TEST(Sync, CombinedWaitTakesTheFirstReadyObjectOnly)
{
    Event first;
    Event second;
    Semaphore token;
    ChangeCounter counter;

    EXPECT_EQ(WaitForAny({first, second}, 0), kWaitTimedOut);
    second.Set();
    first.Set();
    EXPECT_EQ(WaitForAny({first, second}, 0), 0);
    EXPECT_EQ(WaitForAny({second, first}, 0), 0);
    first.Reset();
    second.Reset();

    // The semaphore's count goes to the wait only when the semaphore wins.
    first.Set();
    EXPECT_EQ(WaitForAny({first, token}, kWaitForever), 0);
    EXPECT_TRUE(token.Available());
    first.Reset();
    EXPECT_EQ(WaitForAny({first, token}, kWaitForever), 1);
    EXPECT_FALSE(token.Available());
    EXPECT_EQ(WaitForAny({first, token}, 30), kWaitTimedOut);
    token.Release();

    // A counter is ready once it no longer holds the value seen.
    const uint64_t seen = counter.Value();
    EXPECT_EQ(WaitForAny({Waitable(counter, seen)}, 0), kWaitTimedOut);
    counter.Bump();
    EXPECT_EQ(WaitForAny({Waitable(counter, seen)}, 0), 0);
    EXPECT_EQ(WaitForAny({Waitable(counter, counter.Value())}, 0), kWaitTimedOut);
}

TEST(Sync, CombinedWaitWakesOnAChangeFromAnotherThread)
{
    Event stop;
    Event clear;
    Semaphore token;
    ChangeCounter counter;
    ASSERT_TRUE(token.Acquire(0));

    const auto wake = [&](int which) {
        const uint64_t seen = counter.Value();
        auto waiting = std::async(std::launch::async, [&, seen] {
            return WaitForAny({clear, stop, token, Waitable(counter, seen)}, kWaitForever);
        });
        EXPECT_EQ(waiting.wait_for(milliseconds(30)), std::future_status::timeout) << which;
        switch (which) {
        case 0: clear.Set(); break;
        case 1: stop.Set(); break;
        case 2: token.Release(); break;
        default: counter.Bump(); break;
        }
        if (waiting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "a change did not wake the wait: " << which;
            stop.Set();
        }
        return waiting.get();
    };
    EXPECT_EQ(wake(0), 0);
    clear.Reset();
    EXPECT_EQ(wake(1), 1);
    stop.Reset();
    EXPECT_EQ(wake(2), 2);
    EXPECT_FALSE(token.Available());
    EXPECT_EQ(wake(3), 3);

    // A time limit ends the wait when nothing changes.
    const auto start = Clock::now();
    EXPECT_EQ(WaitForAny({clear, stop, Waitable(counter, counter.Value())}, 80), kWaitTimedOut);
    EXPECT_GE(MsSince(start), 75);
}

TEST(Sync, EveryWaiterOfAnObjectWakesAndNoneStaysRegistered)
{
    Event go;
    std::vector<std::future<int>> waiting;
    for (int i = 0; i < 8; ++i) {
        // Each waits on an event of its own as well, which outlives no wait.
        waiting.push_back(std::async(std::launch::async, [&go] {
            Event own;
            return WaitForAny({own, go}, kWaitForever);
        }));
    }
    std::this_thread::sleep_for(milliseconds(30));
    go.Set();
    for (auto& w : waiting) {
        ASSERT_EQ(w.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(w.get(), 1);
    }
    // The waiters are gone: changing the objects they watched touches none of
    // them (AddressSanitizer reports it if one were still registered).
    auto scoped = std::make_unique<Event>();
    {
        Event other;
        other.Set();
        EXPECT_EQ(WaitForAny({other, *scoped}, 0), 0);
    }
    scoped->Set();
    go.Reset();
    go.Set();
}

}  // namespace
}  // namespace tarvos::platform
