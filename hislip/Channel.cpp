#include "hislip/Channel.h"

#include "common/EscapeForLog.h"
#include "hislip/Protocol.h"
#include "log/Log.h"

namespace tarvos {

Channel::PeerRef::PeerRef(const Channel* self) : session_(self->session.get())
{
    if (session_ != nullptr) {
        role_ = self->isAsync ? Session::Role::Sync : Session::Role::Async;
        peer_ = session_->Pin(role_);
    }
}

Channel::PeerRef::~PeerRef()
{
    if (peer_ != nullptr) {
        session_->Unpin(role_);
    }
}

bool InputPending(platform::SocketHandle socket)
{
    return platform::PollReadable(socket) != 0;
}

Channel::Channel(Engine& owner, const std::atomic<platform::SocketHandle>& socketField)
    : engine(owner), log(&owner.log), socket(socketField), sync_(*this), async_(*this)
{
}

Channel::~Channel()
{
    engine.sessionTable.Forget(this);
    LeaveSession();
    ResetChannel();
}

bool Channel::Slow() const
{
    return engine.settings.slowMode;
}

void Channel::TraceSend(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                        const void* payload)
{
    if (VerboseEnabled(log)) {
        const uint32_t shown = payloadLength < kTraceCut ? payloadLength : kTraceCut;
        LogVerbose(log, "Socket[%X] << %s,%u,%x,len=%d,%s", platform::TraceNumber(Socket()), MessageTypeName(type),
                   static_cast<unsigned>(controlCode), messageParameter, static_cast<int>(payloadLength),
                   EscapeForLog(payload, shown).c_str());
    }
}

int Channel::SaveSocketError()
{
    const int error = platform::LastSocketError();
    socketError = error;
    return error;
}

Sent Channel::SendOutcome(long sent, long expected, uint32_t payloadLength)
{
    if (sent < 0) {
        const int error = SaveSocketError();
        if (!platform::IsShutdownError(error)) {
            LogError(log, "ERROR: send HiSlip message returns error %d\n", error);
        }
        return Sent::Failed;
    }
    if (sent != expected) {
        LogError(log, "ERROR: send HiSlip message wrong length: %d instead %d\n", static_cast<int>(sent),
                 static_cast<int>(expected));
    }
    return sent > static_cast<long>(payloadLength) ? Sent::Whole : Sent::Short;
}

Sent Channel::SendMessage(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                         const void* payload)
{
    return SendMessageAs(type, controlCode, messageParameter, payloadLength, payload, true);
}

Sent Channel::SendMessageAs(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                           const void* payload, bool allowShape)
{
    uint8_t wire[kHeaderSize];
    const auto* bytes = static_cast<const uint8_t*>(payload);
    if (payload == nullptr) {
        payloadLength = 0;
    }
    EncodeHeader(wire, type, controlCode, messageParameter, payloadLength);

    platform::MutexLock sending(sendLock);
    TraceSend(type, controlCode, messageParameter, payloadLength, payload);

    if (SendsBytewise(allowShape)) {
        return SendBytewise(wire, bytes, payloadLength, allowShape) ? Sent::Whole : Sent::Failed;
    }
    const long expected = static_cast<long>(kHeaderSize) + static_cast<long>(payloadLength);
    return SendOutcome(platform::SendGather(Socket(), wire, kHeaderSize, bytes, payloadLength), expected,
                       payloadLength);
}

void Channel::TraceMessages(const OutgoingMessages& messages)
{
    if (!VerboseEnabled(log)) {
        return;
    }
    for (uint32_t i = 0; i < messages.count; ++i) {
        const MessageHeader sent = DecodeHeader(messages.headers[i]);
        TraceSend(sent.messageType, sent.controlCode, sent.messageParameter, static_cast<uint32_t>(sent.payloadLength),
                  messages.slices[2 * i + 1].data);
    }
}

Sent Channel::SendMessages(const OutgoingMessages& messages, bool shapeable)
{
    if (SendsBytewise(shapeable)) {
        // Byte by byte there is nothing to gather: one message after the other.
        for (uint32_t i = 0; i < messages.count; ++i) {
            platform::MutexLock sending(sendLock);
            TraceMessages({&messages.headers[i], &messages.slices[2 * i], 1});
            const auto* payload = static_cast<const uint8_t*>(messages.slices[2 * i + 1].data);
            const auto length = static_cast<uint32_t>(messages.slices[2 * i + 1].length);
            if (!SendBytewise(messages.headers[i], payload, length, shapeable)) {
                return Sent::Failed;
            }
        }
        return Sent::Whole;
    }
    uint64_t payload = 0;
    for (uint32_t i = 0; i < messages.count; ++i) {
        payload += messages.slices[2 * i + 1].length;
    }
    const long expected = static_cast<long>(messages.count * kHeaderSize + payload);
    platform::MutexLock sending(sendLock);
    TraceMessages(messages);
    const long sent = platform::SendSlices(Socket(), messages.slices, 2 * messages.count);
    // Reported as for the last message: short when the socket took less than all.
    if (sent == expected) {
        return Sent::Whole;
    }
    return SendOutcome(sent, expected, static_cast<uint32_t>(payload));
}

long Channel::SendBytes(const platform::SendSlice* slices, uint32_t count)
{
    platform::MutexLock sending(sendLock);
    return platform::SendSlices(Socket(), slices, count);
}

bool Channel::SendBytewise(const uint8_t* header, const uint8_t* payload, uint32_t length, bool allowShape)
{
    const platform::SocketHandle s = Socket();
    const uint64_t start = platform::NowMs();
    for (uint32_t i = 0; i < kHeaderSize + length; ++i) {
        if (allowShape && i > 0) {
            Hooks().BeforeByte(start, i);
        }
        const uint8_t* next = i < kHeaderSize ? &header[i] : &payload[i - kHeaderSize];
        if (platform::Send(s, next, 1) <= 0) {
            LogError(log, "ERROR: send HiSlip message returns error %d\n", SaveSocketError());
            return false;
        }
    }
    return true;
}

void Channel::TakeRole(Session::Role role)
{
    if (role == Session::Role::Sync) {
        isSync = true;
    } else {
        isAsync = true;
    }
}

void Channel::JoinSession(std::shared_ptr<Session> made, Session::Role role)
{
    session = std::move(made);
    session->Join(role, this);
}

void Channel::JoinSessionOf(const Channel& sync)
{
    session = sync.SessionForPairing();
    session->Join(Session::Role::Async, this);
    // A pace set before this channel arrived covers it too.
    features.SetPace(session->Pace());
}

void Channel::LeaveSession()
{
    if (session != nullptr) {
        session->Leave(Role());
        session.reset();
    }
}

void Channel::ResetChannel()
{
    input.Reset();
    sync_.Reset();
    remaining = 0;
    engine.sessionTable.Forget(this);
    LeaveSession();
    discard = false;
    clearEvent.Reset();
    closedEvent.Reset();
    stopEvent.Reset();
    socketError = 0;
    async_.ReleaseAtSessionEnd();
    isSync = false;
    isAsync = false;
    Hooks().On(ChannelHooks::Event::Reset);
}

bool Channel::ClientHasGone()
{
    if (stopEvent.IsSet()) {
        return true;
    }
    if (!platform::PeerHasHungUp(Socket())) {
        return false;
    }
    stopEvent.Set();
    return true;
}

bool Channel::CloseSession()
{
    closedEvent.Set();
    Hooks().On(ChannelHooks::Event::SessionEnds);
    // A synchronous channel that ends before its partner arrived gives its
    // session slot back, so no later AsyncInitialize pairs with it.
    engine.sessionTable.Forget(this);
    {
        PeerRef partner(this);
        if (partner && !partner->closedEvent.Wait(kPartnerWaitMs)) {
            LogError(log, isAsync ? "ERROR: Force shutdown of data (synchronous) channel"
                                     : "ERROR: Force shutdown of control (asynchronous) channel");
            platform::ShutdownAndWake(partner->Socket());
            partner->WakeForStop();
        }
    }
    LeaveSession();
    async_.ReleaseAtSessionEnd();
    return true;
}

}  // namespace tarvos
