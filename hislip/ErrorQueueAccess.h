// What the protocol engine needs of the instrument's error queue: it pushes the
// Interrupted entry onto it and reports whether it is empty.
#pragma once

#include <string>

namespace tarvos {

class ErrorQueueAccess {
public:
    // Appends a formatted entry; called by the session's worker thread only.
    virtual void PushError(const std::string& entry) = 0;
    // True while the queue holds no entry; any thread may ask.
    virtual bool Empty() const = 0;

protected:
    ~ErrorQueueAccess() = default;
};

}  // namespace tarvos
