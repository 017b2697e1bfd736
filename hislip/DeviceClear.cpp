// The device-clear handshake across both channels of a session.
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

void Channel::StartDiscard(Session& shared)
{
    shared.BeginClear([this] {
        LogVerbose(log, "INFO: Discard messages, ExpectRMTdelivered=false...");
        if (discard) {
            LogError(log, "ERROR: Discard messages already set");
        }
        discard = true;
        clearEvent.Set();
    });
}

Step Channel::HandleAsyncDeviceClear()
{
    uint8_t mode;
    {
        PeerRef partner(this);
        if (!partner) {
            LogError(log, "ERROR: Synchronous Channel not set");
            return Step::Failed;
        }
        partner->StartDiscard(*session);
        Hooks().On(ChannelHooks::Event::ClearBegins);
        Hooks().BeforeAsyncAnswer();
        mode = session->ModeFlags();
    }
    if (SendMessage(MessageType::AsyncDeviceClearAcknowledge, mode, 0) == Sent::Failed) {
        LogError(log, "ERROR: in sending AsyncDeviceClearAcknowledge");
        return Step::Failed;
    }
    LogVerbose(log, "INFO: AsyncDeviceClearAcknowledge sent");
    return Step::GoOn;
}

Step Channel::HandleDeviceClearComplete(InputEnd& end)
{
    LogVerbose(log, "INFO: DeviceClearComplete, ExpectRMTdelivered = false");
    Hooks().On(ChannelHooks::Event::ClearCompleted);
    const auto takeInputAgain = [this] {
        discard = false;
        clearEvent.Reset();
    };
    const bool overlapped = (header.controlCode & kOverlapped) != 0;
    uint8_t mode = overlapped ? kOverlapped : 0;
    if (session != nullptr) {
        mode = session->CompleteClear(overlapped, takeInputAgain);
    } else {
        takeInputAgain();
    }
    if (SendMessage(MessageType::DeviceClearAcknowledge, mode, 0) == Sent::Failed) {
        LogError(log, "ERROR: DeviceClearAcknowledge failed");
        return Step::Failed;
    }
    ++completedClears;
    // The parser learns that the program message it was reading has ended.
    end = InputEnd::DeviceClear;
    return Step::ClearEnded;
}

}  // namespace tarvos
