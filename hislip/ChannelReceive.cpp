// The receive loop of a channel: headers, control messages, payload delivery.
#include <cstring>

#include "common/EscapeForLog.h"
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kSubAddressLimit = 256;
// The log cuts every line at 1999 characters; more of an error text is never shown.
constexpr uint64_t kErrorTextLimit = 2000;
const char kTooManyConnections[] = "Too many connections";

}  // namespace

Taken Channel::ReadChannel(uint8_t* buffer, uint64_t count, InputEnd& end)
{
    end = InputEnd::None;
    // Nothing asked for: reported as one byte taken, so that no caller takes
    // it for an end of the input.
    if (count == 0) {
        return Taken::Bytes(1);
    }
    for (;;) {
        if (remaining != 0 && !discard) {
            return DeliverPayload(buffer, count, end);
        }
        Step step;
        if (remaining != 0) {
            step = DiscardUnread();
        } else {
            step = ReadHeader();
            if (step == Step::GoOn) {
                step = DispatchMessage(end);
            }
        }
        switch (step) {
        case Step::GoOn:
            break;
        case Step::Closed:
            return Taken::Without(Input::Closed);
        case Step::Failed:
            return Taken::Without(Input::Failed);
        case Step::ClearEnded:
            return Taken::Without(Input::ClearEnded);
        case Step::ProgramEnded:
            return Taken::Without(Input::ProgramEnded);
        }
    }
}

Step Channel::ReadHeader()
{
    uint8_t wire[kHeaderSize];
    // Each message starts with a clean error, so that a protocol violation is
    // not reported with the error of an earlier call.
    socketError = 0;
    const ReceiveStatus got = input.Take(wire, kHeaderSize);
    if (got == ReceiveStatus::Closed) {
        discard = true;
        return Step::Closed;
    }
    if (got == ReceiveStatus::Failed) {
        LogError(log, "ERROR: Connection error %d", SaveSocketError());
        return Step::Failed;
    }
    if (wire[0] != kPrologue0 || wire[1] != kPrologue1) {
        LogError(log, "ERROR: Invalid Prologue");
        return Step::Failed;
    }
    if (isSync && !WaitForLockAccess()) {
        // The server stops, or the client hung up, while this channel waited
        // for a lock.
        discard = true;
        return Step::Closed;
    }
    header = DecodeHeader(wire);
    remaining = header.payloadLength;
    LogVerbose(log, "Socket[%X] >> %s,%u,%x,len=%d", platform::TraceNumber(Socket()),
               MessageTypeName(header.messageType), static_cast<unsigned>(header.controlCode),
               header.messageParameter, static_cast<int>(static_cast<uint32_t>(header.payloadLength)));
    return Step::GoOn;
}

Step Channel::DispatchMessage(InputEnd& end)
{
    Step step;
    switch (static_cast<MessageType>(header.messageType)) {
    case MessageType::Initialize:
        step = HandleInitialize();
        break;
    case MessageType::FatalError:
        step = HandleError(true);
        break;
    case MessageType::Error:
        step = HandleError(false);
        break;
    case MessageType::AsyncLock:
        step = HandleAsyncLock();
        break;
    case MessageType::Data:
    case MessageType::DataEnd:
    case MessageType::Trigger:
        step = HandleData();
        break;
    case MessageType::DeviceClearComplete:
        step = HandleDeviceClearComplete(end);
        break;
    case MessageType::AsyncRemoteLocalControl:
        step = HandleAsyncRemoteLocalControl();
        break;
    case MessageType::MaximumMessageSize:
        step = HandleMaximumMessageSize();
        break;
    case MessageType::AsyncInitialize:
        step = HandleAsyncInitialize();
        break;
    case MessageType::AsyncDeviceClear:
        step = HandleAsyncDeviceClear();
        break;
    case MessageType::AsyncStatusQuery:
        step = HandleAsyncStatusQuery();
        break;
    case MessageType::AsyncLockInfo:
        step = HandleAsyncLockInfo();
        break;
    default:
        LogError(log, "ERROR: Undefined MessageType %u", static_cast<unsigned>(header.messageType));
        return Step::Failed;
    }
    if (step == Step::Closed || step == Step::Failed) {
        return step;
    }
    // Only Data and DataEnd carry program bytes; whatever payload a control
    // case left unread never reaches the parser. The end of a device clear
    // is no failure: the case's unread payload is thrown away first too.
    const bool programBytes = header.messageType == static_cast<uint8_t>(MessageType::Data) ||
                              header.messageType == static_cast<uint8_t>(MessageType::DataEnd);
    if (remaining != 0 && !programBytes) {
        const Step rest = DiscardUnread();
        if (rest != Step::GoOn) {
            return rest;
        }
    }
    if (step == Step::ClearEnded) {
        programInProgress = false;
        return step;
    }
    // An empty DataEnd ends a program message whose bytes came in Data
    // messages; alone it is nothing.
    if (header.messageType == static_cast<uint8_t>(MessageType::DataEnd) && remaining == 0 && programInProgress &&
        !discard) {
        programInProgress = false;
        end = InputEnd::Message;
        return Step::ProgramEnded;
    }
    return step;
}

Taken Channel::DeliverPayload(uint8_t* buffer, uint64_t count, InputEnd& end)
{
    if (buffer == nullptr) {
        LogError(log, "ERROR: buf == NULL");
        return Taken::Without(Input::Failed);
    }
    const uint64_t n = count < remaining ? count : remaining;
    switch (ReceivePayload(buffer, n)) {
    case Step::GoOn:
        break;
    case Step::Closed:
        return Taken::Without(Input::Closed);
    default:
        return Taken::Without(Input::Failed);
    }
    const bool ends = header.messageType == static_cast<uint8_t>(MessageType::DataEnd) && remaining == 0;
    programInProgress = !ends;
    if (ends) {
        end = InputEnd::Message;
    }
    return Taken::Bytes(n);
}

Step Channel::DiscardPayload()
{
    const ReceiveStatus skipped = input.Skip(remaining);
    if (skipped == ReceiveStatus::Failed) {
        SaveSocketError();
        LogError(log, "ERROR: unexpected socket error");
    }
    if (skipped == ReceiveStatus::Done) {
        remaining = 0;
    }
    return StepOf(skipped);
}

Step Channel::DiscardUnread()
{
    LogVerbose(log, "Socket[%X] >> Discard %u data bytes", platform::TraceNumber(Socket()),
               static_cast<unsigned>(remaining));
    return DiscardPayload();
}

Step Channel::RefuseSequence(const std::string& what)
{
    LogError(log, "%s", what.c_str());
    SendProtocolError(true, kFatalInvalidSequence);
    return Step::Failed;
}

Step Channel::RefuseProgramMessage()
{
    LogError(log, "ERROR: %s on the asynchronous channel refused", MessageTypeName(header.messageType));
    const Step rest = DiscardUnread();
    if (rest != Step::GoOn) {
        return rest;
    }
    if (SendProtocolError(false, kErrorUnrecognizedType) == Sent::Failed) {
        LogError(log, "ERROR: in sending Error");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step Channel::ReceivePayload(uint8_t* buffer, uint64_t n)
{
    if (n == 0) {
        return Step::GoOn;
    }
    const ReceiveStatus got = input.Take(buffer, n);
    if (got != ReceiveStatus::Done) {
        if (got == ReceiveStatus::Failed) {
            SaveSocketError();
            LogError(log, "ERROR: unexpected socket error");
        }
        discard = true;
        return StepOf(got);
    }
    if (VerboseEnabled(log)) {
        LogVerbose(log, "Socket[%X] >> Data (%d): %s", platform::TraceNumber(Socket()), static_cast<int>(n),
                   EscapeForLog(buffer, static_cast<long>(n < kTraceCut ? n : kTraceCut)).c_str());
    }
    remaining -= n;
    return Step::GoOn;
}

Step Channel::ReadPayloadPrefix(std::string& text, uint64_t limit)
{
    const uint64_t wanted = remaining < limit ? remaining : limit;
    text.assign(static_cast<size_t>(wanted), '\0');
    return ReceivePayload(reinterpret_cast<uint8_t*>(text.data()), wanted);
}

Step Channel::HandleInitialize()
{
    // A connection takes one role, once; asking again would take another
    // session slot with every message.
    if (isSync || isAsync) {
        return RefuseSequence("ERROR: Initialize on a channel that is already initialized");
    }
    const unsigned version = header.messageParameter >> 16;
    const unsigned vendor = header.messageParameter & 0xFFFFu;
    subAddress.clear();
    if (remaining != 0) {
        const Step got = ReadPayloadPrefix(subAddress, kSubAddressLimit);
        if (got != Step::GoOn) {
            LogError(log, "ERROR: reading instance ID failed");
            return got;
        }
        LogVerbose(log, "INFO: Initialize: Version %x Vendor %x, subadress=%.*s", version, vendor,
                   static_cast<int>(subAddress.size()), subAddress.c_str());
    } else {
        LogVerbose(log, "INFO: Initialize: Version %x Vendor %x with no subaddress", version, vendor);
    }
    if (engine.settings.singleConnection && engine.clients.ClientConnectionCount() > 1) {
        SendMessage(MessageType::FatalError, kFatalTooManyConnections, 0, sizeof(kTooManyConnections) - 1,
                    kTooManyConnections);
        return Step::Failed;
    }
    isSync = true;
    // The session is made before its ID is given out, so that an
    // asynchronous channel that pairs finds it.
    session = std::make_shared<Session>(log, *errorQueue, engine.liveSessions);
    session->Join(Session::Role::Sync, this);
    // The slot is taken as the answer goes out, so that a client that never
    // finishes its sub-address holds none, and its pairing time starts now.
    const uint16_t sessionId = engine.sessionTable.Allocate(this, platform::PeerAddress(Socket()), platform::NowMs());
    const uint8_t mode = session->ModeFlags();
    if (SendMessage(MessageType::InitializeResponse, mode, (kProtocolVersion << 16) + sessionId) == Sent::Failed) {
        LogError(log, "ERROR: InitializeResponse failed");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step Channel::HandleAsyncInitialize()
{
    if (isSync || isAsync) {
        return RefuseSequence("ERROR: AsyncInitialize on a channel that is already initialized");
    }
    isAsync = true;
    // Only the client that opened the session may complete it.
    const SessionTable::Pairing pairing =
        engine.sessionTable.Take(header.messageParameter, platform::PeerAddress(Socket()), platform::NowMs(),
                                  [this](Channel* sync) { JoinSessionOf(*sync); });
    if (pairing == SessionTable::Pairing::UnknownId) {
        LogError(log, "ERROR: invalid sessionID");
        return Step::Failed;
    }
    if (pairing == SessionTable::Pairing::OtherAddress) {
        return RefuseSequence("ERROR: AsyncInitialize from another client address");
    }
    if (SendMessage(MessageType::AsyncInitializeResponse, 0, kServerVendorId) == Sent::Failed) {
        LogError(log, "ERROR: AsyncInitializeResponse failed");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step Channel::HandleMaximumMessageSize()
{
    {
        PeerRef partner(this);
        if (!partner) {
            LogError(log, "ERROR: MaximumMessageSize no other channel");
            return Step::Failed;
        }
    }
    if (header.payloadLength != 8) {
        LogError(log, "ERROR: MaximumMessageSize no bytes left");
        return Step::Failed;
    }
    uint8_t proposed[8] = {};
    const Step got = ReceivePayload(proposed, 8);
    if (got != Step::GoOn) {
        return got;
    }
    LogVerbose(log, "INFO: MaximumMessageSize is %u", static_cast<unsigned>(ReadBigEndian64(proposed)));
    uint8_t answer[8];
    WriteBigEndian64(answer, kMaxMessageSize);
    Sent sent;
    if (isAsync) {
        Hooks().BeforeAsyncAnswer();
        sent = SendMessage(MessageType::AsyncMaximumMessageSizeResponse, 0, 0, 8, answer);
    } else {
        PeerRef partner(this);
        sent = partner ? partner->SendMessage(MessageType::AsyncMaximumMessageSizeResponse, 0, 0, 8, answer)
                       : Sent::Failed;
        if (sent == Sent::Failed && partner) {
            socketError = partner->SocketError();
        }
    }
    if (sent == Sent::Failed) {
        LogError(log, "ERROR: AsyncMaximumMessageSizeResponse failed");
        return Step::Failed;
    }
    return Step::GoOn;
}

Step Channel::HandleError(bool fatal)
{
    if (fatal) {
        PeerRef partner(this);
        if (partner) {
            platform::ShutdownAndWake(partner->Socket());
            partner->WakeForStop();
        }
    }
    LogError(log, "ERROR: Error message %d:", static_cast<int>(header.messageType));
    if (remaining != 0) {
        std::string text;
        const Step got = ReadPayloadPrefix(text, kErrorTextLimit);
        if (got != Step::GoOn) {
            LogError(log, "ERROR: reading error failed");
            return got;
        }
        LogVerbose(log, "Msg=%.*s", static_cast<int>(text.size()), text.c_str());
        // A client may announce any length; the text beyond what the log can
        // show is thrown away instead of being stored.
        const Step rest = DiscardPayload();
        if (rest != Step::GoOn) {
            return rest;
        }
    }
    return Step::GoOn;
}

}  // namespace tarvos
