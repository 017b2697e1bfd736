#include "instrument/FaultFilter.h"

#include "log/Log.h"

namespace tarvos {

void FaultFilter::NoteClears()
{
    // A response during the clear is dropped anyway, and the clear's end
    // disarms whatever was armed before or during it.
    const uint32_t clears = channel_.CompletedClears();
    if (clears == seenClears_) {
        return;
    }
    seenClears_ = clears;
    if (armed_.Any()) {
        LogVerbose(channel_.Log(), "Socket[%X]: INFO: Faults disarmed by device clear", channel_.TraceNumber());
    }
    armed_ = Faults();
}

void FaultFilter::ArmSplit(uint32_t size)
{
    NoteClears();
    armed_.split = size;
}

void FaultFilter::ArmDelay(uint32_t ms)
{
    NoteClears();
    armed_.delay = true;
    armed_.delayMs = ms;
}

void FaultFilter::ArmDrop()
{
    NoteClears();
    armed_.drop = true;
}

void FaultFilter::ArmStaleId()
{
    NoteClears();
    armed_.staleId = true;
}

void FaultFilter::ArmPace(uint32_t us)
{
    channel_.Features().PaceSession(us);
}

bool FaultFilter::Clear()
{
    NoteClears();
    const bool any = armed_.Any() || channel_.Features().Paced();
    armed_ = Faults();
    channel_.Features().PaceSession(TestFeatures::kNoPace);
    return any;
}

void FaultFilter::Reset()
{
    armed_ = Faults();
    seenClears_ = channel_.CompletedClears();
    exempt_ = false;
    End();
}

std::string FaultFilter::Armed()
{
    NoteClears();
    std::string names;
    auto add = [&](bool on, const char* name) {
        if (on) {
            names += names.empty() ? "" : ",";
            names += name;
        }
    };
    add(armed_.split != 0, "SPLIT");
    add(armed_.delay, "DELAY");
    add(armed_.drop, "DROP");
    add(armed_.staleId, "MSGID");
    add(channel_.Features().Paced(), "SLOW");
    return names.empty() ? "NONE" : names;
}

void FaultFilter::Idle()
{
    exempt_ = false;
    if (inResponse_) {
        End();
    }
}

void FaultFilter::Begin()
{
    NoteClears();
    if (inResponse_) {
        return;
    }
    inResponse_ = true;
    if (exempt_) {
        current_ = Faults();
        return;
    }
    current_ = armed_;
    armed_ = Faults();
    if (current_.delay) {
        // As SLEEP: a device clear, the server's stop or the client's hang-up
        // ends the wait.
        if (channel_.WaitWhileClientStays(current_.delayMs, channel_.ClearEvent(), channel_.StopEvent()).By(0)) {
            LogVerbose(channel_.Log(), "Socket[%X]: INFO: Fault DELAY aborted due to DeviceClear",
                       channel_.TraceNumber());
        }
    }
}

void FaultFilter::End()
{
    inResponse_ = false;
    exempt_ = false;
    current_ = Faults();
    cutNow_ = false;
    std::string().swap(pending_);
    // The next response takes the plain way unless it is aimed otherwise.
    channel_.Features().DecorateResponses(nullptr);
}

ResponseWriter& FaultFilter::Aim()
{
    cutNow_ = current_.drop;
    current_.drop = false;
    const bool changes = current_.staleId || cutNow_ || exempt_;
    channel_.Features().DecorateResponses(changes ? this : nullptr);
    return channel_;
}

Sent FaultFilter::Send(OutgoingMessages& messages, ResponseOutlet& plain)
{
    if (current_.staleId) {
        // Each message names the client's message before the one it answers.
        for (uint32_t i = 0; i < messages.count; ++i) {
            const MessageHeader booked = DecodeHeader(messages.headers[i]);
            EncodeHeader(messages.headers[i], booked.messageType, booked.controlCode, booked.messageParameter - 2,
                         static_cast<uint32_t>(booked.payloadLength));
        }
    }
    if (cutNow_) {
        cutNow_ = false;
        return Cut(messages, plain);
    }
    // The answer of DIAG:FAULT? leaves at full speed even in a paced session.
    return plain.SendMessages(messages, !exempt_);
}

Sent FaultFilter::Cut(const OutgoingMessages& messages, ResponseOutlet& plain)
{
    const uint32_t count = 2 * messages.count;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        total += messages.slices[i].length;
    }
    // The client reads a message that then stops short.
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
        const size_t n = messages.slices[i].length < left ? messages.slices[i].length : static_cast<size_t>(left);
        kept[used++] = {messages.slices[i].data, n};
        left -= n;
    }
    plain.TraceMessages(messages);
    const long sent = plain.SendBytes(kept, used);
    LogVerbose(plain.Log(), "Socket[%X]: INFO: Fault DROP: %ld of %llu bytes sent, session shut down",
               plain.TraceNumber(), sent, static_cast<unsigned long long>(total));
    plain.ShutDownSession();
    return sent < 0 ? Sent::Failed : Sent::Short;
}

Answered FaultFilter::SendPending(size_t upto, bool lateCheck)
{
    const size_t size = current_.split;
    Answered result = Answered::Sent;
    size_t offset = 0;
    // The parts of a file answer stop once nobody takes them; those of a
    // joined response go on, each checked on its own.
    while (offset < upto && (result == Answered::Sent || (result == Answered::Dropped && !lateCheck))) {
        if (!lateCheck) {
            result = Aim().SendResponsePart(pending_.data() + offset, static_cast<uint32_t>(size));
            offset += size;
            continue;
        }
        platform::SendSlice parts[kMaxResponseParts];
        uint32_t count = 0;
        for (; count < kMaxResponseParts && offset < upto; ++count, offset += size) {
            parts[count] = {pending_.data() + offset, size};
        }
        result = Aim().SendResponseParts(parts, count);
    }
    return result;
}

Answered FaultFilter::SendResponseEnd(const void* data, uint32_t length)
{
    Begin();
    if (current_.split == 0) {
        const Answered result = Aim().SendResponseEnd(data, length);
        End();
        return result;
    }
    pending_.append(static_cast<const char*>(data), length);
    // Every full message but the last leaves as Data; the last one, with the
    // rest, as DataEnd.
    const size_t size = current_.split;
    const size_t rest = pending_.size() % size;
    const size_t last = pending_.empty() ? 0 : (rest == 0 ? size : rest);
    Answered result = SendPending(pending_.size() - last, true);
    // Parts that nobody takes leave the decision to the final part, as for a
    // file answer: dropped in a device clear, Interrupted when late.
    if (GoesOn(result)) {
        result = Aim().SendResponseEnd(pending_.data() + pending_.size() - last, static_cast<uint32_t>(last));
    }
    End();
    return result;
}

Answered FaultFilter::SendResponsePart(const void* data, uint32_t length)
{
    Begin();
    if (current_.split == 0) {
        return Aim().SendResponsePart(data, length);
    }
    pending_.append(static_cast<const char*>(data), length);
    const size_t full = pending_.size() - pending_.size() % current_.split;
    const Answered result = SendPending(full, false);
    pending_.erase(0, full);
    return result;
}

Answered FaultFilter::SendResponseParts(const platform::SendSlice* parts, uint32_t count)
{
    Begin();
    if (current_.split == 0) {
        return Aim().SendResponseParts(parts, count);
    }
    for (uint32_t i = 0; i < count; ++i) {
        pending_.append(static_cast<const char*>(parts[i].data), parts[i].length);
    }
    const size_t full = pending_.size() - pending_.size() % current_.split;
    const Answered result = SendPending(full, true);
    if (result == Answered::Dropped) {
        pending_.clear();
    } else {
        pending_.erase(0, full);
    }
    return result;
}

}  // namespace tarvos
