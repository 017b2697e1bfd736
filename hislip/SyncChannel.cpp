// The synchronous role: the session its Initialize opens, and what the
// instrument needs of the common channel.
#include "hislip/SyncChannel.h"

#include <memory>

#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kSubAddressLimit = 256;
const char kTooManyConnections[] = "Too many connections";

}  // namespace

SyncChannel::SyncChannel(Channel& channel) : channel_(channel), lookAhead(channel) {}

unsigned SyncChannel::TraceNumber() const
{
    return channel_.TraceNumber();
}

LogState* SyncChannel::Log() const
{
    return channel_.Log();
}

bool SyncChannel::IsAsync() const
{
    return channel_.IsAsync();
}

TestFeatures& SyncChannel::Features()
{
    return channel_.Features();
}

platform::Event& SyncChannel::ClearEvent()
{
    return channel_.ClearEvent();
}

platform::Event& SyncChannel::StopEvent()
{
    return channel_.StopEvent();
}

MemoryBudget& SyncChannel::Memory() const
{
    return channel_.Memory();
}

Sent SyncChannel::SendProtocolError(bool fatal, uint8_t code)
{
    return channel_.SendProtocolError(fatal, code);
}

void SyncChannel::ShutDownSession()
{
    channel_.ShutDownSession();
}

void SyncChannel::Reset()
{
    lookAhead.Reset();
    programInProgress = false;
    subAddress.clear();
}

Step SyncChannel::HandleInitialize()
{
    // A connection takes one role, once; asking again would take another
    // session slot with every message.
    if (channel_.HasRole()) {
        return channel_.RefuseSequence("ERROR: Initialize on a channel that is already initialized");
    }
    LogState* const log = channel_.Log();
    Engine& engine = channel_.Owner();
    const MessageHeader& header = channel_.Header();
    const unsigned version = header.messageParameter >> 16;
    const unsigned vendor = header.messageParameter & 0xFFFFu;
    subAddress.clear();
    if (channel_.Remaining() != 0) {
        const Step got = channel_.ReadPayloadPrefix(subAddress, kSubAddressLimit);
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
        channel_.SendMessage(MessageType::FatalError, kFatalTooManyConnections, 0, sizeof(kTooManyConnections) - 1,
                             kTooManyConnections);
        return Step::Failed;
    }
    channel_.TakeRole(Session::Role::Sync);
    // The session is made before its ID is given out, so that an
    // asynchronous channel that pairs finds it.
    channel_.JoinSession(std::make_shared<Session>(log, *errorQueue, engine.liveSessions), Session::Role::Sync);
    // The slot is taken as the answer goes out, so that a client that never
    // finishes its sub-address holds none, and its pairing time starts now.
    const uint16_t sessionId =
        engine.sessionTable.Allocate(&channel_, platform::PeerAddress(channel_.Socket()), platform::NowMs());
    const uint8_t mode = channel_.OwnSession()->ModeFlags();
    if (channel_.SendMessage(MessageType::InitializeResponse, mode, (kProtocolVersion << 16) + sessionId) ==
        Sent::Failed) {
        LogError(log, "ERROR: InitializeResponse failed");
        return Step::Failed;
    }
    return Step::GoOn;
}

}  // namespace tarvos
