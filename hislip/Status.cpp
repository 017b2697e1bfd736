// Status byte copy, service requests, status query and remote/local control.
#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "hislip/Protocol.h"
#include "hislip/StatusBits.h"
#include "log/Log.h"

namespace tarvos {

void Channel::SetStatus(uint8_t status, uint8_t enable)
{
    if (session == nullptr) {
        return;
    }
    session->SetStatus(status, enable);
    SendDueServiceRequest();
}

void Channel::SendDueServiceRequest()
{
    uint8_t status;
    if (session == nullptr || !session->TakeDueRequest(status)) {
        return;
    }
    PeerRef partner(this);
    if (partner) {
        partner->SendServiceRequest(status);
    }
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
        status = session->RaiseRequestBit(bit);
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
        status = session->AnswerStatusQuery(header.messageParameter, header.controlCode == kRmtDelivered);
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
