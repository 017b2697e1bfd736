// Exclusive and shared locks: the asynchronous role's requests, releases and
// lock info, and the lock gate of the synchronous role. The state itself is
// the server's LockTable; this side reads the messages, logs and answers.
#include <cstring>

#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kShareKeyLimit = 256;

}  // namespace

LockTable& AsyncChannel::Locks() const
{
    return channel_.Owner().lockTable;
}

void AsyncChannel::SendLockResponse(LockResponse code)
{
    channel_.SendMessage(MessageType::AsyncLockResponse, static_cast<uint8_t>(code), 0);
}

Step AsyncChannel::HandleAsyncLock()
{
    channel_.Hooks().BeforeAsyncAnswer();
    const MessageHeader& header = channel_.Header();
    if (header.controlCode == kLockRelease) {
        const uint32_t messageId = header.messageParameter;
        Channel::PeerRef partner(&channel_);
        // Only the asynchronous channel of a complete session holds locks.
        if (!partner) {
            return channel_.RefuseLock();
        }
        // The choice between an immediate and a deferred release, and the stored
        // release ID, are atomic with the synchronous channel's bookkeeping of the
        // MessageIDs it receives. The answer leaves once that lock is left, so
        // a paced or stalled send never holds up the synchronous channel.
        const Session::ReleaseDecision decision =
            channel_.OwnSession()->DecideRelease(messageId, Locks(), &channel_);
        if (decision.immediate) {
            ReportImmediateRelease(decision.now);
        } else {
            ReportDeferredRelease(decision.deferred);
        }
        return Step::GoOn;
    }
    {
        Channel::PeerRef partner(&channel_);
        if (!partner) {
            return channel_.RefuseLock();
        }
    }
    if (header.payloadLength == 0) {
        return HandleExclusiveLockRequest();
    }
    return HandleSharedLockRequest();
}

Step AsyncChannel::HandleExclusiveLockRequest()
{
    LogState* const log = channel_.Log();
    LogVerbose(log, "INFO: Exclusive Lock Request");
    // The wait blocks this channel's thread; a server stop ends it as a refusal.
    // A client that hangs up while its request waits ends the wait as well.
    switch (Locks().RequestExclusive(&channel_, channel_.Header().messageParameter, channel_.StopEvent(),
                                     [this] { return channel_.ClientHasGone(); })) {
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

Step AsyncChannel::HandleSharedLockRequest()
{
    LogState* const log = channel_.Log();
    const uint64_t length = channel_.Header().payloadLength;
    const uint64_t wanted = length > kShareKeyLimit ? kShareKeyLimit : length;
    uint8_t keyBytes[kShareKeyLimit];
    const Step read = channel_.ReceivePayload(keyBytes, wanted);
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
    switch (Locks().RequestShared(&channel_, key, sharers)) {
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

void AsyncChannel::ReportDeferredRelease(LockTable::Released released)
{
    LogState* const log = channel_.Log();
    const bool blocking = channel_.Owner().settings.blockingUnlock;
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

void AsyncChannel::ReportImmediateRelease(const LockTable::Release& released)
{
    LogState* const log = channel_.Log();
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

void AsyncChannel::ReportAfterwards(const LockTable::Afterwards& released)
{
    LogState* const log = channel_.Log();
    const bool blocking = channel_.Owner().settings.blockingUnlock;
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

void AsyncChannel::ReleaseAtSessionEnd()
{
    ReportAfterwards(Locks().EndSession(&channel_));
}

Step AsyncChannel::HandleAsyncLockInfo()
{
    LogState* const log = channel_.Log();
    channel_.Hooks().BeforeAsyncAnswer();
    const LockTable::Snapshot state = Locks().Read();
    const uint8_t exclusive = (state.lockState & kLockStateExclusive) != 0 ? 1 : 0;
    const int32_t sharers = state.sharedLockClients;
    // A lone exclusive holder counts as one session holding a lock.
    const uint32_t count = (sharers == 0 && exclusive == 1) ? 1u : static_cast<uint32_t>(sharers);
    LogVerbose(log, "INFO: Server is %d exclusive locked and %d clients that share the shared lock",
               static_cast<int>(exclusive), static_cast<int>(sharers));
    if (channel_.SendMessage(MessageType::AsyncLockInfoResponse, exclusive, count) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncLockInfoResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

bool SyncChannel::WaitForLockAccess()
{
    LockTable& locks = channel_.Owner().lockTable;
    for (;;) {
        // The common case, nobody holding a lock, needs neither the partner
        // nor the lock table's lock.
        if (locks.NoneHeld()) {
            return true;
        }
        uint64_t seen = 0;
        {
            // The session is that of the current partner, looked up anew after
            // every wake: a channel without partner holds no lock.
            Channel::PeerRef partner(&channel_);
            if (locks.MayExecute(partner.get(), seen)) {
                return true;
            }
        }
        // A client that has gone can't be answered; its connection ends here
        // instead of waiting for the lock with it.
        const Channel::Woken woken = channel_.WaitWhileClientStays(platform::kWaitForever, channel_.ClearEvent(),
                                                                   channel_.StopEvent(), locks.ChangedSince(seen));
        if (woken.By(0)) {
            LogVerbose(channel_.Log(), "INFO: socket is unblocked due to DeviceClear");
            return true;
        }
        if (woken.By(1) || woken.why == Channel::Woken::Why::ClientGone) {
            return false;
        }
    }
}

}  // namespace tarvos
