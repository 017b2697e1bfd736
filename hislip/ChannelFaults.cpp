// What the test faults of a session need of its channels: protocol errors
// sent on demand, an Interrupted pair at once, the session shut down.
#include "hislip/Channel.h"
#include "hislip/ProtocolErrors.h"
#include "log/Log.h"

namespace tarvos {

Sent Channel::SendProtocolError(bool fatal, uint8_t code)
{
    const char* text = ProtocolErrorText(fatal, code);
    return SendMessage(fatal ? MessageType::FatalError : MessageType::Error, code, 0,
                       static_cast<uint32_t>(std::char_traits<char>::length(text)), text);
}

bool SyncChannel::SignalInterrupted()
{
    const uint32_t messageId = channel_.Header().messageParameter;
    if (Session* const session = channel_.OwnSession(); session != nullptr) {
        session->Interrupt();
    }
    SendDueServiceRequest();
    return SendInterruptedPair(messageId, "ERROR: in sending AsyncInterrupted", true);
}

void Channel::ShutDownSession()
{
    platform::ShutdownAndWake(Socket());
    PeerRef partner(this);
    if (partner) {
        platform::ShutdownAndWake(partner->Socket());
        partner->WakeForStop();
    }
}

}  // namespace tarvos
