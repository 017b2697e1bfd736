// Exclusive and shared locks: requests, releases, lock info and the lock gate.
// The state itself is the server's LockTable; this side reads the messages,
// logs and answers.
#include <cstring>

#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kShareKeyLimit = 256;

}  // namespace

LockTable& Channel::Locks() const
{
    return engine.lockTable;
}

void Channel::SendLockResponse(LockResponse code)
{
    SendMessage(MessageType::AsyncLockResponse, static_cast<uint8_t>(code), 0);
}

Step Channel::HandleAsyncLock()
{
    Hooks().BeforeAsyncAnswer();
    if (header.controlCode == kLockRelease) {
        const uint32_t messageId = header.messageParameter;
        PeerRef partner(this);
        // Only the asynchronous channel of a complete session holds locks; a
        // release elsewhere has nothing to give back.
        if (!partner || !isAsync) {
            SendLockResponse(LockResponse::Failure);
            return Step::GoOn;
        }
        // The choice between an immediate and a deferred release, and the stored
        // release ID, are atomic with the synchronous channel's bookkeeping of the
        // MessageIDs it receives. The answer leaves once that lock is left, so
        // a paced or stalled send never holds up the synchronous channel.
        const Session::ReleaseDecision decision = session->DecideRelease(messageId, Locks(), this);
        if (decision.immediate) {
            ReportImmediateRelease(decision.now);
        } else {
            ReportDeferredRelease(decision.deferred);
        }
        return Step::GoOn;
    }
    {
        PeerRef partner(this);
        if (!partner || !isAsync) {
            const Step rest = DiscardPayload();
            if (rest != Step::GoOn) {
                return rest;
            }
            SendLockResponse(LockResponse::Failure);
            return Step::GoOn;
        }
    }
    if (header.payloadLength == 0) {
        return HandleExclusiveLockRequest();
    }
    return HandleSharedLockRequest();
}

Step Channel::HandleExclusiveLockRequest()
{
    LogVerbose(log, "INFO: Exclusive Lock Request");
    // The wait blocks this channel's thread; a server stop ends it as a refusal.
    // A client that hangs up while its request waits ends the wait as well.
    switch (Locks().RequestExclusive(this, header.messageParameter, stopEvent, [this] { return ClientHasGone(); })) {
    case LockTable::ExclusiveGrant::Granted:
        SendLockResponse(LockResponse::Success);
        LogVerbose(log, "INFO: Lock granted");
        break;
    case LockTable::ExclusiveGrant::AlreadyHeld:
        LogError(log, "ERROR: Exclusive Lock already granted");
        SendLockResponse(LockResponse::Error);
        break;
    case LockTable::ExclusiveGrant::SharedByOthers:
        SendLockResponse(LockResponse::Failure);
        LogVerbose(log, "INFO: Lock refused since another client has shared lock.");
        break;
    case LockTable::ExclusiveGrant::TimedOut:
    case LockTable::ExclusiveGrant::Stopped:
        SendLockResponse(LockResponse::Failure);
        LogVerbose(log, "INFO: Lock refused");
        break;
    }
    return Step::GoOn;
}

Step Channel::HandleSharedLockRequest()
{
    const uint64_t wanted = header.payloadLength > kShareKeyLimit ? kShareKeyLimit : header.payloadLength;
    uint8_t keyBytes[kShareKeyLimit];
    const Step read = ReceivePayload(keyBytes, wanted);
    if (read != Step::GoOn) {
        LogError(log, "ERROR: reading shared key failed");
        return read;
    }
    const uint64_t got = wanted;
    LogVerbose(log, "INFO: Shared Lock Request key=%.*s", static_cast<int>(got), reinterpret_cast<char*>(keyBytes));
    const auto* nul = static_cast<const uint8_t*>(std::memchr(keyBytes, 0, static_cast<size_t>(got)));
    const std::string key(reinterpret_cast<char*>(keyBytes),
                          nul != nullptr ? static_cast<size_t>(nul - keyBytes) : static_cast<size_t>(got));

    int32_t sharers = 0;
    switch (Locks().RequestShared(this, key, sharers)) {
    case LockTable::SharedGrant::AlreadyHeld:
        LogError(log, "ERROR: Shared Lock already granted");
        SendLockResponse(LockResponse::Error);
        break;
    case LockTable::SharedGrant::OtherKey:
        LogVerbose(log, "INFO: Shared Lock not granted. Sorry no wait timeout implemented here. %d clients",
                   static_cast<int>(sharers));
        SendLockResponse(LockResponse::Failure);
        break;
    case LockTable::SharedGrant::ExclusiveLocked:
        LogVerbose(log,
                   "INFO: Shared Lock not granted. Sorry no wait timeout implemented here. Server is exclusive locked");
        SendLockResponse(LockResponse::Failure);
        break;
    case LockTable::SharedGrant::Joined:
        LogVerbose(log, "INFO: Shared Lock granted. %d clients", static_cast<int>(sharers));
        SendLockResponse(LockResponse::Success);
        break;
    case LockTable::SharedGrant::First:
        SendLockResponse(LockResponse::Success);
        break;
    }
    return Step::GoOn;
}

void Channel::ReportDeferredRelease(LockTable::Released released)
{
    const bool blocking = engine.settings.blockingUnlock;
    switch (released) {
    case LockTable::Released::Exclusive:
        if (!blocking) {
            SendLockResponse(LockResponse::Success);
            LogVerbose(log, "INFO: Exclusive Lock released (deferred)");
        } else {
            LogVerbose(log, "INFO: Exclusive Lock released (deferred). Response is blocked.");
        }
        break;
    case LockTable::Released::Shared:
        if (!blocking) {
            SendLockResponse(LockResponse::SharedReleased);
            LogVerbose(log, "INFO: Shared Lock released (deferred)");
        } else {
            LogVerbose(log, "INFO: Shared Lock released (deferred). Response is blocked.");
        }
        break;
    case LockTable::Released::Nothing:
        SendLockResponse(LockResponse::Failure);
        LogError(log, "ERROR: No lock to release (deferred)");
        break;
    }
}

void Channel::ReportImmediateRelease(const LockTable::Release& released)
{
    switch (released.what) {
    case LockTable::Released::Exclusive:
        SendLockResponse(LockResponse::Success);
        LogVerbose(log, "INFO: Exclusive Lock released");
        if (released.dueSharedToo) {
            ReportAfterwards({false, true, released.sharers});
        }
        break;
    case LockTable::Released::Shared:
        LogVerbose(log, "INFO: Shared Lock released. Clients=%d", static_cast<int>(released.sharers));
        SendLockResponse(LockResponse::SharedReleased);
        break;
    case LockTable::Released::Nothing:
        SendLockResponse(LockResponse::Failure);
        LogError(log, "ERROR: No lock to release");
        break;
    }
}

void Channel::ReportAfterwards(const LockTable::Afterwards& released)
{
    const bool blocking = engine.settings.blockingUnlock;
    if (released.exclusive) {
        if (blocking) {
            SendLockResponse(LockResponse::Success);
        }
        LogVerbose(log, "INFO: Exclusive Lock released afterwards");
    }
    if (released.shared) {
        LogVerbose(log, "INFO: Shared Lock released afterwards. Clients=%d", static_cast<int>(released.sharers));
        if (blocking) {
            SendLockResponse(LockResponse::SharedReleased);
        }
    }
}

void Channel::ReleaseAtSessionEnd()
{
    ReportAfterwards(Locks().EndSession(this));
}

Step Channel::HandleAsyncLockInfo()
{
    Hooks().BeforeAsyncAnswer();
    const LockTable::Snapshot state = Locks().Read();
    const uint8_t exclusive = (state.lockState & kLockStateExclusive) != 0 ? 1 : 0;
    const int32_t sharers = state.sharedLockClients;
    // A lone exclusive holder counts as one session holding a lock.
    const uint32_t count = (sharers == 0 && exclusive == 1) ? 1u : static_cast<uint32_t>(sharers);
    LogVerbose(log, "INFO: Server is %d exclusive locked and %d clients that share the shared lock",
               static_cast<int>(exclusive), static_cast<int>(sharers));
    if (SendMessage(MessageType::AsyncLockInfoResponse, exclusive, count) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncLockInfoResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

bool Channel::WaitForLockAccess()
{
    for (;;) {
        uint64_t seen = 0;
        {
            // The session is that of the current partner, looked up anew after
            // every wake: a channel without partner holds no lock.
            PeerRef partner(this);
            if (Locks().MayExecute(partner.get(), seen)) {
                return true;
            }
        }
        // A client that has gone can't be answered; its connection ends here
        // instead of waiting for the lock with it.
        const Woken woken =
            WaitWhileClientStays(platform::kWaitForever, clearEvent, stopEvent, Locks().ChangedSince(seen));
        if (woken.By(0)) {
            LogVerbose(log, "INFO: socket is unblocked due to DeviceClear");
            return true;
        }
        if (woken.By(1) || woken.why == Woken::Why::ClientGone) {
            return false;
        }
    }
}

}  // namespace tarvos
