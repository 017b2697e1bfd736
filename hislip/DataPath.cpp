// The synchronous role's Data, DataEnd and Trigger; the responses of the
// session and their checks.
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "hislip/StatusBits.h"
#include "log/Log.h"

namespace tarvos {

bool SyncChannel::SendInterruptedPair(uint32_t messageId, const char* asyncFailureText, bool quietWhenPeerGone)
{
    LogState* const log = channel_.Log();
    {
        Channel::PeerRef partner(&channel_);
        // Without an asynchronous channel there is nobody to tell; the
        // synchronous channel still gets its Interrupted.
        if (partner && partner->SendMessage(MessageType::AsyncInterrupted, 0, messageId) == Sent::Failed) {
            // This channel ends for the failure of its partner's socket.
            channel_.TakeSocketError(partner->SocketError());
            if (!(quietWhenPeerGone && partner->Discarding())) {
                LogError(log, "%s", asyncFailureText);
            }
            return false;
        }
    }
    if (channel_.SendMessage(MessageType::Interrupted, 0, messageId) == Sent::Failed) {
        LogError(log, "ERROR: in sending Interrupted");
        return false;
    }
    return true;
}

Step SyncChannel::HandleData()
{
    const MessageHeader& header = channel_.Header();
    const uint32_t messageId = header.messageParameter;
    // A release that waited for this message takes effect with it; its
    // responses go out once the session's lock is left, on the partner
    // (pinned only then: most messages release nothing).
    const Session::Arrival arrival = channel_.OwnSession()->MessageArrived(
        messageId, header.controlCode == kRmtDelivered, channel_.DiscardFlag(), channel_.Owner().lockTable);
    if (arrival.released.exclusive || arrival.released.shared) {
        Channel::PeerRef partner(&channel_);
        if (partner) {
            partner->Async().ReportAfterwards(arrival.released);
        }
    }
    if (arrival.requestDue) {
        SendDueServiceRequest();
    }
    if (arrival.interrupted && !SendInterruptedPair(messageId, "ERROR: in sending Interrupted", false)) {
        return Step::Failed;
    }
    return Step::GoOn;
}

Answered SyncChannel::SendResponseEnd(const void* data, uint32_t length)
{
    Session* const session = channel_.OwnSession();
    if (session == nullptr) {
        LogVerbose(channel_.Log(), "INFO: message discarded");
        return Answered::Dropped;
    }
    const Session::Booking booking = session->BookFinal(
        channel_.Header().messageParameter, [this] { return channel_.Discarding(); },
        [this] { return ResponseIsLate(); });
    if (booking.outcome == Session::Booked::Discarded) {
        return Answered::Dropped;
    }
    if (booking.requestDue) {
        SendDueServiceRequest();
    }
    if (booking.outcome == Session::Booked::Late) {
        return SendInterruptedPair(booking.firstId, "ERROR: in sending AsyncInterrupted", true) ? Answered::Dropped
                                                                                          : Answered::Failed;
    }
    if (data == nullptr) {
        length = 0;
    }
    uint8_t headers[1][kHeaderSize];
    EncodeHeader(headers[0], static_cast<uint8_t>(MessageType::DataEnd), 0, booking.firstId, length);
    platform::SendSlice slices[2] = {{headers[0], kHeaderSize}, {data, length}};
    OutgoingMessages messages {headers, slices, 1};
    return WriterResult(SendResponseMessages(messages));
}

bool SyncChannel::ResponseIsLate()
{
    // Only synchronized mode knows late responses (the session asks only
    // then): new input, already waiting or partly read, means the client has
    // moved on. Input already received is seen without asking the socket.
    return channel_.HoldsUnreadInput() || lookAhead.HoldsInput() || InputPending(channel_.Socket());
}

bool SyncChannel::ClaimDataParts(uint32_t parts, uint32_t& firstId, bool& countIds, bool lateCheck)
{
    Session* const session = channel_.OwnSession();
    if (session == nullptr) {
        for (uint32_t i = 0; i < parts; ++i) {
            LogVerbose(channel_.Log(), "INFO: message discarded");
        }
        return false;
    }
    const Session::Booking booking = session->BookParts(
        parts, channel_.Header().messageParameter, lateCheck, [this] { return channel_.Discarding(); },
        [this] { return ResponseIsLate(); });
    if (booking.outcome != Session::Booked::Sent) {
        return false;
    }
    if (booking.requestDue) {
        SendDueServiceRequest();
    }
    firstId = booking.firstId;
    countIds = booking.countIds;
    return true;
}

Answered SyncChannel::SendResponseParts(const platform::SendSlice* parts, uint32_t count)
{
    if (count == 0) {
        return Answered::Sent;
    }
    if (count > kMaxResponseParts) {
        return Answered::Failed;
    }
    uint32_t firstId = 0;
    bool countIds = false;
    if (!ClaimDataParts(count, firstId, countIds, true)) {
        return Answered::Dropped;
    }
    uint8_t headers[kMaxResponseParts][kHeaderSize];
    platform::SendSlice slices[2 * kMaxResponseParts];
    for (uint32_t i = 0; i < count; ++i) {
        const auto n = static_cast<uint32_t>(parts[i].length);
        EncodeHeader(headers[i], static_cast<uint8_t>(MessageType::Data), 0, countIds ? firstId + 2 * i : firstId, n);
        slices[2 * i] = {headers[i], kHeaderSize};
        slices[2 * i + 1] = parts[i];
    }
    OutgoingMessages messages {headers, slices, count};
    return WriterResult(SendResponseMessages(messages));
}

Sent SyncChannel::SendResponseMessages(OutgoingMessages& messages)
{
    if (ResponseDecorator* const decorator = channel_.Hooks().Decorator(); decorator != nullptr) {
        return decorator->Send(messages, channel_);
    }
    return channel_.SendMessages(messages, true);
}

}  // namespace tarvos
