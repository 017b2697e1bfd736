// Data, DataEnd and Trigger; the responses of the session and their checks.
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "hislip/StatusBits.h"
#include "log/Log.h"

namespace tarvos {

namespace {

const char kInterruptedEntry[] = "-410,\"Query INTERRUPTED\"";

}  // namespace

void Channel::QueueInterrupted()
{
    errorQueue->PushError(kInterruptedEntry);
    expectRmtDelivered = false;
    mav = false;
    SetStatusLocked(static_cast<uint8_t>(statusByte | kErrorQueueBit), srEnable);
}

bool Channel::SendInterruptedPair(uint32_t messageId, const char* asyncFailureText, bool quietWhenPeerGone)
{
    {
        PeerRef partner(this);
        // Without an asynchronous channel there is nobody to tell; the
        // synchronous channel still gets its Interrupted.
        if (partner && partner->SendMessage(MessageType::AsyncInterrupted, 0, messageId) == Sent::Failed) {
            // This channel ends for the failure of its partner's socket.
            socketError = partner->SocketError();
            if (!(quietWhenPeerGone && partner->discard)) {
                LogError(log, "%s", asyncFailureText);
            }
            return false;
        }
    }
    if (SendMessage(MessageType::Interrupted, 0, messageId) == Sent::Failed) {
        LogError(log, "ERROR: in sending Interrupted");
        return false;
    }
    return true;
}

Step Channel::HandleData()
{
    if (isAsync) {
        return RefuseProgramMessage();
    }
    if (!isSync) {
        return RefuseSequence(std::string("ERROR: ") + MessageTypeName(header.messageType) + " before Initialize refused");
    }
    uint32_t messageId;
    bool interrupted = false;
    LockTable::Afterwards released;
    PeerRef partner(this);
    {
        ScopedLock guard(lock);
        messageId = header.messageParameter;
        if (messageId != lastMessageId + 2) {
            LogError(log, "WARNING: unexpected MessageID");
        }
        lastMessageId = messageId;
        // A release that waited for this message takes effect now (its
        // responses go out once this channel's lock is left).
        if (partner) {
            released = engine.lockTable.MessageArrived(partner.get(), messageId);
        }
        if (!discard && !overlapped) {
            if (header.controlCode == kRmtDelivered) {
                if (!expectRmtDelivered) {
                    LogError(log, "ERROR: RMT_delivered not expected");
                }
                LogVerbose(log, "INFO: ExpectRMTdelivered = false");
                expectRmtDelivered = false;
                mav = false;
            }
            if (expectRmtDelivered) {
                LogVerbose(log, "INFO: Interrupted Error, ExpectRMTdelivered = false");
                QueueInterrupted();
                interrupted = true;
            }
        }
    }
    if (partner) {
        partner->ReportAfterwards(released);
    }
    SendDueServiceRequest();
    if (interrupted && !SendInterruptedPair(messageId, "ERROR: in sending Interrupted", false)) {
        return Step::Failed;
    }
    return Step::GoOn;
}

Answered Channel::SendResponseEnd(const void* data, uint32_t length, const ResponseFault& fault)
{
    uint32_t messageId;
    bool late = false;
    {
        ScopedLock guard(lock);
        if (discard) {
            LogVerbose(log, "INFO: message discarded");
            return Answered::Dropped;
        }
        late = ResponseIsLate();
        if (late) {
            messageId = header.messageParameter;
            LogVerbose(log, "INFO: Parser detects Interrupted Error, ExpectRMTdelivered = false");
            QueueInterrupted();
        } else {
            expectRmtDelivered = true;
            LogVerbose(log, "INFO: ExpectRMTdelivered = true");
            SetMavLocked(true);
            responseSent = true;
            messageId = TakeResponseIds(1, fault.staleId);
        }
    }
    SendDueServiceRequest();
    if (late) {
        return SendInterruptedPair(messageId, "ERROR: in sending AsyncInterrupted", true) ? Answered::Dropped
                                                                                          : Answered::Failed;
    }
    return WriterResult(SendResponseMessage(MessageType::DataEnd, messageId, length, data, fault));
}

bool Channel::ResponseIsLate()
{
    // Only synchronized mode knows late responses: new input, already waiting or
    // partly read, means the client has moved on. Input already received is
    // seen without asking the socket.
    return !overlapped &&
           (input.Held() != 0 || remaining != 0 || lookAhead.HoldsInput() || InputPending(Socket()));
}

bool Channel::ClaimDataParts(uint32_t parts, uint32_t& firstId, bool& countIds, bool lateCheck, bool staleId)
{
    const bool claimed = BookDataParts(parts, firstId, countIds, lateCheck, staleId);
    SendDueServiceRequest();
    return claimed;
}

bool Channel::BookDataParts(uint32_t parts, uint32_t& firstId, bool& countIds, bool lateCheck, bool staleId)
{
    ScopedLock guard(lock);
    if (discard) {
        for (uint32_t i = 0; i < parts; ++i) {
            LogVerbose(log, "INFO: message discarded");
        }
        return false;
    }
    if (lateCheck && ResponseIsLate()) {
        // One line for each part that will never leave.
        for (uint32_t i = 0; i < parts; ++i) {
            LogVerbose(log, "INFO: abort output due to Interrupted Error");
        }
        return false;
    }
    responseSent = true;
    SetMavLocked(true);
    countIds = overlapped;
    firstId = TakeResponseIds(parts, staleId);
    return true;
}

uint32_t Channel::TakeResponseIds(uint32_t parts, bool staleId)
{
    // Synchronized mode answers with the MessageID of the message answered;
    // overlapped mode numbers its response messages itself.
    uint32_t first = header.messageParameter;
    if (overlapped) {
        first = lastResponseId + 2;
        lastResponseId += 2 * parts;
    }
    // A stale-ID fault names the message before.
    return staleId ? first - 2 : first;
}

Answered Channel::SendResponseParts(const platform::SendSlice* parts, uint32_t count, const ResponseFault& fault)
{
    if (count == 0) {
        return Answered::Sent;
    }
    if (count > kMaxResponseParts) {
        return Answered::Failed;
    }
    uint32_t firstId = 0;
    bool countIds = false;
    if (!ClaimDataParts(count, firstId, countIds, true, fault.staleId)) {
        return Answered::Dropped;
    }
    auto idOf = [&](uint32_t i) { return countIds ? firstId + 2 * i : firstId; };
    if (!fault.cut && SendsBytewise(!fault.unpaced)) {
        // Byte by byte there is nothing to gather.
        Sent result = Sent::Whole;
        for (uint32_t i = 0; i < count && result == Sent::Whole; ++i) {
            result = SendMessageAs(static_cast<uint8_t>(MessageType::Data), 0, idOf(i),
                                   static_cast<uint32_t>(parts[i].length), parts[i].data, !fault.unpaced);
        }
        return WriterResult(result);
    }
    uint8_t headers[kMaxResponseParts][kHeaderSize];
    platform::SendSlice slices[2 * kMaxResponseParts];
    uint64_t payload = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const auto n = static_cast<uint32_t>(parts[i].length);
        EncodeHeader(headers[i], static_cast<uint8_t>(MessageType::Data), 0, idOf(i), n);
        slices[2 * i] = {headers[i], kHeaderSize};
        slices[2 * i + 1] = parts[i];
        payload += n;
    }
    auto traceParts = [&] {
        for (uint32_t i = 0; i < count; ++i) {
            TraceSend(static_cast<uint8_t>(MessageType::Data), 0, idOf(i), static_cast<uint32_t>(parts[i].length),
                      parts[i].data);
        }
    };
    if (fault.cut) {
        traceParts();
        return WriterResult(SendCut(slices, 2 * count));
    }
    platform::MutexLock sending(sendLock);
    traceParts();
    const long expected = static_cast<long>(count * kHeaderSize + payload);
    const long sent = platform::SendSlices(Socket(), slices, 2 * count);
    // Reported as for the last part: short when the socket took less than all.
    if (sent == expected) {
        return Answered::Sent;
    }
    return WriterResult(SendOutcome(sent, expected, static_cast<uint32_t>(payload)));
}

}  // namespace tarvos
