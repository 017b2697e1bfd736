#include "hislip/Session.h"

#include "common/Check.h"
#include "hislip/Channel.h"
#include "hislip/StatusBits.h"

namespace tarvos {

namespace {

const char kInterruptedEntry[] = "-410,\"Query INTERRUPTED\"";

size_t Index(Session::Role role)
{
    return static_cast<size_t>(role);
}

}  // namespace

Session::Session(LogState* logState, ErrorQueueAccess& queue, std::atomic<int>& live)
    : log(logState), errorQueue(queue), liveSessions(live)
{
    liveSessions.fetch_add(1);
}

Session::~Session()
{
    liveSessions.fetch_sub(1);
}

void Session::Join(Role role, Channel* channel)
{
    platform::MutexLock guard(lock);
    members[Index(role)] = channel;
    Check();
}

void Session::Leave(Role role)
{
    platform::MutexLock guard(lock);
    members[Index(role)] = nullptr;
    if (role == Role::Async) {
        // Nobody is left to send an armed request.
        serviceRequestArmed = false;
    }
    ++leaving[Index(role)];
    while (pins[Index(role)] != 0) {
        unpinned.Wait(guard);
    }
    --leaving[Index(role)];
    Check();
}

Channel* Session::Pin(Role role)
{
    platform::MutexLock guard(lock);
    Channel* const member = members[Index(role)];
    if (member != nullptr) {
        ++pins[Index(role)];
    }
    return member;
}

void Session::Unpin(Role role)
{
    platform::MutexLock guard(lock);
    // Only a Leave waits for the pins to go; without one nobody is woken.
    if (--pins[Index(role)] == 0 && leaving[Index(role)] != 0) {
        unpinned.NotifyAll();
    }
    Check();
}

void Session::SetStatus(uint8_t status, uint8_t enable)
{
    platform::MutexLock guard(lock);
    SetStatusLocked(status, enable);
    Check();
}

void Session::SetStatusLocked(uint8_t status, uint8_t enable)
{
    status = static_cast<uint8_t>(status & ~kMavBit);
    const uint8_t enabled = status & enable;
    // Without an asynchronous channel no request can be sent, and none is
    // counted as outstanding.
    if (enabled != 0 && enabled != (statusByte & srEnable) && !rqsPending && members[Index(Role::Async)] != nullptr) {
        rqsPending = true;
        DueRequest(static_cast<uint8_t>(status | kRequestServiceBit));
    }
    statusByte = status;
    srEnable = enable;
}

void Session::SetMavLocked(bool flag)
{
    if (flag && !mav && (srEnable & kMavBit) != 0 && !rqsPending && members[Index(Role::Async)] != nullptr) {
        rqsPending = true;
        DueRequest(static_cast<uint8_t>(statusByte | kMavBit | kRequestServiceBit));
    }
    mav = flag;
}

bool Session::TakeDueRequest(uint8_t& status)
{
    platform::MutexLock guard(lock);
    if (!serviceRequestDue) {
        return false;
    }
    serviceRequestDue = false;
    status = dueRequestStatus;
    return true;
}

uint8_t Session::RaiseRequestBit(uint8_t bit)
{
    platform::MutexLock guard(lock);
    statusByte |= bit;
    rqsPending = true;
    Check();
    return static_cast<uint8_t>(statusByte | kRequestServiceBit);
}

uint8_t Session::AnswerStatusQuery(uint32_t messageId, bool rmtDelivered)
{
    platform::MutexLock guard(lock);
    uint8_t status = statusByte;
    statusByte = static_cast<uint8_t>(statusByte & ~kArmedRequestBit);
    bool available;
    if (overlapped) {
        available = messageId == lastResponseId ? false : responseSent;
    } else {
        if (rmtDelivered) {
            if (expectRmtDelivered) {
                mav = false;
            } else {
                LogError(log, "ERROR: RMT_delivered not expected");
            }
            expectRmtDelivered = false;
            LogVerbose(log, "INFO: ExpectRMTdelivered = false");
        }
        if (messageId != lastMessageId) {
            mav = false;
            LogVerbose(log, "INFO: AsyncStatusQuery has overtaken a Data message");
        }
        available = mav;
    }
    if (available) {
        status |= kMavBit;
    }
    if (!errorQueue.Empty()) {
        status |= kErrorQueueBit;
    }
    if (rqsPending) {
        status |= kRequestServiceBit;
        rqsPending = false;
    }
    Check();
    return status;
}

uint8_t Session::ModeFlags()
{
    platform::MutexLock guard(lock);
    return overlapped ? kOverlapped : 0;
}

Session::Arrival Session::MessageArrived(uint32_t messageId, bool rmtDelivered, const std::atomic<bool>& discarding,
                                         LockTable& locks)
{
    platform::MutexLock guard(lock);
    Arrival arrival;
    if (messageId != lastMessageId + 2) {
        LogError(log, "WARNING: unexpected MessageID");
    }
    lastMessageId = messageId;
    // A release that waited for this message takes effect now (its responses
    // go out once the lock is left).
    if (Channel* const async = members[Index(Role::Async)]; async != nullptr) {
        arrival.released = locks.MessageArrived(async, messageId);
    }
    if (!discarding.load() && !overlapped) {
        if (rmtDelivered) {
            if (!expectRmtDelivered) {
                LogError(log, "ERROR: RMT_delivered not expected");
            }
            LogVerbose(log, "INFO: ExpectRMTdelivered = false");
            expectRmtDelivered = false;
            mav = false;
        }
        if (expectRmtDelivered) {
            LogVerbose(log, "INFO: Interrupted Error, ExpectRMTdelivered = false");
            QueueInterruptedLocked();
            arrival.interrupted = true;
        }
    }
    arrival.requestDue = serviceRequestDue;
    Check();
    return arrival;
}

void Session::Interrupt()
{
    platform::MutexLock guard(lock);
    LogVerbose(log, "INFO: Interrupted Error, ExpectRMTdelivered = false");
    QueueInterruptedLocked();
    Check();
}

void Session::QueueInterruptedLocked()
{
    errorQueue.PushError(kInterruptedEntry);
    expectRmtDelivered = false;
    mav = false;
    SetStatusLocked(static_cast<uint8_t>(statusByte | kErrorQueueBit), srEnable);
}

uint32_t Session::TakeResponseIds(uint32_t parts, uint32_t answeredId)
{
    // Synchronized mode answers with the MessageID of the message answered;
    // overlapped mode numbers its response messages itself.
    if (!overlapped) {
        return answeredId;
    }
    const uint32_t first = lastResponseId + 2;
    lastResponseId += 2 * parts;
    return first;
}

Session::ReleaseDecision Session::DecideRelease(uint32_t messageId, LockTable& locks, LockTable::SessionKey key)
{
    platform::MutexLock guard(lock);
    ReleaseDecision decision;
    decision.immediate = messageId == lastMessageId;
    if (decision.immediate) {
        decision.now = locks.ReleaseImmediate(key);
    } else {
        decision.deferred = locks.ReleaseDeferred(key, messageId);
    }
    return decision;
}

void Session::ArmServiceRequest()
{
    platform::MutexLock guard(lock);
    if (members[Index(Role::Async)] != nullptr) {
        serviceRequestArmed = true;
    }
}

void Session::SetPace(uint32_t us)
{
    pace.store(us, std::memory_order_relaxed);
    for (const Role role : {Role::Sync, Role::Async}) {
        Channel* const member = Pin(role);
        if (member != nullptr) {
            member->Features().SetPace(us);
            Unpin(role);
        }
    }
}

std::string Session::CheckInvariants() const
{
    platform::MutexLock guard(lock);
    return Inconsistency();
}

void Session::Check() const
{
    TARVOS_CHECK_EMPTY(Inconsistency());
}

std::string Session::Inconsistency() const
{
    if ((statusByte & kMavBit) != 0) {
        return "the status copy carries MAV, which the session keeps apart";
    }
    if (!overlapped && lastResponseId != kMessageIdBeforeFirst) {
        return "synchronized mode has numbered response messages of its own";
    }
    if (expectRmtDelivered && !responseSent) {
        return "RMT-delivered is expected although no response was sent";
    }
    if (mav && !responseSent) {
        return "MAV is set although no response was sent";
    }
    for (const Role role : {Role::Sync, Role::Async}) {
        if (pins[Index(role)] < 0) {
            return "a member has been unpinned more often than pinned";
        }
        if (leaving[Index(role)] < 0) {
            return "more members have stopped waiting to leave than waited";
        }
    }
    return {};
}

}  // namespace tarvos
