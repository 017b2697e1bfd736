#include "platform/Sync.h"

#include <algorithm>
#include <chrono>

namespace tarvos::platform {

namespace {

constexpr uint64_t kNoDeadline = UINT64_MAX;

uint64_t DeadlineAfter(uint32_t timeoutMs)
{
    return timeoutMs == kWaitForever ? kNoDeadline : NowMs() + timeoutMs;
}

}  // namespace

// The notifier of one combined wait: every object it watches sets it when it
// changes. Taken inside an object's lock, never the other way round.
class Waiter {
public:
    void Notify() EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        notified_ = true;
        woken_.NotifyAll();
    }
    // Forgets earlier notifications; called before the objects are looked at,
    // so a change while they are looked at still ends the next wait.
    void Arm() EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        notified_ = false;
    }
    // Waits for a notification until deadlineMs; false once it has passed.
    bool Wait(uint64_t deadlineMs) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        while (!notified_) {
            if (deadlineMs == kNoDeadline) {
                woken_.Wait(guard);
                continue;
            }
            const uint64_t now = NowMs();
            if (now >= deadlineMs || !woken_.WaitFor(guard, deadlineMs - now)) {
                return notified_;
            }
        }
        return true;
    }

private:
    Mutex lock_ ACQUIRED_AFTER(Watched::lock_);
    Condition woken_;
    bool notified_ GUARDED_BY(lock_) = false;
};

void Watched::NotifyLocked()
{
    changed_.NotifyAll();
    for (Waiter* waiter : waiters_) {
        waiter->Notify();
    }
}

bool Watched::WaitLocked(MutexLock& held, uint64_t deadlineMs)
{
    if (deadlineMs == kNoDeadline) {
        changed_.Wait(held);
        return true;
    }
    const uint64_t now = NowMs();
    return now < deadlineMs && (changed_.WaitFor(held, deadlineMs - now) || NowMs() < deadlineMs);
}

void Watched::Register(Waiter* waiter) const
{
    MutexLock guard(lock_);
    waiters_.push_back(waiter);
}

void Watched::Unregister(Waiter* waiter) const
{
    MutexLock guard(lock_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
}

void Event::Set()
{
    MutexLock guard(lock_);
    signalled_ = true;
    NotifyLocked();
}

void Event::Reset()
{
    MutexLock guard(lock_);
    signalled_ = false;
}

bool Event::IsSet() const
{
    MutexLock guard(lock_);
    return signalled_;
}

bool Event::Wait(uint32_t timeoutMs)
{
    const uint64_t deadline = DeadlineAfter(timeoutMs);
    MutexLock guard(lock_);
    while (!signalled_) {
        if (!WaitLocked(guard, deadline)) {
            return signalled_;
        }
    }
    return true;
}

bool Semaphore::TryTakeLocked()
{
    if (count_ < 1) {
        return false;
    }
    --count_;
    return true;
}

bool Semaphore::Acquire(uint32_t timeoutMs)
{
    const uint64_t deadline = DeadlineAfter(timeoutMs);
    MutexLock guard(lock_);
    while (!TryTakeLocked()) {
        if (!WaitLocked(guard, deadline)) {
            return TryTakeLocked();
        }
    }
    return true;
}

void Semaphore::Release()
{
    MutexLock guard(lock_);
    if (count_ < 1) {
        ++count_;
    }
    NotifyLocked();
}

bool Semaphore::Available() const
{
    MutexLock guard(lock_);
    return count_ > 0;
}

void ChangeCounter::Bump()
{
    MutexLock guard(lock_);
    ++value_;
    NotifyLocked();
}

uint64_t ChangeCounter::Value() const
{
    MutexLock guard(lock_);
    return value_;
}

const Watched& Waitable::Object() const
{
    if (event_ != nullptr) {
        return *event_;
    }
    if (semaphore_ != nullptr) {
        return *semaphore_;
    }
    return *counter_;
}

bool Waitable::TakeIfReady() const
{
    if (event_ != nullptr) {
        MutexLock guard(event_->lock_);
        return event_->signalled_;
    }
    if (semaphore_ != nullptr) {
        MutexLock guard(semaphore_->lock_);
        return semaphore_->TryTakeLocked();
    }
    MutexLock guard(counter_->lock_);
    return counter_->value_ != seen_;
}

uint64_t NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

int WaitForAny(std::initializer_list<Waitable> objects, uint32_t timeoutMs)
{
    const uint64_t deadline = DeadlineAfter(timeoutMs);
    Waiter waiter;
    for (const Waitable& object : objects) {
        object.Register(&waiter);
    }
    int winner = kWaitTimedOut;
    for (bool last = false; winner == kWaitTimedOut;) {
        waiter.Arm();
        int index = 0;
        for (const Waitable& object : objects) {
            if (object.TakeIfReady()) {
                winner = index;
                break;
            }
            ++index;
        }
        // One more look once the time is up: an object that became ready at
        // the deadline still counts.
        if (winner != kWaitTimedOut || last) {
            break;
        }
        last = !waiter.Wait(deadline);
    }
    for (const Waitable& object : objects) {
        object.Unregister(&waiter);
    }
    return winner;
}

}  // namespace tarvos::platform
