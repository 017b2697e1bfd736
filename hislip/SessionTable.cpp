#include "hislip/SessionTable.h"

#include "hislip/Locking.h"

namespace tarvos::sessions {

namespace {

constexpr uint32_t kSlots = 6;
Channel* g_slots[kSlots] GUARDED_BY(locking::lockGuard) = {};

}  // namespace

uint16_t AllocateSessionId(Channel* channel)
{
    ScopedLock guard(locking::lockGuard);
    for (uint16_t id = 1; id < kSlots; ++id) {
        if (g_slots[id] == nullptr) {
            g_slots[id] = channel;
            return id;
        }
    }
    return kNoSessionId;
}

Channel* TakeSession(uint32_t id)
{
    const uint32_t slot = id & 0xFFFFu;
    ScopedLock guard(locking::lockGuard);
    if (slot == 0 || slot >= kSlots) {
        return nullptr;
    }
    Channel* channel = g_slots[slot];
    g_slots[slot] = nullptr;
    return channel;
}

void Forget(Channel* channel)
{
    ScopedLock guard(locking::lockGuard);
    for (uint32_t id = 1; id < kSlots; ++id) {
        if (g_slots[id] == channel) {
            g_slots[id] = nullptr;
        }
    }
}

}  // namespace tarvos::sessions
