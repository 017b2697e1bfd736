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
        status = partner->RaiseRequestBit(bit);
    }
    if (!discard) {
        SendMessage(MessageType::AsyncServiceRequest, status, 0);
    }
}

uint8_t Channel::RaiseRequestBit(uint8_t bit)
{
    ScopedLock guard(lock);
    statusByte |= bit;
    rqsPending = true;
    return static_cast<uint8_t>(statusByte | kRequestServiceBit);
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
        status = partner->AnswerStatusQuery(header.messageParameter, header.controlCode == kRmtDelivered);
    }
    if (SendMessage(MessageType::AsyncStatusResponse, status, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncStatusResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

uint8_t Channel::AnswerStatusQuery(uint32_t messageId, bool rmtDelivered)
{
    ScopedLock guard(lock);
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
    if (!errorQueue->Empty()) {
        status |= kErrorQueueBit;
    }
    if (rqsPending) {
        status |= kRequestServiceBit;
        rqsPending = false;
    }
    return status;
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
