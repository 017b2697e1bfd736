// What the two channels of one session share: the MessageIDs, RMT-delivered,
// MAV and the copy of the instrument's status byte, the mode, the service
// request that is due, the armed test request and the pace; and which
// channels are its members. Made by the synchronous channel's Initialize,
// joined by the asynchronous channel at pairing, and kept alive by both
// (shared ownership) until both have left. Every field is guarded by one lock;
// each operation leaves the invariants (Inconsistency) holding.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "hislip/ErrorQueueAccess.h"
#include "hislip/LockTable.h"
#include "hislip/Protocol.h"
#include "hislip/SessionTable.h"
#include "hislip/TestFeatures.h"
#include "log/Log.h"
#include "platform/Mutex.h"

namespace tarvos {

class Channel;

class Session {
public:
    enum class Role : uint8_t { Sync = 0, Async = 1 };

    // log: where its lines go; queue: the instrument's error queue, which
    // gets the Interrupted entry and whose emptiness status queries report;
    // live: the server's count of live sessions, kept while this one lives.
    Session(LogState* log, ErrorQueueAccess& queue, std::atomic<int>& live);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // --- members ---
    // The channel takes its role in the session (and follows its pace from now on).
    void Join(Role role, Channel* channel) EXCLUDES(lock);
    // The channel of role leaves; waits until no pin is left on it, so that it
    // can be reset for a new client or destroyed.
    void Leave(Role role) EXCLUDES(lock);
    // The member of role pinned until Unpin (it can't leave meanwhile); null
    // when the role has no member.
    Channel* Pin(Role role) EXCLUDES(lock);
    void Unpin(Role role) EXCLUDES(lock);

    // --- status, MAV and service requests ---
    // Stores the instrument's status byte and enable mask; a service request
    // becomes due when the enabled part changes and none is outstanding.
    void SetStatus(uint8_t status, uint8_t enable) EXCLUDES(lock);
    // The due service request, taken: true and its status byte when one is due.
    bool TakeDueRequest(uint8_t& status) EXCLUDES(lock);
    // Sets bit in the status copy and counts a request as outstanding; the
    // status byte that the AsyncServiceRequest carries.
    uint8_t RaiseRequestBit(uint8_t bit) EXCLUDES(lock);
    // The status byte that answers an AsyncStatusQuery for messageId (with
    // RMT-delivered or not), with MAV, RMT-delivered, the armed bit and the
    // outstanding request updated as the query settles them.
    uint8_t AnswerStatusQuery(uint32_t messageId, bool rmtDelivered) EXCLUDES(lock);
    // The control code that tells the mode of the session: kOverlapped or 0.
    uint8_t ModeFlags() EXCLUDES(lock);

    // --- program messages and responses ---
    struct Arrival {
        // The message met a response it made late: the Interrupted pair is due.
        bool interrupted = false;
        // What a deferred release waiting for this message gave back.
        LockTable::Afterwards released;
        // A service request is due (TakeDueRequest takes it).
        bool requestDue = false;
    };
    // A Data, DataEnd or Trigger with messageId arrived; discarding: the
    // synchronous channel throws input away (device clear), read under the
    // session's lock, where a clear sets it. A release of the
    // session's locks that waited for this MessageID takes effect at once.
    Arrival MessageArrived(uint32_t messageId, bool rmtDelivered, const std::atomic<bool>& discarding,
                           LockTable& locks) EXCLUDES(lock);

    enum class Booked : uint8_t {
        // Numbered and counted: the response leaves.
        Sent,
        // Input is thrown away (device clear): nothing leaves.
        Discarded,
        // New input came first: the response is late and never leaves.
        Late,
    };
    struct Booking {
        Booked outcome = Booked::Sent;
        // The MessageID of the first response message.
        uint32_t firstId = 0;
        // Each further response message counts its own MessageID (overlapped).
        bool countIds = false;
        // A service request is due (TakeDueRequest takes it).
        bool requestDue = false;
    };
    // Books the final part of the response to answeredId. A late one (only
    // synchronized mode knows late responses) queues the Interrupted entry
    // instead. discarding and late are asked under the
    // session's lock, so that neither a clear nor the late check can slip
    // between them and the booking.
    template <typename Discarding, typename LateCheck>
    Booking BookFinal(uint32_t answeredId, Discarding discarding, LateCheck late) EXCLUDES(lock);
    // Books parts non-final response messages (lateCheck: new input makes them
    // late); one log line for each part that never leaves.
    template <typename Discarding, typename LateCheck>
    Booking BookParts(uint32_t parts, uint32_t answeredId, bool lateCheck, Discarding discarding, LateCheck late)
        EXCLUDES(lock);
    // A test fault: the Interrupted entry and status of a late response, now.
    void Interrupt() EXCLUDES(lock);

    // --- device clear ---
    // A clear begins: whileLocked marks the synchronous channel's input as
    // thrown away, under the session's lock with the state the clear resets.
    template <typename WhileLocked>
    void BeginClear(WhileLocked whileLocked) EXCLUDES(lock);
    // The clear completes, in overlapped mode or not: MessageIDs, MAV and
    // RMT-delivered start afresh; whileLocked lets the synchronous channel
    // take input again. The mode's control code.
    template <typename WhileLocked>
    uint8_t CompleteClear(bool overlappedMode, WhileLocked whileLocked) EXCLUDES(lock);

    // --- locks ---
    struct ReleaseDecision {
        // The release names the last MessageID received: it takes effect now.
        bool immediate = false;
        LockTable::Release now;
        LockTable::Released deferred = LockTable::Released::Nothing;
    };
    // Decides an AsyncLock release for messageId against the MessageIDs the
    // synchronous channel has received, atomically with that bookkeeping.
    ReleaseDecision DecideRelease(uint32_t messageId, LockTable& locks, LockTable::SessionKey key) EXCLUDES(lock);

    // --- test features ---
    // Arms a service request when the session has its asynchronous channel:
    // it leaves before that channel's next answer.
    void ArmServiceRequest() EXCLUDES(lock);
    bool TakeArmedRequest() { return serviceRequestArmed.exchange(false); }
    // The pace of both channels (TestFeatures::kNoPace: none); members follow it.
    void SetPace(uint32_t us) EXCLUDES(lock);
    uint32_t Pace() const { return pace.load(std::memory_order_relaxed); }

    // The invariants, for tests: empty when they hold, else what is wrong.
    std::string CheckInvariants() const EXCLUDES(lock);

private:
    void SetStatusLocked(uint8_t status, uint8_t enable) REQUIRES(lock);
    void SetMavLocked(bool flag) REQUIRES(lock);
    void QueueInterruptedLocked() REQUIRES(lock);
    uint32_t TakeResponseIds(uint32_t parts, uint32_t answeredId) REQUIRES(lock);
    // A service request decided under the lock leaves only once the lock is
    // left (TakeDueRequest), so that no send ever holds it.
    void DueRequest(uint8_t status) REQUIRES(lock)
    {
        serviceRequestDue = true;
        dueRequestStatus = status;
    }
    std::string Inconsistency() const REQUIRES(lock);
    // Name the lock in their lock order.
    friend class Channel;
    friend class Connection;
    // Aborts when the invariants fail (checked builds).
    void Check() const REQUIRES(lock);

    LogState* const log;
    ErrorQueueAccess& errorQueue;
    std::atomic<int>& liveSessions;

    // The session's lock. The engine's lock order, outermost first: a
    // connection's lock, the session table's guard, this lock, the lock
    // table's guard, a channel's send lock, the log lock.
    mutable platform::Mutex lock ACQUIRED_AFTER(SessionTable::guard)
        ACQUIRED_BEFORE(LockTable::lockGuard, LogState::logLock);
    platform::Condition unpinned;
    Channel* members[2] GUARDED_BY(lock) = {nullptr, nullptr};
    // Pins on each role's member; a member leaves only once they are gone.
    int pins[2] GUARDED_BY(lock) = {0, 0};
    // Leave calls of each role waiting for the last pin to go.
    int leaving[2] GUARDED_BY(lock) = {0, 0};

    uint32_t lastMessageId GUARDED_BY(lock) = kMessageIdBeforeFirst;
    uint32_t lastResponseId GUARDED_BY(lock) = kMessageIdBeforeFirst;
    bool expectRmtDelivered GUARDED_BY(lock) = false;
    bool overlapped GUARDED_BY(lock) = false;
    bool responseSent GUARDED_BY(lock) = false;
    uint8_t statusByte GUARDED_BY(lock) = 0;
    uint8_t srEnable GUARDED_BY(lock) = 0;
    bool mav GUARDED_BY(lock) = false;
    bool rqsPending GUARDED_BY(lock) = false;
    bool serviceRequestDue GUARDED_BY(lock) = false;
    uint8_t dueRequestStatus GUARDED_BY(lock) = 0;

    std::atomic<bool> serviceRequestArmed {false};
    std::atomic<uint32_t> pace {TestFeatures::kNoPace};
};

template <typename Discarding, typename LateCheck>
Session::Booking Session::BookFinal(uint32_t answeredId, Discarding discarding, LateCheck late)
{
    platform::MutexLock guard(lock);
    Booking booking;
    if (discarding()) {
        LogVerbose(log, "INFO: message discarded");
        booking.outcome = Booked::Discarded;
        return booking;
    }
    if (!overlapped && late()) {
        LogVerbose(log, "INFO: Parser detects Interrupted Error, ExpectRMTdelivered = false");
        QueueInterruptedLocked();
        booking.outcome = Booked::Late;
        booking.firstId = answeredId;
    } else {
        expectRmtDelivered = true;
        LogVerbose(log, "INFO: ExpectRMTdelivered = true");
        SetMavLocked(true);
        responseSent = true;
        booking.firstId = TakeResponseIds(1, answeredId);
    }
    booking.requestDue = serviceRequestDue;
    Check();
    return booking;
}

template <typename Discarding, typename LateCheck>
Session::Booking Session::BookParts(uint32_t parts, uint32_t answeredId, bool lateCheck, Discarding discarding,
                                    LateCheck late)
{
    platform::MutexLock guard(lock);
    Booking booking;
    if (discarding()) {
        for (uint32_t i = 0; i < parts; ++i) {
            LogVerbose(log, "INFO: message discarded");
        }
        booking.outcome = Booked::Discarded;
        return booking;
    }
    if (lateCheck && !overlapped && late()) {
        for (uint32_t i = 0; i < parts; ++i) {
            LogVerbose(log, "INFO: abort output due to Interrupted Error");
        }
        booking.outcome = Booked::Late;
        return booking;
    }
    responseSent = true;
    SetMavLocked(true);
    booking.countIds = overlapped;
    booking.firstId = TakeResponseIds(parts, answeredId);
    booking.requestDue = serviceRequestDue;
    Check();
    return booking;
}

template <typename WhileLocked>
void Session::BeginClear(WhileLocked whileLocked)
{
    platform::MutexLock guard(lock);
    whileLocked();
    expectRmtDelivered = false;
    mav = false;
    Check();
}

template <typename WhileLocked>
uint8_t Session::CompleteClear(bool overlappedMode, WhileLocked whileLocked)
{
    platform::MutexLock guard(lock);
    whileLocked();
    expectRmtDelivered = false;
    mav = false;
    lastMessageId = kMessageIdBeforeFirst;
    lastResponseId = kMessageIdBeforeFirst;
    overlapped = overlappedMode;
    responseSent = false;
    Check();
    return overlapped ? kOverlapped : 0;
}

}  // namespace tarvos
