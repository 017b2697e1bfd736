// A build without multicast DNS support: nothing can be announced.
#include "platform/ServiceAnnouncer.h"

namespace tarvos::platform {

struct ServiceAnnouncer::Impl {};

bool ServiceAnnouncer::Available()
{
    return false;
}

ServiceAnnouncer::ServiceAnnouncer() = default;

ServiceAnnouncer::~ServiceAnnouncer() = default;

bool ServiceAnnouncer::Announce(const ServiceDescription&, Report, std::string& error)
{
    error = "not available: built without the Avahi client library";
    return false;
}

void ServiceAnnouncer::Withdraw() {}

}  // namespace tarvos::platform
