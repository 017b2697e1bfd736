// Threads of the system.
#pragma once

#include <cstdint>

namespace tarvos::platform {

// One thread of the system, made by Create and waited for by Join. A copy
// names the same thread; exactly one copy may be joined.
class ThreadHandle {
public:
    using Procedure = void (*)(void* argument);

    // Starts a thread running procedure(argument) with a small stack (a
    // session's worker needs little). False when it can't be made.
    bool Create(Procedure procedure, void* argument);
    // Waits without limit for the thread to end and forgets it. No effect
    // without a thread.
    void Join();

private:
    // The system's name of the thread: wide enough for an identifier or a
    // handle of any system.
    std::uintptr_t native_ = 0;
    bool valid_ = false;
};

}  // namespace tarvos::platform
