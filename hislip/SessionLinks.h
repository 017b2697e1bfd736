// Which channel is whose partner: the two channels of a session point at each
// other from AsyncInitialize until either ends. A channel that uses its partner
// pins it for that time, so that the partner can't be reset for a new client or
// destroyed under it.
#pragma once

#include <unordered_map>

#include "platform/Mutex.h"

namespace tarvos {

class Channel;

// Not copyable (its lock isn't).
class SessionLinks {
public:
    // Drops any earlier partner of either channel, then points them at each other.
    void Link(Channel* sync, Channel* async) EXCLUDES(lock);
    // Unpairs the channel and waits until no pin is left on it, so that it can
    // be reset for a new client or destroyed.
    void Unlink(const Channel* channel) EXCLUDES(lock);
    // The channel's partner, pinned until Unpin; null when it has none.
    Channel* Pin(const Channel* channel) EXCLUDES(lock);
    void Unpin(const Channel* partner) EXCLUDES(lock);
    // Channels that have a partner or a pin (for the checks of tests).
    size_t Size() const EXCLUDES(lock);

private:
    struct Record {
        Channel* peer = nullptr;
        // Pins that partners hold on this channel.
        int pins = 0;
    };
    void DropLocked(const Channel* channel) REQUIRES(lock);
    // Forgets the record of a channel with neither partner nor pin.
    void TidyLocked(const Channel* channel) REQUIRES(lock);

    // Name the lock in their lock order.
    friend class Channel;
    friend class SessionTable;
    // Held only for one step; nothing else is taken while it is held.
    mutable platform::Mutex lock;
    platform::Condition unpinned;
    std::unordered_map<const Channel*, Record> links GUARDED_BY(lock);
};

}  // namespace tarvos
