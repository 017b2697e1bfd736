#include "console/Announcement.h"

#include <cstdio>

#include "console/Server.h"
#include "log/Log.h"
#include "platform/HostName.h"

namespace tarvos {

namespace {

constexpr size_t kMaxInstanceName = 63;

// A line that is always written, uncoloured, where verbose lines go: the
// announcement's success is news with or without -v.
void LogNotice(Server* server, const std::string& message)
{
    ScopedLock guard(server->logLock);
    const std::string line = "Tarvos:: " + message + "\n";
    if (server->logStream != nullptr) {
        std::fputs(line.c_str(), server->logStream);
        std::fflush(server->logStream);
    } else {
        server->debugSink(line.c_str());
    }
}

}  // namespace

std::string InstanceName(const std::string& hostName)
{
    std::string name = hostName.empty() ? "Tarvos" : "Tarvos on " + hostName;
    if (name.size() > kMaxInstanceName) {
        size_t cut = kMaxInstanceName;
        // Never leave half of a multi-byte character at the end.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    return name;
}

platform::ServiceDescription HislipService(const std::string& hostName, uint16_t port)
{
    platform::ServiceDescription service;
    service.name = InstanceName(hostName);
    service.type = "_hislip._tcp";
    service.port = port;
    service.txt = {"txtvers=1", "ProtocolVersion=1.0"};
    return service;
}

void Announcement::Start(uint16_t port)
{
    const platform::ServiceDescription service = HislipService(platform::ShortHostName(), port);
    Server* server = server_;
    auto report = [server, port, type = service.type](bool announced, const std::string& detail) {
        if (announced) {
            LogNotice(server, "INFO: Announced \"" + detail + "\" as " + type + " on port " + std::to_string(port) +
                                  " over multicast DNS");
        } else {
            LogError(server, "WARNING: Multicast DNS announcement failed: %s", detail.c_str());
        }
    };
    std::string error;
    started_ = announcer_.Announce(service, report, error);
    if (!started_) {
        LogError(server_, "WARNING: Multicast DNS announcement failed: %s", error.c_str());
    }
}

void Announcement::Stop()
{
    if (started_) {
        announcer_.Withdraw();
        started_ = false;
        LogVerbose(server_, "INFO: Multicast DNS announcement withdrawn");
    }
}

}  // namespace tarvos
