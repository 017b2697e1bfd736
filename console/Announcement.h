// The server's announcement over multicast DNS (switch -m).
#pragma once

#include <cstdint>
#include <string>

#include "platform/ServiceAnnouncer.h"

namespace tarvos {

class Server;

// "Tarvos on <host>", cut on a character boundary to the 63 bytes an instance
// name may have; "Tarvos" when the host name is unknown.
std::string InstanceName(const std::string& hostName);

// The service as discovery clients see it: _hislip._tcp on the server's port,
// the TXT record carrying the protocol version.
platform::ServiceDescription HislipService(const std::string& hostName, uint16_t port);

// Announces the server while it runs and logs each outcome on the server's log:
// "INFO: Announced ..." when the service is published, "WARNING: Multicast DNS
// announcement failed: ..." when it is not.
class Announcement {
public:
    explicit Announcement(Server* server) : server_(server) {}
    void Start(uint16_t port);
    // Withdraws the service; the responder has taken it back when this returns.
    void Stop();

private:
    Server* server_;
    platform::ServiceAnnouncer announcer_;
    bool started_ = false;
};

}  // namespace tarvos
