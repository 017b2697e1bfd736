// The instrument's error queue and the SCPI error texts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "hislip/ErrorQueueAccess.h"

namespace tarvos {

// The constant text of an SCPI error code; never fails.
const char* ErrorText(int32_t code);
// "<code>,\"<text>[;<detail>]\"" as SYST:ERR? answers it.
std::string FormatError(int32_t code, const std::string& detail = std::string());

// First-in first-out list of formatted error entries of one session. It keeps
// at most kCapacity entries: a push into a full queue replaces the newest entry
// by the queue-overflow entry, as SCPI instruments do.
class ErrorQueue final : public ErrorQueueAccess {
public:
    static constexpr size_t kCapacity = 100;

    // Entries are pushed, read and removed by the session's worker thread only.
    void PushError(const std::string& entry) override;
    const std::string& Front() const { return entries_.front(); }
    void PopFront()
    {
        entries_.pop_front();
        count_.store(entries_.size(), std::memory_order_relaxed);
    }
    void Clear()
    {
        entries_.clear();
        count_.store(0, std::memory_order_relaxed);
    }
    // The emptiness is also read by the asynchronous channel's thread (status
    // query), so it is kept in an atomic count.
    bool Empty() const override { return Size() == 0; }
    size_t Size() const { return count_.load(std::memory_order_relaxed); }

private:
    std::deque<std::string> entries_;
    std::atomic<size_t> count_ {0};
};

}  // namespace tarvos
