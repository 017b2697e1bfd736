// The server-wide lock state that every session shares: who holds the exclusive
// lock, who shares the shared lock, and which releases wait for a message. All
// of it lives behind lockGuard and changes only through the transitions below,
// each of which leaves the invariants (CheckInvariants) holding.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "common/CriticalSection.h"
#include "hislip/Protocol.h"
#include "platform/Sync.h"

namespace tarvos {

constexpr uint32_t kNoReleaseId = 0xFFFFFFFFu;

class LockTable {
public:
    // The session a lock belongs to: its asynchronous channel, only compared.
    using SessionKey = const void*;

    // The locks of one session and the releases that wait for a message.
    struct SessionLocks {
        bool holdsExclusiveLock = false;
        bool holdsSharedLock = false;
        // MessageID that a deferred release waits for; kNoReleaseId: none.
        uint32_t exclusiveReleaseId = kNoReleaseId;
        uint32_t sharedReleaseId = kNoReleaseId;
        // The shared lock's release message has arrived while the session
        // still holds the exclusive lock beside other sharers: the shared lock
        // goes with the exclusive one, so the session never holds the
        // exclusive lock alone beside another session's shared lock.
        bool sharedReleaseDue = false;
    };

    enum class ExclusiveGrant {
        Granted,         // taken now, or kept by a session that had it (its pending release cancelled)
        AlreadyHeld,     // held without a pending release
        SharedByOthers,  // only the shared lock is held, by sessions other than this one
        TimedOut,        // another session kept the exclusive lock for the whole time
        Stopped,         // the stop event ended the wait
    };
    enum class SharedGrant {
        First,            // the first sharer; the key is now the shared lock's key
        Joined,           // one more sharer (or a sharer that had a pending release)
        AlreadyHeld,      // this session holds a lock without a pending release
        OtherKey,         // shared under another key
        ExclusiveLocked,  // nobody shares and the exclusive lock is held
    };
    enum class Released { Nothing, Exclusive, Shared };
    // The outcome of a release, with the number of sharers after it.
    struct Release {
        Released what = Released::Nothing;
        int32_t sharers = 0;
        // A shared lock whose release was due went with the exclusive lock.
        bool dueSharedToo = false;
    };
    // What one message (or a session's end) gave back.
    struct Afterwards {
        bool exclusive = false;
        bool shared = false;
        int32_t sharers = 0;
    };
    struct Snapshot {
        uint32_t lockState = 0;
        int32_t sharedLockClients = 0;
    };

    LockTable() = default;
    LockTable(const LockTable&) = delete;
    LockTable& operator=(const LockTable&) = delete;

    // --- transitions ---
    // Asks for the exclusive lock, waiting at most timeoutMs (0 tries once,
    // platform::kWaitForever waits without limit) for another session to give
    // it back; stop ends the wait, and so does gone (asked every
    // kGoneCheckMs) returning true.
    static constexpr uint32_t kGoneCheckMs = 50;
    ExclusiveGrant RequestExclusive(SessionKey session, uint32_t timeoutMs, platform::Event& stop,
                                    const std::function<bool()>& gone = {}) EXCLUDES(lockGuard);
    // Asks for the shared lock under key; never waits. sharers is set to the
    // number of sharers after the request.
    SharedGrant RequestShared(SessionKey session, const std::string& key, int32_t& sharers) EXCLUDES(lockGuard);
    // Gives back the exclusive lock, or else the shared lock, at once.
    Release ReleaseImmediate(SessionKey session) EXCLUDES(lockGuard);
    // Marks the exclusive lock, or else the shared lock, to be given back when
    // the message messageId arrives; the lock stays held until then.
    Released ReleaseDeferred(SessionKey session, uint32_t messageId) EXCLUDES(lockGuard);
    // The message messageId has arrived: gives back each lock whose release
    // waited for it.
    Afterwards MessageArrived(SessionKey session, uint32_t messageId) EXCLUDES(lockGuard);
    // The session has ended: gives back whatever it holds.
    Afterwards EndSession(SessionKey session) EXCLUDES(lockGuard);

    // --- reading ---
    // Whether a session (nullptr: a channel without partner, which holds
    // nothing) may execute now: the exclusive holder only while the exclusive
    // lock is held, else the sharers only while the shared lock is held, else
    // anyone. When it may not, seen receives the change count this answer
    // belongs to, for waiting on ChangedSince(seen).
    bool MayExecute(SessionKey session, uint64_t& seen) const EXCLUDES(lockGuard);
    // Nobody holds a lock (read without lockGuard, for the path of every
    // message): then anyone may execute and no release waits for a message.
    bool NoneHeld() const { return !held.load(std::memory_order_acquire); }
    // Waitable that becomes ready at the first change after seen.
    platform::Waitable ChangedSince(uint64_t seen) const { return platform::Waitable(changes, seen); }
    Snapshot Read() const EXCLUDES(lockGuard);
    // Sessions that hold a lock or wait to release one.
    size_t SessionCount() const EXCLUDES(lockGuard);
    // Empty when the state is consistent; otherwise what is wrong.
    std::string CheckInvariants() const EXCLUDES(lockGuard);

private:
    bool ExclusiveHeld() const REQUIRES(lockGuard) { return (lockState & kLockStateExclusive) != 0; }
    // Whether a session other than this one shares the shared lock.
    bool SharedByOthers(SessionKey session) const REQUIRES(lockGuard);
    // Whether a session other than this one holds the exclusive lock without
    // sharing the shared lock.
    bool LoneExclusiveHolderBesides(SessionKey session) const REQUIRES(lockGuard);
    // Takes the exclusive lock for the session when nobody holds it and no
    // other session shares the shared lock, unless this one shares it too.
    bool TakeExclusive(SessionKey session) REQUIRES(lockGuard);
    // The same, as a transition of its own.
    bool TryTakeExclusive(SessionKey session) REQUIRES(lockGuard);
    // Hands the exclusive lock to the first waiting request that may take it.
    void HandOverExclusive() REQUIRES(lockGuard);
    // A waiting request ends without the lock unless it was handed the lock
    // meanwhile: Granted then, else outcome.
    ExclusiveGrant LeaveWaiters(SessionKey session, ExclusiveGrant outcome) REQUIRES(lockGuard);
    // Gives back the exclusive lock, and the shared lock with it when its
    // release is due; true when the shared lock went too.
    bool GiveBackExclusiveAndDue(SessionLocks& locks) REQUIRES(lockGuard);
    void GiveBackExclusive(SessionLocks& locks) REQUIRES(lockGuard);
    void GiveBackShared(SessionLocks& locks) REQUIRES(lockGuard);
    // Drops the record of a session that holds nothing any more.
    void Forget(SessionKey session) REQUIRES(lockGuard);
    // Wakes every wait on the state and checks the invariants (checked builds).
    void Changed() REQUIRES(lockGuard);
    std::string Inconsistency() const REQUIRES(lockGuard);

    // Name lockGuard in their lock order.
    friend class Channel;
    friend class Session;
    // Nothing of the server is taken while it is held (the semaphore's, the
    // event's and the counter's own locks are below every lock of the server).
    mutable CriticalSection lockGuard;
    // 0 not locked, 1 shared lock held, 2 exclusive lock held, 3 both held.
    uint32_t lockState GUARDED_BY(lockGuard) = 0;
    // lockState != 0, written under lockGuard whenever lockState changes
    // (MirrorState), read without it by NoneHeld.
    std::atomic<bool> held {false};
    void MirrorState() REQUIRES(lockGuard) { held.store(lockState != 0, std::memory_order_release); }
    // Number of sessions sharing the shared lock.
    int32_t sharedLockClients GUARDED_BY(lockGuard) = 0;
    // Key of the current shared lock; set by the first sharer, never cleared.
    std::string sharedLockKey GUARDED_BY(lockGuard);
    // The exclusive lock itself: taken by its holder, only under lockGuard.
    platform::Semaphore exclusiveLockToken;
    // Set while nobody shares the shared lock; changed only under lockGuard.
    platform::Event sharedLockFreeEvent {true};
    // Bumped on every transition, so that waits look at the state again.
    platform::ChangeCounter changes;
    std::map<SessionKey, SessionLocks> sessions GUARDED_BY(lockGuard);
    // Sessions whose exclusive request waits, in the order they asked. Every
    // transition hands the exclusive lock to the first of them that may take
    // it within the same step, so no gate sees the lock free in between.
    std::deque<SessionKey> exclusiveWaiters GUARDED_BY(lockGuard);
};

}  // namespace tarvos
