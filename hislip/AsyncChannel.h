// The asynchronous role of a channel: the pairing of AsyncInitialize with
// the synchronous channel's session, the control messages that the client
// sends beside its program messages (device clear, status query,
// remote/local control, locks and lock info), the lock responses and the
// service requests. It holds no state of its own: the session's is in
// Session, the locks are the server's LockTable (this channel's Channel is
// its session's key there), and framing and sending are its Channel's.
#pragma once

#include <cstdint>

#include "hislip/LockTable.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"

namespace tarvos {

class Channel;

// Used by its channel's worker thread; the partner's thread calls
// SendServiceRequest and ReportAfterwards, which only send.
class AsyncChannel {
public:
    explicit AsyncChannel(Channel& channel) : channel_(channel) {}
    AsyncChannel(const AsyncChannel&) = delete;
    AsyncChannel& operator=(const AsyncChannel&) = delete;

    // --- service requests ---
    // Sends AsyncServiceRequest with status (unless input is thrown away).
    void SendServiceRequest(uint8_t status);
    // Sets bit in the session's status copy, counts a request as outstanding
    // and sends AsyncServiceRequest (unless input is thrown away).
    void RequestServiceWithBit(uint8_t bit);

    // --- locking (this channel's Channel is the session's key) ---
    // Log and answer what an immediate or deferred release of the AsyncLock
    // being handled decided; called with no channel lock held.
    void ReportImmediateRelease(const LockTable::Release& released);
    void ReportDeferredRelease(LockTable::Released released);
    // Logs what a message or the session's end gave back and, with blocking
    // unlock, sends the responses that waited for it.
    void ReportAfterwards(const LockTable::Afterwards& released);
    void ReleaseAtSessionEnd();

    // --- the message cases of this role, run by the channel's receive loop ---
    Step HandleAsyncInitialize();
    Step HandleAsyncDeviceClear();
    Step HandleAsyncStatusQuery();
    Step HandleAsyncRemoteLocalControl();
    Step HandleAsyncLock();
    Step HandleAsyncLockInfo();

private:
    Step HandleExclusiveLockRequest();
    Step HandleSharedLockRequest();
    void SendLockResponse(LockResponse code);
    LockTable& Locks() const;

    Channel& channel_;
};

}  // namespace tarvos
