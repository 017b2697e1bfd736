#include "hislip/LockTable.h"

#include "common/Check.h"

namespace tarvos {

LockTable::ExclusiveGrant LockTable::RequestExclusive(SessionKey session, uint32_t timeoutMs, platform::Event& stop,
                                                      const std::function<bool()>& gone)
{
    uint64_t seen;
    {
        ScopedLock guard(lockGuard);
        const auto found = sessions.find(session);
        if (found != sessions.end() && found->second.holdsExclusiveLock) {
            if (found->second.exclusiveReleaseId == kNoReleaseId) {
                return ExclusiveGrant::AlreadyHeld;
            }
            // Asked for again before the deferred release took effect: the
            // session keeps the lock and the release is off.
            found->second.exclusiveReleaseId = kNoReleaseId;
            Changed();
            return ExclusiveGrant::Granted;
        }
        const bool shares = found != sessions.end() && found->second.holdsSharedLock;
        if (lockState == kLockStateShared && !shares) {
            return ExclusiveGrant::SharedByOthers;
        }
        if (TryTakeExclusive(session)) {
            return ExclusiveGrant::Granted;
        }
        if (timeoutMs == 0) {
            return ExclusiveGrant::TimedOut;
        }
        // From now on the transitions of other sessions hand the lock over.
        exclusiveWaiters.push_back(session);
        seen = changes.Value();
    }
    const bool forever = timeoutMs == platform::kWaitForever;
    const uint64_t deadline = platform::NowMs() + timeoutMs;
    for (;;) {
        const uint64_t now = platform::NowMs();
        if (!forever && now >= deadline) {
            ScopedLock guard(lockGuard);
            return LeaveWaiters(session, ExclusiveGrant::TimedOut);
        }
        uint32_t left = forever ? platform::kWaitForever : static_cast<uint32_t>(deadline - now);
        if (gone && left > kGoneCheckMs) {
            left = kGoneCheckMs;
        }
        const int woken = platform::WaitForAny({stop, ChangedSince(seen)}, left);
        const bool stopped = woken == 0 || (woken == platform::kWaitTimedOut && gone && gone());
        ScopedLock guard(lockGuard);
        const auto found = sessions.find(session);
        if (found != sessions.end() && found->second.holdsExclusiveLock) {
            return ExclusiveGrant::Granted;
        }
        if (stopped) {
            return LeaveWaiters(session, ExclusiveGrant::Stopped);
        }
        seen = changes.Value();
    }
}

LockTable::ExclusiveGrant LockTable::LeaveWaiters(SessionKey session, ExclusiveGrant outcome)
{
    const auto found = sessions.find(session);
    if (found != sessions.end() && found->second.holdsExclusiveLock) {
        return ExclusiveGrant::Granted;
    }
    for (auto it = exclusiveWaiters.begin(); it != exclusiveWaiters.end(); ++it) {
        if (*it == session) {
            exclusiveWaiters.erase(it);
            break;
        }
    }
    return outcome;
}

void LockTable::HandOverExclusive()
{
    if (ExclusiveHeld()) {
        return;
    }
    for (auto it = exclusiveWaiters.begin(); it != exclusiveWaiters.end(); ++it) {
        if (TakeExclusive(*it)) {
            exclusiveWaiters.erase(it);
            return;
        }
    }
}

bool LockTable::SharedByOthers(SessionKey session) const
{
    const auto found = sessions.find(session);
    const int32_t own = found != sessions.end() && found->second.holdsSharedLock ? 1 : 0;
    return sharedLockClients > own;
}

bool LockTable::LoneExclusiveHolderBesides(SessionKey session) const
{
    if (!ExclusiveHeld()) {
        return false;
    }
    for (const auto& [key, locks] : sessions) {
        if (key != session && locks.holdsExclusiveLock && !locks.holdsSharedLock) {
            return true;
        }
    }
    return false;
}

bool LockTable::TryTakeExclusive(SessionKey session)
{
    if (!TakeExclusive(session)) {
        return false;
    }
    Changed();
    return true;
}

bool LockTable::TakeExclusive(SessionKey session)
{
    if (ExclusiveHeld()) {
        return false;
    }
    // A session that does not share never holds the exclusive lock beside
    // another session's shared lock: it waits until the sharers have gone.
    const auto found = sessions.find(session);
    const bool shares = found != sessions.end() && found->second.holdsSharedLock;
    if (!shares && sharedLockClients > 0) {
        return false;
    }
    const bool taken = exclusiveLockToken.Acquire(0);
    TARVOS_CHECK_EMPTY(taken ? "" : "the exclusive lock token is taken while nobody holds the lock");
    (void)taken;
    sessions[session].holdsExclusiveLock = true;
    lockState |= kLockStateExclusive;
    MirrorState();
    return true;
}

LockTable::SharedGrant LockTable::RequestShared(SessionKey session, const std::string& key, int32_t& sharers)
{
    ScopedLock guard(lockGuard);
    sharers = sharedLockClients;
    const auto found = sessions.find(session);
    if (found != sessions.end()) {
        const SessionLocks& own = found->second;
        if ((own.holdsSharedLock && own.sharedReleaseId == kNoReleaseId) ||
            (own.holdsExclusiveLock && own.exclusiveReleaseId == kNoReleaseId)) {
            return SharedGrant::AlreadyHeld;
        }
    }
    if (sharedLockClients > 0) {
        if (key != sharedLockKey) {
            return SharedGrant::OtherKey;
        }
        // The key alone does not let a session in beside an exclusive holder
        // that does not share.
        if (LoneExclusiveHolderBesides(session)) {
            return SharedGrant::ExclusiveLocked;
        }
        SessionLocks& own = sessions[session];
        if (own.holdsSharedLock) {
            // A sharer whose release was pending shares on, counted once.
            own.sharedReleaseId = kNoReleaseId;
            own.sharedReleaseDue = false;
        } else {
            own.holdsSharedLock = true;
            sharedLockClients += 1;
        }
        sharers = sharedLockClients;
        Changed();
        return SharedGrant::Joined;
    }
    if (ExclusiveHeld()) {
        return SharedGrant::ExclusiveLocked;
    }
    sharedLockKey = key;
    sharedLockClients = 1;
    sessions[session].holdsSharedLock = true;
    lockState |= kLockStateShared;
    MirrorState();
    sharedLockFreeEvent.Reset();
    sharers = sharedLockClients;
    Changed();
    return SharedGrant::First;
}

void LockTable::GiveBackExclusive(SessionLocks& locks)
{
    locks.holdsExclusiveLock = false;
    locks.exclusiveReleaseId = kNoReleaseId;
    lockState &= ~kLockStateExclusive;
    MirrorState();
    exclusiveLockToken.Release();
}

bool LockTable::GiveBackExclusiveAndDue(SessionLocks& locks)
{
    GiveBackExclusive(locks);
    if (!locks.sharedReleaseDue) {
        return false;
    }
    GiveBackShared(locks);
    return true;
}

void LockTable::GiveBackShared(SessionLocks& locks)
{
    locks.holdsSharedLock = false;
    locks.sharedReleaseId = kNoReleaseId;
    locks.sharedReleaseDue = false;
    sharedLockClients -= 1;
    if (sharedLockClients == 0) {
        lockState &= ~kLockStateShared;
        MirrorState();
        sharedLockFreeEvent.Set();
    }
}

void LockTable::Forget(SessionKey session)
{
    const auto found = sessions.find(session);
    if (found != sessions.end() && !found->second.holdsExclusiveLock && !found->second.holdsSharedLock) {
        sessions.erase(found);
    }
}

LockTable::Release LockTable::ReleaseImmediate(SessionKey session)
{
    ScopedLock guard(lockGuard);
    Release result;
    const auto found = sessions.find(session);
    if (found != sessions.end()) {
        if (found->second.holdsExclusiveLock) {
            result.dueSharedToo = GiveBackExclusiveAndDue(found->second);
            result.what = Released::Exclusive;
        } else if (found->second.holdsSharedLock) {
            GiveBackShared(found->second);
            result.what = Released::Shared;
        }
        Forget(session);
        Changed();
    }
    result.sharers = sharedLockClients;
    return result;
}

LockTable::Released LockTable::ReleaseDeferred(SessionKey session, uint32_t messageId)
{
    ScopedLock guard(lockGuard);
    const auto found = sessions.find(session);
    if (found == sessions.end()) {
        return Released::Nothing;
    }
    SessionLocks& own = found->second;
    Released what = Released::Nothing;
    if (own.holdsExclusiveLock && own.exclusiveReleaseId == kNoReleaseId) {
        own.exclusiveReleaseId = messageId;
        what = Released::Exclusive;
    } else if (own.holdsSharedLock && own.sharedReleaseId == kNoReleaseId) {
        own.sharedReleaseId = messageId;
        what = Released::Shared;
    }
    if (what != Released::Nothing) {
        Changed();
    }
    return what;
}

LockTable::Afterwards LockTable::MessageArrived(SessionKey session, uint32_t messageId)
{
    // With nothing held no release can wait for this message.
    if (NoneHeld()) {
        return {};
    }
    ScopedLock guard(lockGuard);
    Afterwards result;
    const auto found = sessions.find(session);
    if (found != sessions.end()) {
        SessionLocks& own = found->second;
        bool changed = false;
        if (own.holdsExclusiveLock && own.exclusiveReleaseId == messageId) {
            result.shared = GiveBackExclusiveAndDue(own);
            result.exclusive = true;
        }
        if (own.holdsSharedLock && own.sharedReleaseId == messageId) {
            if (own.holdsExclusiveLock && sharedLockClients > 1) {
                // Giving the shared lock back now would leave this session
                // holding the exclusive lock alone beside other sharers.
                changed = !own.sharedReleaseDue;
                own.sharedReleaseDue = true;
            } else {
                GiveBackShared(own);
                result.shared = true;
            }
        }
        if (result.exclusive || result.shared || changed) {
            Forget(session);
            Changed();
        }
    }
    result.sharers = sharedLockClients;
    return result;
}

LockTable::Afterwards LockTable::EndSession(SessionKey session)
{
    ScopedLock guard(lockGuard);
    Afterwards result;
    const auto found = sessions.find(session);
    if (found != sessions.end()) {
        if (found->second.holdsExclusiveLock) {
            GiveBackExclusive(found->second);
            result.exclusive = true;
        }
        if (found->second.holdsSharedLock) {
            GiveBackShared(found->second);
            result.shared = true;
        }
        sessions.erase(found);
        Changed();
    }
    // A request of an ended session waits for nothing any more.
    LeaveWaiters(session, ExclusiveGrant::Stopped);
    result.sharers = sharedLockClients;
    return result;
}

bool LockTable::MayExecute(SessionKey session, uint64_t& seen) const
{
    ScopedLock guard(lockGuard);
    if (lockState == 0) {
        return true;
    }
    const auto found = session != nullptr ? sessions.find(session) : sessions.end();
    if (found != sessions.end() &&
        (ExclusiveHeld() ? found->second.holdsExclusiveLock : found->second.holdsSharedLock)) {
        return true;
    }
    seen = changes.Value();
    return false;
}

LockTable::Snapshot LockTable::Read() const
{
    ScopedLock guard(lockGuard);
    return Snapshot {lockState, sharedLockClients};
}

size_t LockTable::SessionCount() const
{
    ScopedLock guard(lockGuard);
    return sessions.size();
}

std::string LockTable::CheckInvariants() const
{
    ScopedLock guard(lockGuard);
    return Inconsistency();
}

void LockTable::Changed()
{
    HandOverExclusive();
    changes.Bump();
    TARVOS_CHECK_EMPTY(Inconsistency());
}

std::string LockTable::Inconsistency() const
{
    int32_t sharers = 0;
    int32_t exclusiveHolders = 0;
    for (const auto& [session, locks] : sessions) {
        if (!locks.holdsExclusiveLock && !locks.holdsSharedLock) {
            return "a session that holds no lock is still listed";
        }
        if (locks.exclusiveReleaseId != kNoReleaseId && !locks.holdsExclusiveLock) {
            return "a release of an exclusive lock that is not held is pending";
        }
        if (locks.sharedReleaseId != kNoReleaseId && !locks.holdsSharedLock) {
            return "a release of a shared lock that is not held is pending";
        }
        if (locks.sharedReleaseDue && (!locks.holdsExclusiveLock || locks.sharedReleaseId == kNoReleaseId)) {
            return "a shared lock waits for an exclusive lock that is not held to go";
        }
        if (locks.holdsExclusiveLock && !locks.holdsSharedLock && sharedLockClients > 0) {
            return "an exclusive holder that does not share coexists with another session's shared lock";
        }
        sharers += locks.holdsSharedLock ? 1 : 0;
        exclusiveHolders += locks.holdsExclusiveLock ? 1 : 0;
    }
    if (sharedLockClients != sharers) {
        return "sharedLockClients is " + std::to_string(sharedLockClients) + " but " + std::to_string(sharers) +
               " sessions share the shared lock";
    }
    if (exclusiveHolders > 1) {
        return std::to_string(exclusiveHolders) + " sessions hold the exclusive lock";
    }
    const uint32_t expected =
        (exclusiveHolders == 1 ? kLockStateExclusive : 0u) | (sharers > 0 ? kLockStateShared : 0u);
    if (lockState != expected) {
        return "lockState is " + std::to_string(lockState) + " but the sessions hold " + std::to_string(expected);
    }
    if (held.load(std::memory_order_relaxed) != (lockState != 0)) {
        return "the mirror of lockState read by the path of every message disagrees with it";
    }
    if (exclusiveLockToken.Available() == (exclusiveHolders == 1)) {
        return exclusiveHolders == 1 ? "the exclusive lock is held but its token is free"
                                     : "nobody holds the exclusive lock but its token is taken";
    }
    for (const SessionKey waiter : exclusiveWaiters) {
        const auto found = sessions.find(waiter);
        const bool holds = found != sessions.end() && found->second.holdsExclusiveLock;
        const bool shares = found != sessions.end() && found->second.holdsSharedLock;
        if (holds) {
            return "a session that holds the exclusive lock still waits for it";
        }
        if (exclusiveHolders == 0 && (sharers == 0 || shares)) {
            return "the exclusive lock is free but a waiting request that may take it was not handed it";
        }
    }
    if (sharedLockFreeEvent.IsSet() != (sharers == 0)) {
        return sharers == 0 ? "nobody shares the shared lock but it is not signalled free"
                            : "the shared lock is signalled free while it is shared";
    }
    return "";
}

}  // namespace tarvos
