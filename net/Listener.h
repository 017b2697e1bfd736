// One listening socket per address family with its accept thread.
#pragma once

#include <cstdint>
#include <list>

#include "common/CriticalSection.h"
#include "log/Log.h"
#include "net/Connection.h"
#include "net/ThreadBase.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

namespace tarvos {

class Engine;

class Listener : public ThreadBase {
public:
    Listener(Engine& engine, platform::AddressFamily family);
    void Run() override EXCLUDES(lock);
    ~Listener() override;
    bool Stop() override EXCLUDES(lock);

    // Begins the server's stop: from now on accepted connections are closed at
    // once, and every listed connection's socket is shut down and its waits
    // woken, so that all of them end together. Stop() or CloseAllConnections()
    // then waits for them.
    void BeginStop() EXCLUDES(lock);

    bool SetPort(uint16_t newPort) EXCLUDES(lock);
    uint16_t GetPort() EXCLUDES(lock);
    void CloseListenSocket() EXCLUDES(lock);

    bool AnyConnectionRunning() EXCLUDES(lock);
    int RunningConnectionCount() EXCLUDES(lock);
    // Number of listed connections that still serve a client: the worker runs,
    // its channel has not ended and the client has not closed its side.
    int ClientConnectionCount() EXCLUDES(lock);
    // Stops and destroys every listed connection, waiting for each outside
    // the lock (a worker may count connections meanwhile).
    bool CloseAllConnections() EXCLUDES(lock);
    // Number of Connection objects in the registry, running or not.
    size_t ConnectionObjectCount() EXCLUDES(lock);

private:
    // Pause after a failed accept (no descriptors, no memory, ...) before the
    // next try, so that a lasting shortage doesn't spin the thread.
    static constexpr uint32_t kAcceptRetryPauseMs = 100;

    // Hands the accepted socket to a connection; false when no connection
    // object could be made for it.
    bool ServeAccepted(platform::SocketHandle accepted) EXCLUDES(lock);
    bool Stopping() EXCLUDES(lock);
    void CloseListenSocketLocked() REQUIRES(lock);
    // Number of listed connections for which holds() is true.
    int CountConnections(bool (Connection::*holds)()) EXCLUDES(lock);

    Engine& engine;
    LogState* const log;
    const platform::AddressFamily family;
    uint16_t port GUARDED_BY(lock) = 0;
    platform::SocketHandle listenSocket GUARDED_BY(lock) = platform::kInvalidSocket;
    // The outermost lock of the server: a connection's lock and thread lock,
    // and everything below them, may be taken inside it.
    CriticalSection lock ACQUIRED_BEFORE(Connection::lock, ThreadBase::threadLock);
    std::list<Connection*> connections GUARDED_BY(lock);
    // The server's stop has begun: only it ends the accept loop.
    bool stopping GUARDED_BY(lock) = false;
    // Set with stopping; cuts the pause after a failed accept short.
    platform::Event stopEvent;
};

}  // namespace tarvos
