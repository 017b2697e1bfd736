// The one server object: settings, log state and the two listeners.
#pragma once

#include <cstdint>
#include <cstdio>

#include "hislip/Engine.h"
#include "log/Log.h"

namespace tarvos {

class Listener;

class Server : public LogState, public ClientCounter {
public:
    Server();
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool SetVerbose(bool on);
    bool SetLogStream(std::FILE* stream);
    bool SetPort(uint16_t port);
    uint16_t GetPort();
    bool Start();
    bool Stop();
    int OpenConnectionCount();
    // Connections that still serve a client (over both listeners): what the
    // single-connection setting counts. A connection whose client has closed,
    // or whose channel has ended, no longer counts although its worker may
    // still be finishing.
    int ClientConnectionCount() override;

    // Written by the entry point before Start() and never changed afterwards.
    SessionSettings settings;
    // The protocol engine's view of this server, with the state all sessions share.
    Engine engine {*this, settings, *this};
    Listener* ipv4Listener = nullptr;
    Listener* ipv6Listener = nullptr;
};

}  // namespace tarvos
