// Synchronous channels that have their session ID and wait for their partner.
#pragma once

#include <cstdint>
#include <string>

#include "common/CriticalSection.h"
#include "hislip/SessionLinks.h"

namespace tarvos {

class Channel;

class SessionTable {
public:
    static constexpr uint16_t kNoSessionId = 0xFFFF;
    // A session that has not paired this long after its InitializeResponse
    // gives its ID back; it goes on working unpaired.
    static constexpr uint64_t kPairingTimeMs = 10000;

    enum class Pairing { Paired, UnknownId, OtherAddress };

    SessionTable() = default;
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    // Puts the channel, whose client has clientAddress, into the lowest free
    // slot 1 to 5 (a slot whose pairing time has run out counts as free); its
    // number, or 0xFFFF when all are taken. nowMs: when the ID goes out.
    uint16_t Allocate(Channel* channel, const std::string& clientAddress, uint64_t nowMs) EXCLUDES(guard);

    // Takes the channel out of slot id (low 16 bits) when it is there, its
    // pairing time has not run out and its client has clientAddress; link runs
    // with it before anyone else can see the slot again (so the channel can't
    // end unpaired in between). A slot whose client has another address stays;
    // an address that could not be read matches none.
    template <typename Link>
    Pairing Take(uint32_t id, const std::string& clientAddress, uint64_t nowMs, Link link) EXCLUDES(guard)
    {
        ScopedLock hold(guard);
        Slot* slot = Live(id, nowMs);
        if (slot == nullptr) {
            return Pairing::UnknownId;
        }
        if (clientAddress.empty() || slot->clientAddress != clientAddress) {
            return Pairing::OtherAddress;
        }
        link(slot->channel);
        *slot = Slot {};
        return Pairing::Paired;
    }

    // Gives back every slot that holds the channel (it has ended).
    void Forget(const Channel* channel) EXCLUDES(guard);
    // Slots that still name a channel, whether it may still pair or not.
    int Occupied() const EXCLUDES(guard);

private:
    static constexpr uint32_t kSlots = 6;
    struct Slot {
        Channel* channel = nullptr;
        std::string clientAddress;
        uint64_t expiresAtMs = 0;
    };
    // The slot of id when it holds a channel that may still pair; else null.
    Slot* Live(uint32_t id, uint64_t nowMs) REQUIRES(guard);

    // Names the guard in its lock order.
    friend class Channel;
    // Held while a pairing links the two channels (the links' lock inside it).
    mutable CriticalSection guard ACQUIRED_BEFORE(SessionLinks::lock);
    // Slot 0 is never used, so session IDs run from 1 to 5.
    Slot slots[kSlots] GUARDED_BY(guard);
};

}  // namespace tarvos
