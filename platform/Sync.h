// Manual-reset events, the count-1 semaphore, change counters and the waits on
// them. Each object has a lock and a condition of its own; a thread that waits
// for several at once registers one notifier with each of them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/Mutex.h"

namespace tarvos::platform {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class Waiter;
class Waitable;

// What events, the semaphore and counters share: a lock of their own, a
// condition for waits on this object alone, and the notifiers of the combined
// waits that watch it. Every change notifies both under the lock, so a waiter
// that registered before it looked can't miss a change.
class Watched {
public:
    Watched() = default;
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;

protected:
    ~Watched() = default;
    void NotifyLocked() REQUIRES(lock_);
    // Waits for a notification until deadlineMs (NowMs() time; kNoDeadline:
    // none); false once the deadline has passed.
    bool WaitLocked(MutexLock& held, uint64_t deadlineMs) REQUIRES(lock_);

    // Innermost: held only for a step, never while anything else is taken but
    // the notifier of a waiter.
    mutable Mutex lock_;

private:
    friend class Waitable;
    friend class Waiter;
    void Register(Waiter* waiter) const EXCLUDES(lock_);
    void Unregister(Waiter* waiter) const EXCLUDES(lock_);

    mutable Condition changed_;
    mutable std::vector<Waiter*> waiters_ GUARDED_BY(lock_);
};

// A manual-reset event: stays signalled from Set() until Reset().
class Event : public Watched {
public:
    explicit Event(bool signalled = false) : signalled_(signalled) {}

    void Set() EXCLUDES(lock_);
    void Reset() EXCLUDES(lock_);
    bool IsSet() const EXCLUDES(lock_);
    // Waits until the event is signalled, at most timeoutMs (kWaitForever: no
    // limit). True when it was signalled.
    bool Wait(uint32_t timeoutMs) EXCLUDES(lock_);

private:
    friend class Waitable;
    bool signalled_ GUARDED_BY(lock_);
};

// A semaphore with maximum count 1; starts with count 1.
class Semaphore : public Watched {
public:
    Semaphore() = default;

    // Takes the count, waiting at most timeoutMs (0 tries once, kWaitForever
    // waits without limit). True when it was taken.
    bool Acquire(uint32_t timeoutMs) EXCLUDES(lock_);
    // Gives the count back (a count already at its maximum stays there).
    void Release() EXCLUDES(lock_);
    // True while the count could be taken (nothing is taken).
    bool Available() const EXCLUDES(lock_);

private:
    friend class Waitable;
    bool TryTakeLocked() REQUIRES(lock_);
    int count_ GUARDED_BY(lock_) = 1;
};

// A counter that waits can watch: bumped on every change of what it stands
// for, ready for a waiter once it differs from the value that waiter saw.
class ChangeCounter : public Watched {
public:
    ChangeCounter() = default;

    void Bump() EXCLUDES(lock_);
    uint64_t Value() const EXCLUDES(lock_);

private:
    friend class Waitable;
    uint64_t value_ GUARDED_BY(lock_) = 0;
};

// One object of a combined wait: an event (ready while signalled), the
// semaphore (ready while its count can be taken; the wait then takes it) or a
// change counter (ready once it no longer holds the value seen).
class Waitable {
public:
    Waitable(Event& e) : event_(&e) {}          // NOLINT(google-explicit-constructor)
    Waitable(Semaphore& s) : semaphore_(&s) {}  // NOLINT(google-explicit-constructor)
    Waitable(const ChangeCounter& c, uint64_t seenValue) : counter_(&c), seen_(seenValue) {}

private:
    friend int WaitForAny(std::initializer_list<Waitable> objects, uint32_t timeoutMs);
    const Watched& Object() const;
    void Register(Waiter* waiter) const { Object().Register(waiter); }
    void Unregister(Waiter* waiter) const { Object().Unregister(waiter); }
    // True when the object is ready; a semaphore's count is taken then.
    bool TakeIfReady() const;

    Event* event_ = nullptr;
    Semaphore* semaphore_ = nullptr;
    const ChangeCounter* counter_ = nullptr;
    uint64_t seen_ = 0;
};

constexpr int kWaitTimedOut = -1;

// Waits until one of the objects is ready, at most timeoutMs (kWaitForever: no
// limit). Returns the index of the object that ended the wait, the first in the
// list winning when several are ready when it looks, or kWaitTimedOut. Only
// the winner is consumed (a semaphore's count taken); the others stay as they
// are.
int WaitForAny(std::initializer_list<Waitable> objects, uint32_t timeoutMs);

// Milliseconds of a monotonic clock (not the time of day).
uint64_t NowMs();

}  // namespace tarvos::platform
