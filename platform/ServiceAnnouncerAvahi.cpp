// Multicast DNS announcement through the Avahi daemon, spoken to over D-Bus by
// Avahi's client library on a threaded poll of its own.
#include "platform/ServiceAnnouncer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include "common/ThreadSafety.h"

namespace tarvos::platform {

namespace {

// How often a name taken on this host is replaced by the next alternative in a
// row before the announcement gives up.
constexpr int kMaxLocalRenames = 20;

// The threaded poll's own mutex, which its thread holds while it runs any
// callback; everything the callbacks touch is guarded by it.
class CAPABILITY("mutex") PollLock {
public:
    void Attach(AvahiThreadedPoll* poll) { poll_ = poll; }
    void Lock() ACQUIRE() { avahi_threaded_poll_lock(poll_); }
    void Unlock() RELEASE() { avahi_threaded_poll_unlock(poll_); }
    // Declares what the poll thread guarantees inside a callback.
    void AssertHeld() ASSERT_CAPABILITY(this) {}

private:
    AvahiThreadedPoll* poll_ = nullptr;
};

class SCOPED_CAPABILITY PollGuard {
public:
    explicit PollGuard(PollLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
    ~PollGuard() RELEASE() { lock_.Unlock(); }
    PollGuard(const PollGuard&) = delete;
    PollGuard& operator=(const PollGuard&) = delete;

private:
    PollLock& lock_;
};

}  // namespace

struct ServiceAnnouncer::Impl {
    // Made and freed by the owner's thread while no poll thread runs.
    AvahiThreadedPoll* poll = nullptr;
    PollLock lock;
    AvahiClient* client GUARDED_BY(lock) = nullptr;
    AvahiEntryGroup* group GUARDED_BY(lock) = nullptr;
    ServiceDescription service GUARDED_BY(lock);
    Report report GUARDED_BY(lock);
    // Reported that the responder is not there, so the next success is news.
    bool waitingReported GUARDED_BY(lock) = false;

    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* user);
    static void GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* user);
    void Publish(AvahiClient* client) REQUIRES(lock);
    void Rename() REQUIRES(lock);
    void Fail(const std::string& why) REQUIRES(lock);
};

void ServiceAnnouncer::Impl::Fail(const std::string& why)
{
    if (report) {
        report(false, why);
    }
}

void ServiceAnnouncer::Impl::Rename()
{
    char* next = avahi_alternative_service_name(service.name.c_str());
    if (next != nullptr) {
        service.name = next;
        avahi_free(next);
    }
}

// Adds the service to the entry group (made on first use) and commits it. A
// name already in use on this host is replaced by its next alternative at once;
// a clash with another host arrives later as a group collision.
void ServiceAnnouncer::Impl::Publish(AvahiClient* avahiClient)
{
    if (group == nullptr) {
        group = avahi_entry_group_new(avahiClient, &Impl::GroupChanged, this);
        if (group == nullptr) {
            Fail(avahi_strerror(avahi_client_errno(avahiClient)));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(group)) {
        return;
    }
    AvahiStringList* txt = nullptr;
    for (auto it = service.txt.rbegin(); it != service.txt.rend(); ++it) {
        txt = avahi_string_list_add(txt, it->c_str());
    }
    int result = AVAHI_OK;
    for (int attempt = 0; attempt <= kMaxLocalRenames; ++attempt) {
        result = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      static_cast<AvahiPublishFlags>(0), service.name.c_str(),
                                                      service.type.c_str(), nullptr, nullptr, service.port, txt);
        if (result != AVAHI_ERR_COLLISION) {
            break;
        }
        Rename();
        avahi_entry_group_reset(group);
    }
    avahi_string_list_free(txt);
    if (result == AVAHI_OK) {
        result = avahi_entry_group_commit(group);
    }
    if (result != AVAHI_OK) {
        Fail(avahi_strerror(result));
    }
}

void ServiceAnnouncer::Impl::GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* user)
{
    auto* self = static_cast<Impl*>(user);
    self->lock.AssertHeld();
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->waitingReported = false;
        if (self->report) {
            self->report(true, self->service.name);
        }
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host announces the same name: take the next alternative.
        self->Rename();
        avahi_entry_group_reset(group);
        self->Publish(avahi_entry_group_get_client(group));
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        self->Fail(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

// Runs on the poll thread, and on the owner's thread inside avahi_client_new
// (before that call has returned the client, so only the argument is used).
void ServiceAnnouncer::Impl::ClientChanged(AvahiClient* avahiClient, AvahiClientState state, void* user)
{
    auto* self = static_cast<Impl*>(user);
    self->lock.AssertHeld();
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        self->Publish(avahiClient);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The responder is (re)registering its host name; our records follow
        // once it runs again.
        if (self->group != nullptr) {
            avahi_entry_group_reset(self->group);
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!self->waitingReported) {
            self->waitingReported = true;
            self->Fail("the mDNS responder (avahi-daemon) is not running; announcing once it starts");
        }
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(avahiClient) == AVAHI_ERR_DISCONNECTED) {
            // The responder went away (stopped, restarted): wait for it to come
            // back and announce again then.
            avahi_client_free(avahiClient);
            self->client = nullptr;
            self->group = nullptr;
            int error = AVAHI_OK;
            self->client = avahi_client_new(avahi_threaded_poll_get(self->poll), AVAHI_CLIENT_NO_FAIL,
                                            &Impl::ClientChanged, self, &error);
            if (self->client == nullptr) {
                self->Fail(avahi_strerror(error));
            }
        } else {
            self->Fail(avahi_strerror(avahi_client_errno(avahiClient)));
        }
        break;
    }
}

bool ServiceAnnouncer::Available()
{
    return true;
}

ServiceAnnouncer::ServiceAnnouncer() : impl_(std::make_unique<Impl>()) {}

ServiceAnnouncer::~ServiceAnnouncer()
{
    Withdraw();
}

bool ServiceAnnouncer::Announce(const ServiceDescription& service, Report report, std::string& error)
{
    Withdraw();
    Impl& impl = *impl_;
    impl.poll = avahi_threaded_poll_new();
    if (impl.poll == nullptr) {
        error = "out of memory";
        return false;
    }
    impl.lock.Attach(impl.poll);
    bool started = false;
    {
        // Held while the client is made: its first callbacks run right inside
        // avahi_client_new on this thread.
        PollGuard guard(impl.lock);
        impl.service = service;
        impl.report = std::move(report);
        impl.waitingReported = false;
        int code = AVAHI_OK;
        impl.client = avahi_client_new(avahi_threaded_poll_get(impl.poll), AVAHI_CLIENT_NO_FAIL,
                                       &Impl::ClientChanged, &impl, &code);
        if (impl.client == nullptr) {
            error = avahi_strerror(code);
            impl.report = nullptr;
        }
        started = impl.client != nullptr;
    }
    if (started && avahi_threaded_poll_start(impl.poll) < 0) {
        error = "the responder's thread could not be started";
        started = false;
    }
    if (!started) {
        Withdraw();
    }
    return started;
}

void ServiceAnnouncer::Withdraw()
{
    Impl& impl = *impl_;
    if (impl.poll == nullptr) {
        return;
    }
    // Ends the poll thread first (no effect when it never ran), so that no
    // callback runs while the records are taken back.
    avahi_threaded_poll_stop(impl.poll);
    {
        PollGuard guard(impl.lock);
        // Freeing the group asks the responder to withdraw the records (it sends
        // the goodbye packets) and waits for its answer.
        if (impl.group != nullptr) {
            avahi_entry_group_free(impl.group);
            impl.group = nullptr;
        }
        if (impl.client != nullptr) {
            avahi_client_free(impl.client);
            impl.client = nullptr;
        }
        impl.report = nullptr;
    }
    avahi_threaded_poll_free(impl.poll);
    impl.poll = nullptr;
    impl.lock.Attach(nullptr);
}

}  // namespace tarvos::platform
