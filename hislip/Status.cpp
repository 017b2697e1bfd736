// Status byte copy, service requests, status query and remote/local control.
#include "hislip/Channel.h"
#include "hislip/ReceiveResult.h"
#include "hislip/Protocol.h"
#include "hislip/StatusBits.h"
#include "log/Log.h"

namespace tarvos {

void SyncChannel::SetStatus(uint8_t status, uint8_t enable)
{
    Session* const session = channel_.OwnSession();
    if (session == nullptr) {
        return;
    }
    session->SetStatus(status, enable);
    SendDueServiceRequest();
}

void SyncChannel::SendDueServiceRequest()
{
    uint8_t status;
    Session* const session = channel_.OwnSession();
    if (session == nullptr || !session->TakeDueRequest(status)) {
        return;
    }
    Channel::PeerRef partner(&channel_);
    if (partner) {
        partner->Async().SendServiceRequest(status);
    }
}

void AsyncChannel::SendServiceRequest(uint8_t status)
{
    if (!channel_.Discarding()) {
        channel_.SendMessage(MessageType::AsyncServiceRequest, status, 0);
    }
}

void AsyncChannel::RequestServiceWithBit(uint8_t bit)
{
    uint8_t status;
    {
        Channel::PeerRef partner(&channel_);
        if (!partner) {
            return;
        }
        status = channel_.OwnSession()->RaiseRequestBit(bit);
    }
    if (!channel_.Discarding()) {
        channel_.SendMessage(MessageType::AsyncServiceRequest, status, 0);
    }
}

Step AsyncChannel::HandleAsyncStatusQuery()
{
    uint8_t status;
    {
        Channel::PeerRef partner(&channel_);
        if (!partner) {
            LogError(channel_.Log(), "ERROR: Synchronous Channel not set");
            return Step::Failed;
        }
        channel_.Hooks().BeforeAsyncAnswer();
        const MessageHeader& header = channel_.Header();
        status = channel_.OwnSession()->AnswerStatusQuery(header.messageParameter,
                                                          header.controlCode == kRmtDelivered);
    }
    if (channel_.SendMessage(MessageType::AsyncStatusResponse, status, 0) == Sent::Failed) {
        LogError(channel_.Log(), "ERROR: in sending AsyncStatusResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step AsyncChannel::HandleAsyncRemoteLocalControl()
{
    LogState* const log = channel_.Log();
    LogVerbose(log, "INFO: Remote/Local with ID %d:", static_cast<int>(channel_.Header().controlCode));
    channel_.Hooks().BeforeAsyncAnswer();
    if (channel_.SendMessage(MessageType::AsyncRemoteLocalResponse, 0, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncRemoteLocalResponse");
        return Step::Failed;
    }
    return Step::GoOn;
}

}  // namespace tarvos
