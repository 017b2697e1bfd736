// Native threads.
#pragma once

#include <cstdint>

namespace tarvos::platform {

class ThreadHandle {
public:
    using Procedure = void (*)(void* argument);

    // Starts a thread running procedure(argument). False when it can't be made.
    bool Create(Procedure procedure, void* argument);
    // Waits without limit for the thread to end. No effect without a thread.
    void Join();
    bool Valid() const { return valid_; }
    // True when called on this thread itself.
    bool IsCurrent() const;

private:
    // The system's thread identity or handle.
    std::uintptr_t native_ = 0;
    bool valid_ = false;
};

// Sleeps the calling thread.
void SleepMs(unsigned ms);

}  // namespace tarvos::platform
