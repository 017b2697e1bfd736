#include "instrument/definition/Catalog.h"

#include <atomic>
#include <random>

namespace tarvos::definition {

namespace {

std::atomic<const Catalog*> installed {nullptr};

bool SameNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = (x >= 'A' && x <= 'Z') ? static_cast<char>(x - 'A' + 'a') : x;
        y = (y >= 'A' && y <= 'Z') ? static_cast<char>(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

DeviceInstance::DeviceInstance(const Binding& binding, uint64_t seed)
    : binding_(binding), state_(*binding_.definition, seed)
{
}

std::string DeviceInstance::Execute(std::string_view message, const Intercept& intercept)
{
    platform::MutexLock guard(lock_);
    std::string out;
    for (std::string_view unit : state_.Units(message)) {
        bool stop = false;
        if (intercept && intercept(unit, out, stop)) {
            if (stop) {
                break;
            }
            continue;
        }
        state_.ExecuteUnit(unit, out);
    }
    return out;
}

Catalog::Catalog(const std::vector<Binding>& bindings)
{
    // RANDOM answers differ from one start to the next, as the simulator's do.
    std::random_device entropy;
    for (const Binding& b : bindings) {
        const uint64_t seed = (static_cast<uint64_t>(entropy()) << 32) ^ entropy();
        devices_.push_back(std::make_unique<DeviceInstance>(b, seed));
    }
}

DeviceInstance* Catalog::Find(std::string_view subAddress) const
{
    for (const auto& d : devices_) {
        if (SameNoCase(d->Bound().subAddress, subAddress)) {
            return d.get();
        }
    }
    return nullptr;
}

void Catalog::Install(const Catalog* catalog)
{
    installed.store(catalog, std::memory_order_release);
}

const Catalog* Catalog::Installed()
{
    return installed.load(std::memory_order_acquire);
}

}  // namespace tarvos::definition
