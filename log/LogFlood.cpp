#include "log/LogFlood.h"

namespace tarvos {

bool LogFlood::Admit(uint64_t nowMs, uint32_t& ended)
{
    ended = 0;
    if (!started_) {
        started_ = true;
        windowStart_ = nowMs;
    }
    const uint64_t elapsed = nowMs - windowStart_;
    if (elapsed >= kWindowMs) {
        // The window that just closed was calm, or a whole window went by
        // without a line: a flood before it is over.
        const bool floodGoesOn = linesInWindow_ > limit_ && elapsed < 2 * kWindowMs;
        if (!floodGoesOn) {
            ended = TakeSuppressed();
        }
        windowStart_ = nowMs;
        linesInWindow_ = 0;
    }
    if (linesInWindow_ < UINT32_MAX) {
        ++linesInWindow_;
    }
    if (linesInWindow_ <= limit_) {
        return true;
    }
    if (suppressed_ < UINT32_MAX) {
        ++suppressed_;
    }
    return false;
}

uint32_t LogFlood::TakeSuppressed()
{
    const uint32_t count = suppressed_;
    suppressed_ = 0;
    return count;
}

}  // namespace tarvos
