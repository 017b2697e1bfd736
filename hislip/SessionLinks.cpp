#include "hislip/SessionLinks.h"

namespace tarvos {

void SessionLinks::Link(Channel* sync, Channel* async)
{
    platform::MutexLock guard(lock);
    DropLocked(sync);
    DropLocked(async);
    links[sync].peer = async;
    links[async].peer = sync;
}

void SessionLinks::DropLocked(const Channel* channel)
{
    const auto own = links.find(channel);
    if (own == links.end()) {
        return;
    }
    Channel* const old = own->second.peer;
    own->second.peer = nullptr;
    if (old != nullptr) {
        const auto other = links.find(old);
        if (other != links.end() && other->second.peer == channel) {
            other->second.peer = nullptr;
            TidyLocked(old);
        }
    }
    TidyLocked(channel);
}

void SessionLinks::TidyLocked(const Channel* channel)
{
    const auto found = links.find(channel);
    if (found != links.end() && found->second.peer == nullptr && found->second.pins == 0) {
        links.erase(found);
    }
}

void SessionLinks::Unlink(const Channel* channel)
{
    platform::MutexLock guard(lock);
    for (;;) {
        DropLocked(channel);
        const auto found = links.find(channel);
        if (found == links.end() || found->second.pins == 0) {
            return;
        }
        unpinned.Wait(guard);
    }
}

Channel* SessionLinks::Pin(const Channel* channel)
{
    platform::MutexLock guard(lock);
    const auto own = links.find(channel);
    Channel* const peer = own != links.end() ? own->second.peer : nullptr;
    if (peer != nullptr) {
        ++links[peer].pins;
    }
    return peer;
}

void SessionLinks::Unpin(const Channel* partner)
{
    platform::MutexLock guard(lock);
    const auto found = links.find(partner);
    if (found == links.end()) {
        return;
    }
    if (--found->second.pins == 0) {
        TidyLocked(partner);
        unpinned.NotifyAll();
    }
}

size_t SessionLinks::Size() const
{
    platform::MutexLock guard(lock);
    return links.size();
}

}  // namespace tarvos
