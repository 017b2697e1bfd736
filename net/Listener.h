// One listening socket per address family with its accept thread.
#pragma once

#include <cstdint>
#include <list>

#include "common/CriticalSection.h"
#include "net/ThreadBase.h"
#include "platform/Socket.h"

namespace tarvos {

class Server;
class Connection;

class Listener : public ThreadBase {
public:
    Listener(Server* server, int family);
    void Run() override;
    ~Listener() override;
    bool Stop() override;

    bool SetPort(uint16_t newPort);
    uint16_t GetPort();
    void CloseListenSocket();

    bool AnyConnectionRunning();
    int RunningConnectionCount();
    bool CloseAllConnections();
    // Number of Connection objects in the registry, running or not.
    size_t ConnectionObjectCount();

private:
    void ServeAccepted(platform::SocketHandle accepted, bool& outOfMemory);

    Server* const server;
    const int family;
    uint16_t port GUARDED_BY(lock) = 0;
    platform::SocketHandle listenSocket GUARDED_BY(lock) = platform::kInvalidSocket;
    CriticalSection lock;
    std::list<Connection*> connections GUARDED_BY(lock);
};

}  // namespace tarvos
