// Re-entrant critical section and its scoped guard.
#pragma once

#include <mutex>

#include "common/ThreadSafety.h"

namespace tarvos {

// A re-entrant lock: the thread that holds it may enter it again.
class CAPABILITY("mutex") CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() ACQUIRE() { mutex_.lock(); }
    void Leave() RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Enters a critical section when made and leaves it when it goes out of scope,
// also when an exception passes.
class SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) ACQUIRE(section) : section_(section) { section_.Enter(); }
    ~ScopedLock() RELEASE() { section_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& section_;
};

}  // namespace tarvos
