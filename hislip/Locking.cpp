// Exclusive and shared locks: requests, releases, lock info and the lock gate.
#include "hislip/Locking.h"

#include <cstring>

#include "console/Server.h"
#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

namespace locking {

CriticalSection lockGuard;
std::atomic<uint32_t> lockState {0};
std::atomic<int32_t> sharedLockClients {0};
std::string sharedLockKey;
platform::Semaphore exclusiveLockToken;
platform::Event sharedLockFreeEvent(true);

uint32_t LockStateForConsole()
{
    return lockState.load();
}

int32_t SharedClientsForConsole()
{
    return sharedLockClients.load();
}

}  // namespace locking

using namespace locking;

namespace {

constexpr uint32_t kShareKeyLimit = 256;

// Adds the exclusive part to the lock state (0 to 2, 1 to 3).
void AddExclusive() REQUIRES(lockGuard)
{
    const uint32_t s = lockState.load();
    if (s == 0) {
        lockState = 2;
    } else if (s == 1) {
        lockState = 3;
    }
}

// Removes the exclusive part (3 to 1, 2 to 0).
void RemoveExclusive() REQUIRES(lockGuard)
{
    const uint32_t s = lockState.load();
    if (s == 3) {
        lockState = 1;
    } else if (s == 2) {
        lockState = 0;
    }
}

// One sharer less; the last one takes the shared part away (1 to 0, 3 to 2).
void RemoveSharer() REQUIRES(lockGuard)
{
    sharedLockClients -= 1;
    if (sharedLockClients.load() == 0) {
        const uint32_t s = lockState.load();
        if (s == 1) {
            lockState = 0;
        } else if (s == 3) {
            lockState = 2;
        }
        sharedLockFreeEvent.Set();
    }
}

}  // namespace

void Channel::SendLockResponse(uint8_t code)
{
    SendMessage(MessageType::AsyncLockResponse, code, 0);
}

long Channel::HandleAsyncLock()
{
    FireArmedServiceRequest();
    if (header.controlCode == 0) {
        PeerRef partner(this);
        // Only the asynchronous channel of a complete session holds locks; a
        // release elsewhere has nothing to give back.
        if (!partner || !isAsync) {
            SendLockResponse(0);
            return kGoOn;
        }
        // The choice between an immediate and a deferred release, and the stored
        // release ID, are atomic with the synchronous channel's bookkeeping of the
        // MessageIDs it receives.
        ScopedLock guard(partner->lock);
        ReleaseLock(header.messageParameter == partner->lastMessageId ? ReleaseMode::Immediate
                                                                      : ReleaseMode::Deferred);
        return kGoOn;
    }
    {
        PeerRef partner(this);
        if (!partner || !isAsync) {
            const long rest = DiscardPayload();
            if (rest <= 0) {
                return rest;
            }
            SendLockResponse(0);
            return kGoOn;
        }
    }
    if (header.payloadLength == 0) {
        return HandleExclusiveLockRequest();
    }
    return HandleSharedLockRequest();
}

long Channel::HandleExclusiveLockRequest()
{
    LogVerbose(server, "INFO: Exclusive Lock Request");
    lockGuard.Enter();
    if (holdsExclusiveLock && exclusiveReleaseId == kNoReleaseId) {
        LogError(server, "ERROR: Exclusive Lock already granted");
        lockGuard.Leave();
        SendLockResponse(3);
        return kGoOn;
    }
    if (lockState.load() == 1 && !holdsSharedLock) {
        SendLockResponse(0);
        LogVerbose(server, "INFO: Lock refused since another client has shared lock.");
        lockGuard.Leave();
        return kGoOn;
    }
    lockGuard.Leave();

    // The wait blocks this channel's thread; a server stop ends it as a refusal.
    const uint32_t timeoutMs = header.messageParameter;
    const int woken = platform::WaitForAny({exclusiveLockToken, stopEvent}, timeoutMs);
    if (woken == 0) {
        {
            ScopedLock guard(lockGuard);
            holdsExclusiveLock = true;
            AddExclusive();
        }
        SendLockResponse(1);
        LogVerbose(server, "INFO: Lock granted");
    } else {
        SendLockResponse(0);
        LogVerbose(server, "INFO: Lock refused");
    }
    return kGoOn;
}

long Channel::HandleSharedLockRequest()
{
    const uint64_t wanted = header.payloadLength > kShareKeyLimit ? kShareKeyLimit : header.payloadLength;
    uint8_t keyBytes[kShareKeyLimit];
    const long got = ReceivePayload(keyBytes, wanted);
    if (got < 1) {
        LogError(server, "ERROR: reading shared key failed");
        return got;
    }
    LogVerbose(server, "INFO: Shared Lock Request key=%.*s", static_cast<int>(got), reinterpret_cast<char*>(keyBytes));
    const auto* nul = static_cast<const uint8_t*>(std::memchr(keyBytes, 0, static_cast<size_t>(got)));
    const std::string key(reinterpret_cast<char*>(keyBytes),
                          nul != nullptr ? static_cast<size_t>(nul - keyBytes) : static_cast<size_t>(got));

    if ((holdsSharedLock && sharedReleaseId == kNoReleaseId) ||
        (holdsExclusiveLock && exclusiveReleaseId == kNoReleaseId)) {
        LogError(server, "ERROR: Shared Lock already granted");
        SendLockResponse(3);
        return kGoOn;
    }
    uint8_t response;
    {
        ScopedLock guard(lockGuard);
        if (sharedLockClients.load() > 0) {
            if (key != sharedLockKey) {
                LogVerbose(server, "INFO: Shared Lock not granted. Sorry no wait timeout implemented here. %d clients",
                           static_cast<int>(sharedLockClients.load()));
                response = 0;
            } else {
                sharedLockClients += 1;
                holdsSharedLock = true;
                LogVerbose(server, "INFO: Shared Lock granted. %d clients", static_cast<int>(sharedLockClients.load()));
                response = 1;
            }
        } else if (lockState.load() == 2) {
            LogVerbose(server,
                       "INFO: Shared Lock not granted. Sorry no wait timeout implemented here. Server is exclusive locked");
            response = 0;
        } else {
            sharedLockKey = key;
            sharedLockClients = 1;
            holdsSharedLock = true;
            lockState = 1;
            sharedLockFreeEvent.Reset();
            response = 1;
        }
    }
    SendLockResponse(response);
    return kGoOn;
}

void Channel::ReleaseLock(ReleaseMode mode)
{
    const bool blocking = server->blockingUnlock;
    switch (mode) {
    case ReleaseMode::Deferred:
        if (holdsExclusiveLock && exclusiveReleaseId == kNoReleaseId) {
            exclusiveReleaseId = header.messageParameter;
            if (!blocking) {
                SendLockResponse(1);
                LogVerbose(server, "INFO: Exclusive Lock released (deferred)");
            } else {
                LogVerbose(server, "INFO: Exclusive Lock released (deferred). Response is blocked.");
            }
        } else if (holdsSharedLock && sharedReleaseId == kNoReleaseId) {
            sharedReleaseId = header.messageParameter;
            if (!blocking) {
                SendLockResponse(2);
                LogVerbose(server, "INFO: Shared Lock released (deferred)");
            } else {
                LogVerbose(server, "INFO: Shared Lock released (deferred). Response is blocked.");
            }
        } else {
            SendLockResponse(0);
            LogError(server, "ERROR: No lock to release (deferred)");
        }
        break;
    case ReleaseMode::Immediate:
        if (holdsExclusiveLock) {
            {
                ScopedLock guard(lockGuard);
                holdsExclusiveLock = false;
                RemoveExclusive();
                exclusiveLockToken.Release();
            }
            SendLockResponse(1);
            LogVerbose(server, "INFO: Exclusive Lock released");
        } else if (holdsSharedLock) {
            {
                ScopedLock guard(lockGuard);
                holdsSharedLock = false;
                RemoveSharer();
                LogVerbose(server, "INFO: Shared Lock released. Clients=%d", static_cast<int>(sharedLockClients.load()));
            }
            SendLockResponse(2);
        } else {
            SendLockResponse(0);
            LogError(server, "ERROR: No lock to release");
        }
        break;
    case ReleaseMode::Afterwards:
        if (holdsExclusiveLock && exclusiveReleaseId != kNoReleaseId) {
            {
                ScopedLock guard(lockGuard);
                holdsExclusiveLock = false;
                exclusiveReleaseId = kNoReleaseId;
                RemoveExclusive();
                exclusiveLockToken.Release();
            }
            if (blocking) {
                SendLockResponse(1);
            }
            LogVerbose(server, "INFO: Exclusive Lock released afterwards");
        } else if (holdsSharedLock && sharedReleaseId != kNoReleaseId) {
            {
                ScopedLock guard(lockGuard);
                holdsSharedLock = false;
                RemoveSharer();
                LogVerbose(server, "INFO: Shared Lock released afterwards. Clients=%d",
                           static_cast<int>(sharedLockClients.load()));
                sharedReleaseId = kNoReleaseId;
            }
            if (blocking) {
                SendLockResponse(2);
            }
        }
        break;
    }
}

long Channel::HandleAsyncLockInfo()
{
    FireArmedServiceRequest();
    uint8_t exclusive = 1;
    if (!holdsExclusiveLock) {
        if (exclusiveLockToken.Acquire(0)) {
            exclusiveLockToken.Release();
            exclusive = 0;
        }
    }
    const int32_t sharers = sharedLockClients.load();
    const uint32_t count = (sharers == 0 && exclusive == 1) ? 1u : static_cast<uint32_t>(sharers);
    LogVerbose(server, "INFO: Server is %d exclusive locked and %d clients that share the shared lock",
               static_cast<int>(exclusive), static_cast<int>(sharers));
    if (SendMessage(MessageType::AsyncLockInfoResponse, exclusive, count) < 0) {
        LogError(server, "ERROR: in sending AsyncLockInfoResponse");
        return -1;
    }
    return kGoOn;
}

bool Channel::WaitForLockAccess()
{
    bool waitShared = false;
    bool waitExclusive = false;
    {
        PeerRef partner(this);
        if (!partner) {
            return true;
        }
        ScopedLock guard(lockGuard);
        const uint32_t s = lockState.load();
        waitShared = (s == 1 || s == 3) && !partner->holdsSharedLock;
        waitExclusive = (s == 2 || s == 3) && !partner->holdsExclusiveLock;
    }
    if (waitShared && platform::WaitForAny({clearEvent, sharedLockFreeEvent, stopEvent}, platform::kWaitForever) == 2) {
        return false;
    }
    if (waitExclusive) {
        const int woken = platform::WaitForAny({clearEvent, exclusiveLockToken, stopEvent}, platform::kWaitForever);
        if (woken == 1) {
            exclusiveLockToken.Release();
        } else if (woken == 0) {
            LogVerbose(server, "INFO: socket is unblocked due to DeviceClear");
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tarvos
