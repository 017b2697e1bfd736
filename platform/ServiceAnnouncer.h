// Announcing a service over multicast DNS through the system's responder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvos::platform {

struct ServiceDescription {
    // Instance name, at most 63 bytes (one DNS label).
    std::string name;
    // Service type such as "_hislip._tcp".
    std::string type;
    uint16_t port = 0;
    // TXT record entries, "key=value" each.
    std::vector<std::string> txt;
};

// Keeps one service announced while it exists. The responder works on a thread
// of its own; the outcome of the announcement is reported from there, and again
// whenever it changes (the responder went away and came back, the name was taken
// by another host and a new one chosen).
class ServiceAnnouncer {
public:
    // announced: true when the service is published, detail is then the name in
    // use; false when it is not (now), detail says why. Called with the
    // announcer's internal lock held: it must not call back into the announcer.
    using Report = std::function<void(bool announced, const std::string& detail)>;

    // False when this build has no multicast DNS support at all.
    static bool Available();

    ServiceAnnouncer();
    ~ServiceAnnouncer();
    ServiceAnnouncer(const ServiceAnnouncer&) = delete;
    ServiceAnnouncer& operator=(const ServiceAnnouncer&) = delete;

    // Starts announcing. False, with the reason in error, when it could not even
    // begin (no multicast DNS support, no system bus); the outcome otherwise
    // arrives through report. A responder that is not running yet is waited for.
    bool Announce(const ServiceDescription& service, Report report, std::string& error);
    // Withdraws the announcement and waits until the responder has taken it back.
    // No effect when nothing is announced.
    void Withdraw();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvos::platform
