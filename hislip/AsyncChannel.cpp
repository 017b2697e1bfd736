// The asynchronous role: AsyncInitialize pairs the connection with the
// session of the synchronous channel that the client opened.
#include "hislip/AsyncChannel.h"

#include "hislip/Channel.h"
#include "log/Log.h"

namespace tarvos {

Step AsyncChannel::HandleAsyncInitialize()
{
    if (channel_.HasRole()) {
        return channel_.RefuseSequence("ERROR: AsyncInitialize on a channel that is already initialized");
    }
    LogState* const log = channel_.Log();
    Engine& engine = channel_.Owner();
    channel_.TakeRole(Session::Role::Async);
    // Only the client that opened the session may complete it.
    const SessionTable::Pairing pairing =
        engine.sessionTable.Take(channel_.Header().messageParameter, platform::PeerAddress(channel_.Socket()),
                                 platform::NowMs(), [this](Channel* sync) { channel_.JoinSessionOf(*sync); });
    if (pairing == SessionTable::Pairing::UnknownId) {
        LogError(log, "ERROR: invalid sessionID");
        return Step::Failed;
    }
    if (pairing == SessionTable::Pairing::OtherAddress) {
        return channel_.RefuseSequence("ERROR: AsyncInitialize from another client address");
    }
    if (channel_.SendMessage(MessageType::AsyncInitializeResponse, 0, kServerVendorId) == Sent::Failed) {
        LogError(log, "ERROR: AsyncInitializeResponse failed");
        return Step::Failed;
    }
    return Step::GoOn;
}

}  // namespace tarvos
