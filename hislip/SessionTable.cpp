#include "hislip/SessionTable.h"

namespace tarvos {

uint16_t SessionTable::Allocate(Channel* channel, const std::string& clientAddress, uint64_t nowMs)
{
    ScopedLock hold(guard);
    for (uint16_t id = 1; id < kSlots; ++id) {
        if (Live(id, nowMs) == nullptr) {
            slots[id] = Slot {channel, clientAddress, nowMs + kPairingTimeMs};
            return id;
        }
    }
    return kNoSessionId;
}

SessionTable::Slot* SessionTable::Live(uint32_t id, uint64_t nowMs)
{
    const uint32_t slot = id & 0xFFFFu;
    if (slot == 0 || slot >= kSlots || slots[slot].channel == nullptr || nowMs >= slots[slot].expiresAtMs) {
        return nullptr;
    }
    return &slots[slot];
}

void SessionTable::Forget(const Channel* channel)
{
    ScopedLock hold(guard);
    for (uint32_t id = 1; id < kSlots; ++id) {
        if (slots[id].channel == channel) {
            slots[id] = Slot {};
        }
    }
}

int SessionTable::Occupied() const
{
    ScopedLock hold(guard);
    int occupied = 0;
    for (uint32_t id = 1; id < kSlots; ++id) {
        occupied += slots[id].channel != nullptr ? 1 : 0;
    }
    return occupied;
}

}  // namespace tarvos
