// What the test faults of a session need of its channels: protocol errors
// sent on demand, an Interrupted pair at once, a response cut in the middle,
// the session shut down.
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

bool Channel::SignalInterrupted()
{
    const uint32_t messageId = header.messageParameter;
    if (session != nullptr) {
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

Sent Channel::SendResponseMessage(MessageType type, uint32_t messageId, uint32_t length, const void* data,
                                 const ResponseFault& fault)
{
    if (!fault.cut) {
        return SendMessageAs(static_cast<uint8_t>(type), 0, messageId, length, data, !fault.unpaced);
    }
    uint8_t wire[kHeaderSize];
    EncodeHeader(wire, static_cast<uint8_t>(type), 0, messageId, length);
    TraceSend(static_cast<uint8_t>(type), 0, messageId, length, data);
    const platform::SendSlice slices[2] = {{wire, kHeaderSize}, {data, length}};
    return SendCut(slices, 2);
}

Sent Channel::SendCut(const platform::SendSlice* slices, uint32_t count)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        total += slices[i].length;
    }
    // About half, but at least a whole header and a byte of payload, so the
    // client reads a message that then stops short; never all of it.
    uint64_t keep = total / 2;
    if (keep < kHeaderSize + 1) {
        keep = kHeaderSize + 1;
    }
    if (keep >= total) {
        keep = total - 1;
    }
    platform::SendSlice kept[2 * kMaxResponseParts];
    uint32_t used = 0;
    uint64_t left = keep;
    for (uint32_t i = 0; i < count && left > 0 && used < 2 * kMaxResponseParts; ++i) {
        const size_t n = slices[i].length < left ? slices[i].length : static_cast<size_t>(left);
        kept[used++] = {slices[i].data, n};
        left -= n;
    }
    long sent;
    {
        platform::MutexLock sending(sendLock);
        sent = platform::SendSlices(Socket(), kept, used);
    }
    LogVerbose(log, "Socket[%X]: INFO: Fault DROP: %ld of %llu bytes sent, session shut down",
               platform::TraceNumber(Socket()), sent, static_cast<unsigned long long>(total));
    ShutDownSession();
    return sent < 0 ? Sent::Failed : Sent::Short;
}

}  // namespace tarvos
