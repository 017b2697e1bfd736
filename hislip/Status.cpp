// Status byte copy, service requests, status query and remote/local control.
#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "hislip/Protocol.h"
#include "hislip/StatusBits.h"
#include "log/Log.h"

namespace tarvos {

void Channel::SetStatus(uint8_t status, uint8_t enable)
{
    {
        ScopedLock guard(lock);
        SetStatusLocked(status, enable);
    }
    SendDueServiceRequest();
}

void Channel::SendDueServiceRequest()
{
    uint8_t status;
    {
        ScopedLock guard(lock);
        if (!serviceRequestDue) {
            return;
        }
        serviceRequestDue = false;
        status = dueRequestStatus;
    }
    PeerRef partner(this);
    if (partner) {
        partner->SendServiceRequest(status);
    }
}

void Channel::SetStatusLocked(uint8_t status, uint8_t enable)
{
    status = static_cast<uint8_t>(status & ~kMavBit);
    const uint8_t enabled = status & enable;
    if (enabled != 0 && enabled != (statusByte & srEnable) && !rqsPending) {
        PeerRef partner(this);
        // Without an asynchronous channel no request can be sent, and none is
        // counted as outstanding.
        if (partner) {
            rqsPending = true;
            DueServiceRequest(static_cast<uint8_t>(status | kRequestServiceBit));
        }
    }
    statusByte = status;
    srEnable = enable;
}

void Channel::SetMavLocked(bool flag)
{
    if (flag && !mav && (srEnable & kMavBit) != 0 && !rqsPending) {
        PeerRef partner(this);
        if (partner) {
            rqsPending = true;
            DueServiceRequest(static_cast<uint8_t>(statusByte | kMavBit | kRequestServiceBit));
        }
    }
    mav = flag;
}

void Channel::SendServiceRequest(uint8_t status)
{
    if (!discard) {
        SendMessage(MessageType::AsyncServiceRequest, status, 0);
    }
}

void Channel::RequestServiceWithBit(uint8_t bit)
{
    uint8_t status;
    {
        PeerRef partner(this);
        if (!partner) {
            return;
        }
        ScopedLock guard(partner->lock);
        partner->statusByte |= bit;
        partner->rqsPending = true;
        status = static_cast<uint8_t>(partner->statusByte | kRequestServiceBit);
    }
    if (!discard) {
        SendMessage(MessageType::AsyncServiceRequest, status, 0);
    }
}

Step Channel::HandleAsyncStatusQuery()
{
    uint8_t status;
    {
        PeerRef partner(this);
        if (!partner) {
            LogError(log, "ERROR: Synchronous Channel not set");
            return Step::Failed;
        }
        Hooks().BeforeAsyncAnswer();
        Channel& sync = *partner.get();
        ScopedLock guard(sync.lock);
        status = sync.statusByte;
        sync.statusByte = static_cast<uint8_t>(sync.statusByte & ~kArmedRequestBit);
        bool available;
        if (sync.overlapped) {
            available = header.messageParameter == sync.lastResponseId ? false : sync.responseSent;
        } else {
            if (header.controlCode == kRmtDelivered) {
                if (sync.expectRmtDelivered) {
                    sync.mav = false;
                } else {
                    LogError(log, "ERROR: RMT_delivered not expected");
                }
                sync.expectRmtDelivered = false;
                LogVerbose(log, "INFO: ExpectRMTdelivered = false");
            }
            if (header.messageParameter != sync.lastMessageId) {
                sync.mav = false;
                LogVerbose(log, "INFO: AsyncStatusQuery has overtaken a Data message");
            }
            available = sync.mav;
        }
        if (available) {
            status |= kMavBit;
        }
        if (!sync.errorQueue->Empty()) {
            status |= kErrorQueueBit;
        }
        if (sync.rqsPending) {
            status |= kRequestServiceBit;
            sync.rqsPending = false;
        }
    }
    if (SendMessage(MessageType::AsyncStatusResponse, status, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncStatusResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step Channel::HandleAsyncRemoteLocalControl()
{
    LogVerbose(log, "INFO: Remote/Local with ID %d:", static_cast<int>(header.controlCode));
    Hooks().BeforeAsyncAnswer();
    if (SendMessage(MessageType::AsyncRemoteLocalResponse, 0, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncRemoteLocalResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

}  // namespace tarvos
