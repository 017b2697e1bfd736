// The device-clear handshake across both channels of a session: it begins on
// the asynchronous role and completes on the synchronous one.
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

void SyncChannel::StartDiscard(Session& shared)
{
    shared.BeginClear([this] {
        LogState* const log = channel_.Log();
        LogVerbose(log, "INFO: Discard messages, ExpectRMTdelivered=false...");
        if (channel_.Discarding()) {
            LogError(log, "ERROR: Discard messages already set");
        }
        channel_.SetDiscard(true);
        channel_.ClearEvent().Set();
    });
}

Step AsyncChannel::HandleAsyncDeviceClear()
{
    LogState* const log = channel_.Log();
    Session* const session = channel_.OwnSession();
    uint8_t mode;
    {
        Channel::PeerRef partner(&channel_);
        if (!partner) {
            LogError(log, "ERROR: Synchronous Channel not set");
            return Step::Failed;
        }
        partner->Sync().StartDiscard(*session);
        channel_.Hooks().On(ChannelHooks::Event::ClearBegins);
        channel_.Hooks().BeforeAsyncAnswer();
        mode = session->ModeFlags();
    }
    if (channel_.SendMessage(MessageType::AsyncDeviceClearAcknowledge, mode, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncDeviceClearAcknowledge");
        return Step::Failed;
    }
    LogVerbose(log, "INFO: AsyncDeviceClearAcknowledge sent");
    return Step::GoOn;
}

Step SyncChannel::HandleDeviceClearComplete(InputEnd& end)
{
    LogState* const log = channel_.Log();
    LogVerbose(log, "INFO: DeviceClearComplete, ExpectRMTdelivered = false");
    channel_.Hooks().On(ChannelHooks::Event::ClearCompleted);
    const auto takeInputAgain = [this] {
        channel_.SetDiscard(false);
        channel_.ClearEvent().Reset();
    };
    const bool overlapped = (channel_.Header().controlCode & kOverlapped) != 0;
    uint8_t mode = overlapped ? kOverlapped : 0;
    if (Session* const session = channel_.OwnSession(); session != nullptr) {
        mode = session->CompleteClear(overlapped, takeInputAgain);
    } else {
        takeInputAgain();
    }
    if (channel_.SendMessage(MessageType::DeviceClearAcknowledge, mode, 0) == Sent::Failed) {
        LogError(log, "ERROR: DeviceClearAcknowledge failed");
        return Step::Failed;
    }
    ++completedClears;
    // The parser learns that the program message it was reading has ended.
    end = InputEnd::DeviceClear;
    return Step::ClearEnded;
}

}  // namespace tarvos
