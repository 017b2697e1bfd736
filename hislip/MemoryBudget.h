// The server-wide budget of the large buffers that sessions hold for a while:
// a block's 1 MiB data buffer and a response collected past its small size.
// However many sessions a client fleet opens, these buffers together stay
// under the limit; a session that finds the budget spent makes do without
// (its block is refused, its response leaves in small parts).
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvos {

class MemoryBudget {
public:
    static constexpr uint64_t kDefaultLimit = uint64_t{256} << 20;

    explicit MemoryBudget(uint64_t limit = kDefaultLimit) : limit_(limit) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes bytes from the budget; false (nothing taken) when they would pass
    // the limit.
    bool Reserve(uint64_t bytes)
    {
        uint64_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ || used > limit_ - bytes) {
                return false;
            }
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    // Gives back bytes that Reserve took.
    void Give(uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    uint64_t Used() const { return used_.load(std::memory_order_relaxed); }
    uint64_t Limit() const { return limit_; }

private:
    const uint64_t limit_;
    std::atomic<uint64_t> used_ {0};
};

}  // namespace tarvos
