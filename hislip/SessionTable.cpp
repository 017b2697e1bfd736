#include "hislip/SessionTable.h"

#include "common/Check.h"

namespace tarvos {

uint16_t SessionTable::Allocate(Channel* channel, const std::string& clientAddress, uint64_t nowMs)
{
    ScopedLock hold(guard);
    // Sessions whose pairing time ran out stop counting as waiting here, so
    // the bounds below only ever push out sessions that could still pair.
    for (auto& [id, entry] : entries) {
        if (entry.waiting && nowMs >= entry.issuedMs + kPairingTimeMs) {
            entry.waiting = false;
            waitingCount -= 1;
        }
    }
    constexpr uint32_t kIds = kLastSessionId - kFirstSessionId + 1;
    if (entries.size() >= kIds) {
        return kNoSessionId;
    }
    int fromAddress = 0;
    for (const auto& [id, entry] : entries) {
        fromAddress += entry.waiting && entry.clientAddress == clientAddress ? 1 : 0;
    }
    if (fromAddress >= kWaitingPerAddress) {
        DropOldestWaiting(&clientAddress);
    }
    if (waitingCount >= kWaitingLimit) {
        DropOldestWaiting(nullptr);
    }
    uint16_t id = nextId;
    while (entries.count(id) != 0) {
        id = id == kLastSessionId ? kFirstSessionId : static_cast<uint16_t>(id + 1);
    }
    nextId = id == kLastSessionId ? kFirstSessionId : static_cast<uint16_t>(id + 1);
    entries[id] = Entry {channel, clientAddress, nowMs, true};
    waitingCount += 1;
    CheckCounts();
    return id;
}

void SessionTable::DropOldestWaiting(const std::string* clientAddress)
{
    Entry* oldest = nullptr;
    for (auto& [id, entry] : entries) {
        if (entry.waiting && (clientAddress == nullptr || entry.clientAddress == *clientAddress) &&
            (oldest == nullptr || entry.issuedMs < oldest->issuedMs)) {
            oldest = &entry;
        }
    }
    if (oldest != nullptr) {
        oldest->waiting = false;
        waitingCount -= 1;
    }
}

SessionTable::Entry* SessionTable::Waiting(uint32_t id, uint64_t nowMs)
{
    const auto found = entries.find(static_cast<uint16_t>(id & 0xFFFFu));
    if (found == entries.end() || !found->second.waiting || nowMs >= found->second.issuedMs + kPairingTimeMs) {
        return nullptr;
    }
    return &found->second;
}

void SessionTable::Forget(const Channel* channel)
{
    ScopedLock hold(guard);
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->second.channel == channel) {
            waitingCount -= it->second.waiting ? 1 : 0;
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    CheckCounts();
}

int SessionTable::Occupied() const
{
    ScopedLock hold(guard);
    return waitingCount;
}

size_t SessionTable::Held() const
{
    ScopedLock hold(guard);
    return entries.size();
}

void SessionTable::CheckCounts() const
{
    if constexpr (kChecksEnabled) {
        int waiting = 0;
        for (const auto& [id, entry] : entries) {
            waiting += entry.waiting ? 1 : 0;
            TARVOS_CHECK_EMPTY(id >= kFirstSessionId && id <= kLastSessionId ? "" : "a session holds an impossible ID");
        }
        TARVOS_CHECK_EMPTY(waiting == waitingCount ? "" : "the count of sessions waiting for pairing is off");
        TARVOS_CHECK_EMPTY(waitingCount <= kWaitingLimit ? "" : "more sessions wait for pairing than allowed");
    }
}

}  // namespace tarvos
