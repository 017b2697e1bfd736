// Locks that the thread-safety analysis knows, their scoped guard, and a
// condition to wait on under a plain lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/ThreadSafety.h"

namespace tarvos::platform {

// A lock over a standard mutex type: std::mutex makes a plain lock (Mutex),
// std::recursive_mutex a re-entrant one.
template <typename Native>
class CAPABILITY("mutex") BasicMutex {
public:
    BasicMutex() = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void Lock() ACQUIRE() { native_.lock(); }
    void Unlock() RELEASE() { native_.unlock(); }
    Native& NativeHandle() { return native_; }

private:
    Native native_;
};

// Holds a lock from construction to destruction, also when an exception passes.
template <typename Native>
class SCOPED_CAPABILITY BasicLock {
public:
    explicit BasicLock(BasicMutex<Native>& mutex) ACQUIRE(mutex) : lock_(mutex.NativeHandle()) {}
    ~BasicLock() RELEASE() {}
    BasicLock(const BasicLock&) = delete;
    BasicLock& operator=(const BasicLock&) = delete;

    std::unique_lock<Native>& NativeLock() { return lock_; }

private:
    std::unique_lock<Native> lock_;
};

// Taking a Mutex that the calling thread already holds deadlocks: code that
// needs the lock in a nested call takes a ...Locked() variant that REQUIRES it.
using Mutex = BasicMutex<std::mutex>;
using MutexLock = BasicLock<std::mutex>;

// Threads wait here, under a held MutexLock, until another thread that changed
// what they wait for notifies them.
class Condition {
public:
    // Releases the lock, waits for a notification (or a spurious wake-up) and
    // takes the lock again: callers test what they wait for in a loop around it.
    void Wait(MutexLock& held) { changed_.wait(held.NativeLock()); }
    // The same for at most timeoutMs milliseconds: false when the time ran out
    // without a notification.
    bool WaitFor(MutexLock& held, uint64_t timeoutMs)
    {
        return changed_.wait_for(held.NativeLock(), std::chrono::milliseconds(timeoutMs)) ==
               std::cv_status::no_timeout;
    }
    void NotifyAll() { changed_.notify_all(); }

private:
    std::condition_variable changed_;
};

}  // namespace tarvos::platform
