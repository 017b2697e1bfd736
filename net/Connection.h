// One accepted TCP connection: its socket, its HiSLIP channel and the emulated
// instrument behind it, served by the connection's own worker thread.
#pragma once

#include <atomic>

#include "common/CriticalSection.h"
#include "hislip/Channel.h"
#include "instrument/Instrument.h"
#include "net/ThreadBase.h"
#include "platform/Socket.h"

namespace tarvos {

class Connection : public ThreadBase {
public:
    explicit Connection(Engine& engine);
    // The worker: serves one client from its first message to its end.
    void Run() override EXCLUDES(lock);
    ~Connection() override;
    bool Stop() override EXCLUDES(lock);

    // Shuts the socket down and wakes every wait of the worker, without waiting
    // for it to end (Stop() does both).
    void ShutDown() EXCLUDES(lock);
    // True while the connection serves a client: the worker runs, its channel
    // has not ended and the client has not closed its side.
    bool ServesClient() EXCLUDES(lock);

    void AttachSocket(platform::SocketHandle s) EXCLUDES(lock);
    void CloseSocket() EXCLUDES(lock);

    Channel& GetChannel() { return channel; }

private:
    // Logs how the session ended, ends the channel (waiting for its partner)
    // and closes the socket.
    void EndSession(long result) EXCLUDES(lock);
    void CloseSocketLocked() REQUIRES(lock);

    // Names the connection's lock in its lock order.
    friend class Listener;

    LogState* const log;
    // The accepted socket; written only under lock (AttachSocket,
    // CloseSocketLocked: the server's stop closes it while the worker may be
    // reading), read without it.
    std::atomic<platform::SocketHandle> socket {platform::kInvalidSocket};
    CriticalSection lock ACQUIRED_BEFORE(Session::lock);
    Channel channel;
    Instrument instrument {channel.Sync()};
};

}  // namespace tarvos
