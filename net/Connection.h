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
    void Run() override;
    ~Connection() override;
    bool Stop() override;

    // Shuts the socket down and wakes every wait of the worker, without waiting
    // for it to end (Stop() does both).
    void ShutDown();
    // True while the connection serves a client: the worker runs, its channel
    // has not ended and the client has not closed its side.
    bool ServesClient();

    void AttachSocket(platform::SocketHandle s);
    void CloseSocket();

    Channel& GetChannel() { return channel; }

private:
    // Logs how the session ended, ends the channel (waiting for its partner)
    // and closes the socket.
    void EndSession(long result);

    LogState* const log;
    // The accepted socket; written under lock (the server's stop closes it
    // while the worker may be reading), read without it.
    std::atomic<platform::SocketHandle> socket {platform::kInvalidSocket};
    CriticalSection lock;
    Channel channel;
    Instrument instrument {channel};
};

}  // namespace tarvos
