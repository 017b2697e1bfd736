// Manual-reset events, the count-1 semaphore and the waits on them.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace tarvos::platform {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// A manual-reset event: stays signalled from Set() until Reset().
class Event {
public:
    explicit Event(bool signalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until the event is signalled, at most timeoutMs (kWaitForever: no
    // limit). True when it was signalled.
    bool Wait(uint32_t timeoutMs);

private:
    friend class SyncAccess;
    bool signalled_;
};

// A semaphore with maximum count 1; starts with count 1.
class Semaphore {
public:
    Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Takes the count, waiting at most timeoutMs (0 tries once, kWaitForever
    // waits without limit). True when it was taken.
    bool Acquire(uint32_t timeoutMs);
    // Gives the count back (a count already at its maximum stays there).
    void Release();
    // True while the count could be taken (nothing is taken).
    bool Available() const;

private:
    friend class SyncAccess;
    int count_;
};

// A counter that waits can watch: bumped on every change of what it stands
// for, ready for a waiter once it differs from the value that waiter saw.
class ChangeCounter {
public:
    ChangeCounter() = default;
    ChangeCounter(const ChangeCounter&) = delete;
    ChangeCounter& operator=(const ChangeCounter&) = delete;

    void Bump();
    uint64_t Value() const;

private:
    friend class SyncAccess;
    uint64_t value_ = 0;
};

// One object of a combined wait: an event (ready while signalled), the
// semaphore (ready while its count can be taken; the wait then takes it) or a
// change counter (ready once it no longer holds the value seen).
struct Waitable {
    Waitable(Event& e) : event(&e) {}          // NOLINT(google-explicit-constructor)
    Waitable(Semaphore& s) : semaphore(&s) {}  // NOLINT(google-explicit-constructor)
    Waitable(const ChangeCounter& c, uint64_t seenValue) : counter(&c), seen(seenValue) {}
    Event* event = nullptr;
    Semaphore* semaphore = nullptr;
    const ChangeCounter* counter = nullptr;
    uint64_t seen = 0;
};

constexpr int kWaitTimedOut = -1;

// Waits until one of the objects is ready, at most timeoutMs (kWaitForever: no
// limit). Returns the index of the object that ended the wait, the first in the
// list winning when several are ready, or kWaitTimedOut.
int WaitForAny(std::initializer_list<Waitable> objects, uint32_t timeoutMs);

// Milliseconds of a monotonic clock (not the time of day).
uint64_t NowMs();

// Waits without limit until either event is signalled; returns 0 for the first,
// 1 for the second (the first wins when both are).
inline int WaitForEither(Event& first, Event& second)
{
    return WaitForAny({first, second}, kWaitForever);
}
// Waits without limit until the event is signalled or the semaphore's count can
// be taken; returns 0 when the event ended the wait (it wins when both are
// ready), 1 when the count was taken.
inline int WaitForEither(Event& first, Semaphore& second)
{
    return WaitForAny({first, second}, kWaitForever);
}

}  // namespace tarvos::platform
