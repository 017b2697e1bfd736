// What the protocol engine needs of the server that runs it, and the state that
// all its sessions share: the settings, where it logs, the lock table, the
// session table, a count of the sessions that live, and a count of the
// connections that still serve a client. Every Channel holds a reference to
// the one Engine of its server.
#pragma once

#include <atomic>

#include "hislip/LockTable.h"
#include "hislip/MemoryBudget.h"
#include "hislip/SessionTable.h"
#include "log/Log.h"

namespace tarvos {

// Set before the server starts and never changed afterwards: read without a lock.
struct SessionSettings {
    // Every byte of a message is sent with a call of its own.
    bool slowMode = false;
    // A second client session is refused.
    bool singleConnection = false;
    // The response to a deferred lock release waits until the release takes effect.
    bool blockingUnlock = false;
};

// Counts the connections that still serve a client, over every listener.
class ClientCounter {
public:
    virtual int ClientConnectionCount() = 0;

protected:
    ~ClientCounter() = default;
};

class Engine {
public:
    Engine(LogState& logState, const SessionSettings& sessionSettings, ClientCounter& counter)
        : log(logState), settings(sessionSettings), clients(counter)
    {
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    LogState& log;
    const SessionSettings& settings;
    ClientCounter& clients;
    // Shared by every session: the locks and the session IDs.
    LockTable lockTable;
    SessionTable sessionTable;
    // Sessions made and not yet destroyed (each Session counts itself).
    std::atomic<int> liveSessions {0};
    // The large buffers of every session together.
    MemoryBudget memory;
};

}  // namespace tarvos
