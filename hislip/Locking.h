// The server-wide lock state that every session shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/CriticalSection.h"
#include "platform/Sync.h"

namespace tarvos::locking {

// Guards the lock state below while it changes, and the session table.
extern CriticalSection lockGuard;
// 0 not locked, 1 shared lock held, 2 exclusive lock held, 3 both held; changed
// under lockGuard, read without it by the console.
extern std::atomic<uint32_t> lockState;
// Number of sessions sharing the shared lock; changed under lockGuard.
extern std::atomic<int32_t> sharedLockClients;
// Key of the current shared lock; set by the first sharer, never cleared.
extern std::string sharedLockKey GUARDED_BY(lockGuard);
// The exclusive lock itself: the session that took the count holds it.
extern platform::Semaphore exclusiveLockToken;
// Set while nobody shares the shared lock.
extern platform::Event sharedLockFreeEvent;

uint32_t LockStateForConsole();
int32_t SharedClientsForConsole();

}  // namespace tarvos::locking
