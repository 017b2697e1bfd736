// Re-entrant critical section and its scoped guard.
#pragma once

#include <mutex>

#include "platform/Mutex.h"

namespace tarvos {

// A re-entrant lock: the thread that holds it may enter it again. The code
// never relies on that (nested paths take ...Locked() variants that REQUIRE the
// lock, so the analysis sees them); it is a safety net, not a design.
using CriticalSection = platform::BasicMutex<std::recursive_mutex>;
// Enters a critical section when made and leaves it when it goes out of scope,
// also when an exception passes.
using ScopedLock = platform::BasicLock<std::recursive_mutex>;

}  // namespace tarvos
