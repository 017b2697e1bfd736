#include "platform/Sync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarvos::platform {

// Every event and the semaphore share one mutex and one condition variable, so a
// thread can wait on any combination of them. Waits are rare (lock gates, sleeps,
// teardown), so the shared wake-up costs nothing worth measuring.
class SyncAccess {
public:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::condition_variable& Changed()
    {
        static std::condition_variable changed;
        return changed;
    }
    static bool& Signalled(Event& e) { return e.signalled_; }
    static const bool& Signalled(const Event& e) { return e.signalled_; }
    static int& Count(Semaphore& s) { return s.count_; }
    static const uint64_t& Value(const ChangeCounter& c) { return c.value_; }

    // Waits on the shared condition until ready() holds or the time is up.
    template <typename Ready>
    static bool WaitUntil(std::unique_lock<std::mutex>& guard, uint32_t timeoutMs, Ready ready)
    {
        if (timeoutMs == kWaitForever) {
            Changed().wait(guard, ready);
            return true;
        }
        return Changed().wait_for(guard, std::chrono::milliseconds(timeoutMs), ready);
    }
};

Event::Event(bool signalled) : signalled_(signalled) {}

void Event::Set()
{
    {
        std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
        signalled_ = true;
    }
    SyncAccess::Changed().notify_all();
}

void Event::Reset()
{
    std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
    signalled_ = false;
}

bool Event::IsSet() const
{
    std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
    return signalled_;
}

bool Event::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(SyncAccess::Mutex());
    return SyncAccess::WaitUntil(guard, timeoutMs, [this] { return signalled_; });
}

Semaphore::Semaphore() : count_(1) {}

bool Semaphore::Acquire(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(SyncAccess::Mutex());
    if (!SyncAccess::WaitUntil(guard, timeoutMs, [this] { return count_ > 0; })) {
        return false;
    }
    --count_;
    return true;
}

void Semaphore::Release()
{
    {
        std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
        if (count_ < 1) {
            ++count_;
        }
    }
    SyncAccess::Changed().notify_all();
}

bool Semaphore::Available() const
{
    std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
    return count_ > 0;
}

void ChangeCounter::Bump()
{
    {
        std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
        ++value_;
    }
    SyncAccess::Changed().notify_all();
}

uint64_t ChangeCounter::Value() const
{
    std::lock_guard<std::mutex> guard(SyncAccess::Mutex());
    return value_;
}

uint64_t NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

int WaitForAny(std::initializer_list<Waitable> objects, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(SyncAccess::Mutex());
    int winner = kWaitTimedOut;
    auto ready = [&] {
        int index = 0;
        for (const Waitable& object : objects) {
            const bool ready = object.event != nullptr       ? SyncAccess::Signalled(*object.event)
                               : object.semaphore != nullptr ? SyncAccess::Count(*object.semaphore) > 0
                                                             : SyncAccess::Value(*object.counter) != object.seen;
            if (ready) {
                winner = index;
                return true;
            }
            ++index;
        }
        return false;
    };
    if (!SyncAccess::WaitUntil(guard, timeoutMs, ready)) {
        return kWaitTimedOut;
    }
    const Waitable& chosen = objects.begin()[winner];
    if (chosen.semaphore != nullptr) {
        --SyncAccess::Count(*chosen.semaphore);
    }
    return winner;
}

}  // namespace tarvos::platform
