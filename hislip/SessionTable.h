// Session IDs: which synchronous channel holds which ID, and which of them
// still wait for their asynchronous channel.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/CriticalSection.h"

namespace tarvos {

class Channel;

class SessionTable {
public:
    static constexpr uint16_t kNoSessionId = 0xFFFF;
    static constexpr uint16_t kFirstSessionId = 1;
    static constexpr uint16_t kLastSessionId = 0xFFFE;
    // A session that has not paired this long after its InitializeResponse
    // can't pair any more; it goes on working unpaired.
    static constexpr uint64_t kPairingTimeMs = 10000;
    // How many sessions of one client address may wait for pairing at once;
    // a further one makes the oldest of them unpairable.
    static constexpr int kWaitingPerAddress = 64;
    // How many sessions may wait for pairing at once over all addresses; a
    // further one makes the oldest of them unpairable.
    static constexpr int kWaitingLimit = 1024;

    enum class Pairing { Paired, UnknownId, OtherAddress };

    SessionTable() = default;
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    // Gives the channel, whose client has clientAddress, a session ID that no
    // live session holds, the IDs taken in turn from 1 to 0xFFFE so that an ID
    // comes back only after all the others; 0xFFFF when every ID is held.
    // The session waits for pairing until kPairingTimeMs after nowMs.
    uint16_t Allocate(Channel* channel, const std::string& clientAddress, uint64_t nowMs) EXCLUDES(guard);

    // Pairs the session of id (low 16 bits) when it still waits for pairing,
    // its pairing time has not run out and its client has clientAddress; link
    // runs with it before anyone else can see the entry again (so the channel
    // can't end unpaired in between). The ID stays held until the session
    // ends. A session whose client has another address keeps waiting; an
    // address that could not be read matches none.
    template <typename Link>
    Pairing Take(uint32_t id, const std::string& clientAddress, uint64_t nowMs, Link link) EXCLUDES(guard)
    {
        ScopedLock hold(guard);
        Entry* entry = Waiting(id, nowMs);
        if (entry == nullptr) {
            return Pairing::UnknownId;
        }
        if (clientAddress.empty() || entry->clientAddress != clientAddress) {
            return Pairing::OtherAddress;
        }
        link(entry->channel);
        entry->waiting = false;
        waitingCount -= 1;
        CheckCounts();
        return Pairing::Paired;
    }

    // Gives back the ID of the channel's session (it has ended).
    void Forget(const Channel* channel) EXCLUDES(guard);
    // Sessions that still wait for pairing (their time not yet looked at).
    int Occupied() const EXCLUDES(guard);
    // Sessions that hold an ID, paired or not.
    size_t Held() const EXCLUDES(guard);

private:
    struct Entry {
        Channel* channel = nullptr;
        std::string clientAddress;
        uint64_t issuedMs = 0;
        // Still waiting for its asynchronous channel (may pair until its time
        // is up).
        bool waiting = true;
    };
    // The entry of id when its session may still pair; else null.
    Entry* Waiting(uint32_t id, uint64_t nowMs) REQUIRES(guard);
    // Makes the oldest waiting session unpairable, among those of
    // clientAddress, or among all when clientAddress is null.
    void DropOldestWaiting(const std::string* clientAddress) REQUIRES(guard);
    // Counts of waiting sessions agree with the entries (checked builds).
    void CheckCounts() const REQUIRES(guard);

    // Name the guard in their lock order.
    friend class Channel;
    friend class Session;
    // Held while a pairing joins the asynchronous channel to the session (the
    // session's lock inside it).
    mutable CriticalSection guard;
    // Every session that holds an ID, by ID.
    std::map<uint16_t, Entry> entries GUARDED_BY(guard);
    // Sessions of entries that are waiting.
    int waitingCount GUARDED_BY(guard) = 0;
    // Where the search for the next free ID begins.
    uint16_t nextId GUARDED_BY(guard) = kFirstSessionId;
};

}  // namespace tarvos
