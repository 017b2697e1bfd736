#include "console/Announcement.h"

#include "console/Server.h"
#include "log/Log.h"
#include "platform/HostName.h"

namespace tarvos {

namespace {

constexpr size_t kMaxInstanceName = 63;

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
            LogNotice(server, "INFO: Announced \"%s\" as %s on port %u over multicast DNS", detail.c_str(),
                      type.c_str(), static_cast<unsigned>(port));
        } else {
            LogError(server, "WARNING: Multicast DNS announcement failed: %s", detail.c_str());
        }
    };
    std::string error;
    started_ = announcer_.Announce(service, report, error);
    if (!started_) {
        report(false, error);
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
