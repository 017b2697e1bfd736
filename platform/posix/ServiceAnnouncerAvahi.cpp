// Multicast DNS announcement through the Avahi daemon, spoken to over D-Bus by
// Avahi's client library on a threaded poll of its own. Only that thread ever
// touches the client and its bus connection: it connects, publishes and, when
// asked, withdraws and disconnects; the owner only starts and ends the thread.
#include "platform/ServiceAnnouncer.h"

#include <sys/time.h>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include "platform/ThreadSafety.h"
#include "platform/Sync.h"

namespace tarvos::platform {

namespace {

// How often a name taken on this host is replaced by the next alternative in a
// row before the announcement gives up.
constexpr int kMaxLocalRenames = 20;
// How long Withdraw waits for the responder to take the records back before it
// ends the thread regardless (a hung responder holds a bus call up to its own
// time-out, 25 s).
constexpr uint32_t kWithdrawWaitMs = 10000;

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
    bool threadRunning = false;
    PollLock lock;
    // Set by the poll thread once it has withdrawn and disconnected.
    Event disconnected;
    AvahiClient* client GUARDED_BY(lock) = nullptr;
    AvahiEntryGroup* group GUARDED_BY(lock) = nullptr;
    ServiceDescription service GUARDED_BY(lock);
    Report report GUARDED_BY(lock);
    // Reported that the responder is not there, so the next success is news.
    bool waitingReported GUARDED_BY(lock) = false;
    // Withdraw has begun: a connection not yet made is not made any more.
    bool withdrawing GUARDED_BY(lock) = false;

    static void Connect(AvahiTimeout* timeout, void* user);
    static void Disconnect(AvahiTimeout* timeout, void* user);
    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* user);
    static void GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* user);
    void Publish(AvahiClient* client) REQUIRES(lock);
    void Rename() REQUIRES(lock);
    void Fail(const std::string& why) REQUIRES(lock);
    void FreeClient() REQUIRES(lock);
    // Runs callback on the poll thread as soon as it can.
    bool RunOnPollThread(AvahiTimeoutCallback callback);
};

bool ServiceAnnouncer::Impl::RunOnPollThread(AvahiTimeoutCallback callback)
{
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    const timeval due {};  // long past: due at once
    return api->timeout_new(api, &due, callback, this) != nullptr;
}

void ServiceAnnouncer::Impl::Connect(AvahiTimeout* timeout, void* user)
{
    auto* self = static_cast<Impl*>(user);
    self->lock.AssertHeld();
    const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
    api->timeout_free(timeout);
    if (self->withdrawing) {
        return;
    }
    int error = AVAHI_OK;
    // Waits for a responder that is not running (yet) instead of failing.
    self->client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &Impl::ClientChanged, self, &error);
    if (self->client == nullptr) {
        self->Fail(avahi_strerror(error));
    }
}

// Freeing the group asks the responder to withdraw the records (it sends the
// goodbye packets) and waits for its answer; freeing the client disconnects.
void ServiceAnnouncer::Impl::FreeClient()
{
    if (group != nullptr) {
        avahi_entry_group_free(group);
        group = nullptr;
    }
    if (client != nullptr) {
        avahi_client_free(client);
        client = nullptr;
    }
}

void ServiceAnnouncer::Impl::Disconnect(AvahiTimeout* timeout, void* user)
{
    auto* self = static_cast<Impl*>(user);
    self->lock.AssertHeld();
    avahi_threaded_poll_get(self->poll)->timeout_free(timeout);
    self->report = nullptr;
    self->FreeClient();
    self->disconnected.Set();
}

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

// Runs on the poll thread, the first time right inside avahi_client_new (before
// that call has returned the client, so only the argument is used).
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
    impl.disconnected.Reset();
    bool scheduled = false;
    {
        PollGuard guard(impl.lock);
        impl.service = service;
        impl.report = std::move(report);
        impl.waitingReported = false;
        impl.withdrawing = false;
        scheduled = impl.RunOnPollThread(&Impl::Connect);
    }
    if (!scheduled || avahi_threaded_poll_start(impl.poll) < 0) {
        error = "the responder's thread could not be started";
        Withdraw();
        return false;
    }
    impl.threadRunning = true;
    return true;
}

void ServiceAnnouncer::Withdraw()
{
    Impl& impl = *impl_;
    if (impl.poll == nullptr) {
        return;
    }
    if (impl.threadRunning) {
        bool scheduled = false;
        {
            PollGuard guard(impl.lock);
            impl.withdrawing = true;
            scheduled = impl.RunOnPollThread(&Impl::Disconnect);
        }
        if (scheduled) {
            impl.disconnected.Wait(kWithdrawWaitMs);
        }
        avahi_threaded_poll_stop(impl.poll);
        impl.threadRunning = false;
    }
    {
        // Whatever the thread did not get to (it never ran, or the responder
        // did not answer in time) is released here, with the thread gone.
        PollGuard guard(impl.lock);
        impl.report = nullptr;
        impl.FreeClient();
    }
    avahi_threaded_poll_free(impl.poll);
    impl.poll = nullptr;
    impl.lock.Attach(nullptr);
}

}  // namespace tarvos::platform
