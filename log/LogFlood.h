// The rate limit of one connection's log lines.
#pragma once

#include <cstdint>

namespace tarvos {

// Counts the lines of one connection (or of the whole server) in windows of
// one second. Up to the rate's lines of a window are written; further lines of that window
// are counted instead. A flood lasts while consecutive windows go past the
// rate; once one stays within it (or passes without a line), the count is
// reported once, before the next line is written.
class LogFlood {
public:
    // The rate of one connection, and of all connections together.
    static constexpr uint32_t kLinesPerSecond = 100;
    static constexpr uint32_t kServerLinesPerSecond = 500;
    static constexpr uint64_t kWindowMs = 1000;

    explicit LogFlood(uint32_t linesPerSecond = kLinesPerSecond) : limit_(linesPerSecond) {}

    // Decides for one line at nowMs (a monotonic time): true when it is to be
    // written. ended receives the number of lines of a flood that is over, to
    // be reported before this line, or 0.
    bool Admit(uint64_t nowMs, uint32_t& ended);
    // The lines counted and not reported yet; the count starts over.
    uint32_t TakeSuppressed();

private:
    uint32_t limit_;
    bool started_ = false;
    uint64_t windowStart_ = 0;
    uint32_t linesInWindow_ = 0;
    uint32_t suppressed_ = 0;
};

}  // namespace tarvos
