// The receive loop of a channel: headers, control messages, payload delivery.
#include <cstring>

#include "common/EscapeForLog.h"
#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"

namespace tarvos {

namespace {

// The log cuts every line at 1999 characters; more of an error text is never shown.
constexpr uint64_t kErrorTextLimit = 2000;

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
    if (isSync && !sync_.WaitForLockAccess()) {
        // The server stops, or the client hung up, while this channel waited
        // for a lock.
        discard = true;
        return Step::Closed;
    }
    header = DecodeHeader(wire);
    remaining = header.payloadLength;
    if (VerboseEnabled(log)) {
        LogVerbose(log, "Socket[%X] >> %s,%u,%x,len=%d", platform::TraceNumber(Socket()),
                   MessageTypeName(header.messageType), static_cast<unsigned>(header.controlCode),
                   header.messageParameter, static_cast<int>(static_cast<uint32_t>(header.payloadLength)));
    }
    return Step::GoOn;
}

Step Channel::DispatchMessage(InputEnd& end)
{
    Step step;
    // The messages of one role that the other role has no refusal for are
    // handled by that role whichever role the connection took; their cases
    // check for the session and the partner they need.
    switch (static_cast<MessageType>(header.messageType)) {
    case MessageType::Initialize:
        step = sync_.HandleInitialize();
        break;
    case MessageType::FatalError:
        step = HandleError(true);
        break;
    case MessageType::Error:
        step = HandleError(false);
        break;
    case MessageType::AsyncLock:
        step = HandleLockMessage();
        break;
    case MessageType::Data:
    case MessageType::DataEnd:
    case MessageType::Trigger:
        step = HandleProgramMessage();
        break;
    case MessageType::DeviceClearComplete:
        step = sync_.HandleDeviceClearComplete(end);
        break;
    case MessageType::AsyncRemoteLocalControl:
        step = async_.HandleAsyncRemoteLocalControl();
        break;
    case MessageType::MaximumMessageSize:
        step = HandleMaximumMessageSize();
        break;
    case MessageType::AsyncInitialize:
        step = async_.HandleAsyncInitialize();
        break;
    case MessageType::AsyncDeviceClear:
        step = async_.HandleAsyncDeviceClear();
        break;
    case MessageType::AsyncStatusQuery:
        step = async_.HandleAsyncStatusQuery();
        break;
    case MessageType::AsyncLockInfo:
        step = async_.HandleAsyncLockInfo();
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
        sync_.SetInProgram(false);
        return step;
    }
    // An empty DataEnd ends a program message whose bytes came in Data
    // messages; alone it is nothing.
    if (header.messageType == static_cast<uint8_t>(MessageType::DataEnd) && remaining == 0 && sync_.InProgram() &&
        !discard) {
        sync_.SetInProgram(false);
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
    sync_.SetInProgram(!ends);
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

Step Channel::HandleProgramMessage()
{
    if (isAsync) {
        return RefuseProgramMessage();
    }
    if (!isSync) {
        return RefuseSequence(std::string("ERROR: ") + MessageTypeName(header.messageType) + " before Initialize refused");
    }
    return sync_.HandleData();
}

Step Channel::HandleLockMessage()
{
    if (isAsync) {
        return async_.HandleAsyncLock();
    }
    Hooks().BeforeAsyncAnswer();
    return RefuseLock();
}

Step Channel::RefuseLock()
{
    // Only the asynchronous channel of a complete session holds locks; a
    // release elsewhere has nothing to give back.
    if (header.controlCode != kLockRelease) {
        const Step rest = DiscardPayload();
        if (rest != Step::GoOn) {
            return rest;
        }
    }
    SendMessage(MessageType::AsyncLockResponse, static_cast<uint8_t>(LockResponse::Failure), 0);
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
