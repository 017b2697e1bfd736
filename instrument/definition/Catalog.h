// The instruments a definition file made, one per resource, each bound to a
// sub-address: every session whose Initialize names that sub-address talks
// to the same instrument. Built before the server starts and installed for
// the whole process; read-only afterwards, apart from each instrument's
// state, which its lock guards.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/definition/DeviceState.h"
#include "instrument/definition/Loader.h"
#include "platform/Mutex.h"

namespace tarvos::definition {

// One instrument of the file. Its lock is taken by a session's worker while
// it executes one program message, with no other lock held: two sessions
// never interleave inside a message. Inside it only a test command of the
// session takes locks (its channel's, the send lock, the log lock).
class DeviceInstance {
public:
    DeviceInstance(const Binding& binding, uint64_t seed);
    DeviceInstance(const DeviceInstance&) = delete;
    DeviceInstance& operator=(const DeviceInstance&) = delete;

    // The answers of one program message (see DeviceState::Execute). Each
    // unit is offered to intercept first (the session's own test commands):
    // when it takes the unit it appends any answer itself, and it may stop
    // the message (false).
    using Intercept = std::function<bool(std::string_view unit, std::string& out, bool& stop)>;
    std::string Execute(std::string_view message, const Intercept& intercept) EXCLUDES(lock_);

    const Binding& Bound() const { return binding_; }

private:
    const Binding binding_;
    platform::Mutex lock_;
    DeviceState state_ GUARDED_BY(lock_);
};

class Catalog {
public:
    explicit Catalog(const std::vector<Binding>& bindings);

    // The instrument bound to the sub-address (case does not matter), or null.
    DeviceInstance* Find(std::string_view subAddress) const;
    size_t Size() const { return devices_.size(); }
    const DeviceInstance& At(size_t index) const { return *devices_[index]; }

    // The catalog every session looks in; null (the default) serves the
    // built-in instrument on every sub-address. Installed before the server
    // starts and kept until it has stopped.
    static void Install(const Catalog* catalog);
    static const Catalog* Installed();

private:
    std::vector<std::unique_ptr<DeviceInstance>> devices_;
};

}  // namespace tarvos::definition
