// The receive loop of a channel: headers, control messages, payload delivery.
#include <climits>
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

long Channel::ReadChannel(uint8_t* buffer, uint64_t count, InputEnd& end)
{
    end = InputEnd::None;
    if (count == 0) {
        return 1;
    }
    uint64_t delivered = 0;
    while (count != 0) {
        if (remaining == 0) {
            uint8_t wire[kHeaderSize];
            // Each message starts with a clean error, so that a protocol
            // violation is not reported with the error of an earlier call.
            socketError = 0;
            const ReceiveStatus got = input.Take(wire, kHeaderSize);
            if (got == ReceiveStatus::Closed) {
                discard = true;
                return 0;
            }
            if (got == ReceiveStatus::Failed) {
                LogError(log, "ERROR: Connection error %d", SaveSocketError());
                return -1;
            }
            if (wire[0] != kPrologue0 || wire[1] != kPrologue1) {
                LogError(log, "ERROR: Invalid Prologue");
                return -1;
            }
            if (isSync && !WaitForLockAccess()) {
                // The server stops, or the client hung up, while this channel
                // waited for a lock.
                discard = true;
                return 0;
            }
            header = DecodeHeader(wire);
            remaining = header.payloadLength;
            LogVerbose(log, "Socket[%X] >> %s,%u,%x,len=%d", platform::TraceNumber(Socket()),
                       MessageTypeName(header.messageType), static_cast<unsigned>(header.controlCode),
                       header.messageParameter, static_cast<int>(static_cast<uint32_t>(header.payloadLength)));

            long result = kGoOn;
            switch (static_cast<MessageType>(header.messageType)) {
            case MessageType::Initialize:
                result = HandleInitialize();
                break;
            case MessageType::FatalError:
                result = HandleError(true);
                break;
            case MessageType::Error:
                result = HandleError(false);
                break;
            case MessageType::AsyncLock:
                result = HandleAsyncLock();
                break;
            case MessageType::Data:
            case MessageType::DataEnd:
            case MessageType::Trigger:
                result = HandleData();
                break;
            case MessageType::DeviceClearComplete:
                result = HandleDeviceClearComplete(end);
                break;
            case MessageType::AsyncRemoteLocalControl:
                result = HandleAsyncRemoteLocalControl();
                break;
            case MessageType::MaximumMessageSize:
                result = HandleMaximumMessageSize();
                break;
            case MessageType::AsyncInitialize:
                result = HandleAsyncInitialize();
                break;
            case MessageType::AsyncDeviceClear:
                result = HandleAsyncDeviceClear();
                break;
            case MessageType::AsyncStatusQuery:
                result = HandleAsyncStatusQuery();
                break;
            case MessageType::AsyncLockInfo:
                result = HandleAsyncLockInfo();
                break;
            default:
                LogError(log, "ERROR: Undefined MessageType %u", static_cast<unsigned>(header.messageType));
                return -1;
            }
            // The end of a device clear is no failure: the case's unread
            // payload is thrown away first, as after any other case.
            if (result != kGoOn && result <= 0 && result != kDeviceClearEnd) {
                return result;
            }
            // Only Data and DataEnd carry program bytes; whatever payload a
            // control case left unread never reaches the parser.
            const bool programBytes = header.messageType == static_cast<uint8_t>(MessageType::Data) ||
                                      header.messageType == static_cast<uint8_t>(MessageType::DataEnd);
            if (remaining != 0 && !programBytes) {
                const long rest = DiscardUnread();
                if (rest <= 0) {
                    return rest;
                }
            }
            if (result != kGoOn) {
                return result;
            }
            continue;
        }

        if (discard) {
            const long rest = DiscardUnread();
            if (rest <= 0) {
                return rest;
            }
            continue;
        }
        if (buffer == nullptr) {
            LogError(log, "ERROR: buf == NULL");
            return -1;
        }
        const long got = ReceivePayload(buffer + delivered, count);
        if (got <= 0) {
            return got;
        }
        count -= static_cast<uint64_t>(got);
        delivered += static_cast<uint64_t>(got);
        if (remaining == 0) {
            if (header.messageType == static_cast<uint8_t>(MessageType::DataEnd)) {
                end = InputEnd::Message;
            }
            break;
        }
    }
    return delivered != 0 ? static_cast<long>(delivered) : 1;
}

long Channel::DiscardPayload()
{
    const ReceiveStatus skipped = input.Skip(remaining);
    if (skipped != ReceiveStatus::Done) {
        if (skipped == ReceiveStatus::Failed) {
            SaveSocketError();
            LogError(log, "ERROR: unexpected socket error");
            return -1;
        }
        return 0;
    }
    remaining = 0;
    return 1;
}

long Channel::DiscardUnread()
{
    LogVerbose(log, "Socket[%X] >> Discard %u data bytes", platform::TraceNumber(Socket()),
               static_cast<unsigned>(remaining));
    return DiscardPayload();
}

long Channel::RefuseSequence(const std::string& what)
{
    LogError(log, "%s", what.c_str());
    SendProtocolError(true, kFatalInvalidSequence);
    return -1;
}

long Channel::RefuseProgramMessage()
{
    LogError(log, "ERROR: %s on the asynchronous channel refused", MessageTypeName(header.messageType));
    const long rest = DiscardUnread();
    if (rest <= 0) {
        return rest;
    }
    if (SendProtocolError(false, kErrorUnrecognizedType) < 0) {
        LogError(log, "ERROR: in sending Error");
        return -1;
    }
    return kGoOn;
}

long Channel::ReceivePayload(uint8_t* buffer, uint64_t count)
{
    const uint64_t n = count < remaining ? count : remaining;
    if (n == 0) {
        return 1;
    }
    const ReceiveStatus got = input.Take(buffer, n);
    if (got != ReceiveStatus::Done) {
        if (got == ReceiveStatus::Failed) {
            SaveSocketError();
            LogError(log, "ERROR: unexpected socket error");
        }
        discard = true;
        return got == ReceiveStatus::Failed ? -1 : 0;
    }
    if (VerboseEnabled(log)) {
        LogVerbose(log, "Socket[%X] >> Data (%d): %s", platform::TraceNumber(Socket()), static_cast<int>(n),
                   EscapeForLog(buffer, static_cast<long>(n < kTraceCut ? n : kTraceCut)).c_str());
    }
    remaining -= n;
    return static_cast<long>(n);
}

long Channel::ReadPayloadPrefix(std::string& text, uint64_t limit)
{
    const uint64_t wanted = remaining < limit ? remaining : limit;
    text.assign(static_cast<size_t>(wanted), '\0');
    const long got = ReceivePayload(reinterpret_cast<uint8_t*>(text.data()), wanted);
    if (got <= 0) {
        return got;
    }
    text.resize(static_cast<size_t>(got) < text.size() ? static_cast<size_t>(got) : text.size());
    return got;
}

long Channel::HandleInitialize()
{
    // A connection takes one role, once; asking again would take another
    // session slot with every message.
    if (isSync || isAsync) {
        return RefuseSequence("ERROR: Initialize on a channel that is already initialized");
    }
    const unsigned version = header.messageParameter >> 16;
    const unsigned vendor = header.messageParameter & 0xFFFFu;
    if (remaining != 0) {
        std::string subAddress;
        const long got = ReadPayloadPrefix(subAddress, kSubAddressLimit);
        if (got <= 0) {
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
        return -1;
    }
    isSync = true;
    // The slot is taken as the answer goes out, so that a client that never
    // finishes its sub-address holds none, and its pairing time starts now.
    const uint16_t sessionId = engine.sessionTable.Allocate(this, platform::PeerAddress(Socket()), platform::NowMs());
    uint8_t mode;
    {
        ScopedLock guard(lock);
        mode = overlapped ? kOverlapped : 0;
    }
    if (SendMessage(MessageType::InitializeResponse, mode, (kProtocolVersion << 16) + sessionId) < 0) {
        LogError(log, "ERROR: InitializeResponse failed");
        return -1;
    }
    return kGoOn;
}

long Channel::HandleAsyncInitialize()
{
    if (isSync || isAsync) {
        return RefuseSequence("ERROR: AsyncInitialize on a channel that is already initialized");
    }
    isAsync = true;
    // Only the client that opened the session may complete it.
    const SessionTable::Pairing pairing =
        engine.sessionTable.Take(header.messageParameter, platform::PeerAddress(Socket()), platform::NowMs(),
                                  [this](Channel* sync) { LinkWith(sync); });
    if (pairing == SessionTable::Pairing::UnknownId) {
        LogError(log, "ERROR: invalid sessionID");
        return -1;
    }
    if (pairing == SessionTable::Pairing::OtherAddress) {
        return RefuseSequence("ERROR: AsyncInitialize from another client address");
    }
    if (SendMessage(MessageType::AsyncInitializeResponse, 0, kServerVendorId) < 0) {
        LogError(log, "ERROR: AsyncInitializeResponse failed");
        return -1;
    }
    return kGoOn;
}

long Channel::HandleMaximumMessageSize()
{
    {
        PeerRef partner(this);
        if (!partner) {
            LogError(log, "ERROR: MaximumMessageSize no other channel");
            return -1;
        }
    }
    if (header.payloadLength != 8) {
        LogError(log, "ERROR: MaximumMessageSize no bytes left");
        return -1;
    }
    uint8_t proposed[8] = {};
    const long got = ReceivePayload(proposed, 8);
    if (got <= 0) {
        return got;
    }
    LogVerbose(log, "INFO: MaximumMessageSize is %u", static_cast<unsigned>(ReadBigEndian64(proposed)));
    uint8_t answer[8];
    WriteBigEndian64(answer, kMaxMessageSize);
    int sent;
    if (isAsync) {
        FireArmedServiceRequest();
        sent = SendMessage(MessageType::AsyncMaximumMessageSizeResponse, 0, 0, 8, answer);
    } else {
        PeerRef partner(this);
        sent = partner ? partner->SendMessage(MessageType::AsyncMaximumMessageSizeResponse, 0, 0, 8, answer) : -1;
        if (sent < 0 && partner) {
            socketError = partner->SocketError();
        }
    }
    if (sent < 0) {
        LogError(log, "ERROR: AsyncMaximumMessageSizeResponse failed");
        return -1;
    }
    return kGoOn;
}

long Channel::HandleError(bool fatal)
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
        const long got = ReadPayloadPrefix(text, kErrorTextLimit);
        if (got <= 0) {
            LogError(log, "ERROR: reading error failed");
            return got;
        }
        LogVerbose(log, "Msg=%.*s", static_cast<int>(text.size()), text.c_str());
        // A client may announce any length; the text beyond what the log can
        // show is thrown away instead of being stored.
        const long rest = DiscardPayload();
        if (rest <= 0) {
            return rest;
        }
    }
    return kGoOn;
}

}  // namespace tarvos
