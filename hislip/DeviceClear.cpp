// The device-clear handshake across both channels of a session.
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

uint8_t Channel::ModeFlags()
{
    ScopedLock guard(lock);
    return overlapped ? kOverlapped : 0;
}

void Channel::StartDiscard()
{
    ScopedLock guard(lock);
    LogVerbose(log, "INFO: Discard messages, ExpectRMTdelivered=false...");
    if (discard) {
        LogError(log, "ERROR: Discard messages already set");
    }
    expectRmtDelivered = false;
    mav = false;
    discard = true;
    clearEvent.Set();
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
        partner->StartDiscard();
        Hooks().On(ChannelHooks::Event::ClearBegins);
        Hooks().BeforeAsyncAnswer();
        mode = partner->ModeFlags();
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
    uint8_t mode;
    {
        ScopedLock guard(lock);
        discard = false;
        expectRmtDelivered = false;
        mav = false;
        lastMessageId = kMessageIdBeforeFirst;
        lastResponseId = kMessageIdBeforeFirst;
        overlapped = (header.controlCode & kOverlapped) != 0;
        responseSent = false;
        clearEvent.Reset();
        mode = overlapped ? kOverlapped : 0;
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
