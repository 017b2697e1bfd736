#include "hislip/Channel.h"

#include <cstdlib>

#include "common/EscapeForLog.h"
#include "console/Server.h"
#include "log/Log.h"
#include "platform/Thread.h"

namespace tarvos {

// Pairs and unpairs the two channels of a session. The link lock is held only
// for short steps and nothing else is taken while it is held (but the log lock),
// so it can be taken inside every other lock.
struct SessionLinks {
    static CriticalSection& Lock()
    {
        static CriticalSection linkLock;
        return linkLock;
    }

    // Drops any earlier partner of either channel, then points them at each other.
    static void Link(Channel* sync, Channel* async)
    {
        ScopedLock guard(Lock());
        Drop(sync);
        Drop(async);
        sync->peer = async;
        async->peer = sync;
    }

    static void Drop(Channel* channel)
    {
        Channel* old = channel->peer;
        if (old != nullptr && old->peer == channel) {
            old->peer = nullptr;
        }
        channel->peer = nullptr;
    }

    // Unpairs the channel and waits until its partner has no pin on it left, so
    // that the channel can be reset for a new client or destroyed.
    static void Unlink(Channel* channel)
    {
        for (;;) {
            {
                ScopedLock guard(Lock());
                Drop(channel);
                if (channel->pins == 0) {
                    return;
                }
            }
            platform::SleepMs(1);
        }
    }
};

Channel::PeerRef::PeerRef(Channel* self)
{
    ScopedLock guard(SessionLinks::Lock());
    peer_ = self->peer;
    if (peer_ != nullptr) {
        ++peer_->pins;
    }
}

Channel::PeerRef::~PeerRef()
{
    if (peer_ != nullptr) {
        ScopedLock guard(SessionLinks::Lock());
        --peer_->pins;
    }
}

long ReceiveExact(long length, platform::SocketHandle socket, void* buffer)
{
    if (length <= 0) {
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    long received = 0;
    while (received < length) {
        const long n = platform::Receive(socket, bytes + received, static_cast<size_t>(length - received));
        if (n > 0) {
            received += n;
        } else if (n == 0) {
            return 0;
        } else if (!platform::IsInterruptedError(platform::LastSocketError())) {
            return n;
        }
    }
    return length;
}

bool InputPending(platform::SocketHandle socket)
{
    return platform::PollReadable(socket) != 0;
}

Channel::Channel(Server* owner, platform::SocketHandle* socketField, ErrorQueue* queue)
    : server(owner), socket(socketField), errorQueue(queue)
{
}

Channel::~Channel()
{
    server->sessionTable.Forget(this);
    Unlink();
    ResetChannel();
}

bool Channel::Slow() const
{
    return server->slowMode;
}

void Channel::TraceSend(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                        const void* payload)
{
    if (VerboseEnabled(server)) {
        const uint32_t shown = payloadLength < 250 ? payloadLength : 250;
        LogVerbose(server, "Socket[%X] << %s,%u,%x,len=%d,%s", static_cast<unsigned>(*socket), MessageTypeName(type),
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

int Channel::SendOutcome(long sent, long expected, uint32_t payloadLength)
{
    if (sent < 0) {
        const int error = SaveSocketError();
        if (!platform::IsShutdownError(error)) {
            LogError(server, "ERROR: send HiSlip message returns error %d\n", error);
        }
        return -1;
    }
    if (sent != expected) {
        LogError(server, "ERROR: send HiSlip message wrong length: %d instead %d\n", static_cast<int>(sent),
                 static_cast<int>(expected));
    }
    if (sent < static_cast<long>(payloadLength)) {
        return 0;
    }
    return static_cast<int>(sent - static_cast<long>(payloadLength));
}

int Channel::SendMessage(uint8_t type, uint8_t controlCode, uint32_t messageParameter, uint32_t payloadLength,
                         const void* payload)
{
    uint8_t wire[kHeaderSize];
    const platform::SocketHandle s = *socket;
    const auto* bytes = static_cast<const uint8_t*>(payload);
    if (payload == nullptr) {
        payloadLength = 0;
    }
    EncodeHeader(wire, type, controlCode, messageParameter, payloadLength);

    std::lock_guard<std::mutex> sending(sendLock);
    TraceSend(type, controlCode, messageParameter, payloadLength, payload);

    if (Slow()) {
        for (uint32_t i = 0; i < kHeaderSize + payloadLength; ++i) {
            const uint8_t* next = i < kHeaderSize ? &wire[i] : &bytes[i - kHeaderSize];
            if (platform::Send(s, next, 1) <= 0) {
                LogError(server, "ERROR: send HiSlip message returns error %d\n", SaveSocketError());
                return -1;
            }
        }
        return static_cast<int>(kHeaderSize + payloadLength);
    }
    const long expected = static_cast<long>(kHeaderSize) + static_cast<long>(payloadLength);
    return SendOutcome(platform::SendGather(s, wire, kHeaderSize, bytes, payloadLength), expected, payloadLength);
}

void Channel::LinkWith(Channel* sync)
{
    SessionLinks::Link(sync, this);
}

void Channel::Unlink()
{
    SessionLinks::Unlink(this);
}

void Channel::ReleaseBlockBuffer()
{
    std::free(blockBuffer);
    blockBuffer = nullptr;
}

void Channel::ResetChannel()
{
    ReleaseBlockBuffer();
    lookAheadPos = 0;
    lookAheadCount = 0;
    lookAheadEnd = false;
    remaining = 0;
    {
        ScopedLock guard(lock);
        expectRmtDelivered = false;
        lastMessageId = kMessageIdBeforeFirst;
        lastResponseId = kMessageIdBeforeFirst;
        overlapped = false;
        responseSent = false;
        statusByte = 0;
        srEnable = 0;
        mav = false;
        rqsPending = false;
    }
    Unlink();
    discard = false;
    clearEvent.Reset();
    closedEvent.Reset();
    stopEvent.Reset();
    socketError = 0;
    ReleaseAtSessionEnd();
    isSync = false;
    isAsync = false;
    srqArmed = false;
}

bool Channel::CloseSession()
{
    closedEvent.Set();
    // A synchronous channel that ends before its partner arrived gives its
    // session slot back, so no later AsyncInitialize pairs with it.
    server->sessionTable.Forget(this);
    {
        PeerRef partner(this);
        if (partner && !partner->closedEvent.Wait(kPartnerWaitMs)) {
            LogError(server, isAsync ? "ERROR: Force shutdown of data (synchronous) channel"
                                     : "ERROR: Force shutdown of control (asynchronous) channel");
            platform::ShutdownAndWake(partner->Socket());
            partner->WakeForStop();
        }
    }
    Unlink();
    ReleaseAtSessionEnd();
    return true;
}

}  // namespace tarvos
