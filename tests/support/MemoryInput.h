// Program messages held in memory as the byte source of a parser: what the
// parser's unit tests and its fuzz harness feed it instead of a channel. The
// messages go through the same look-ahead as a channel's; delivery follows the
// receive loop's rules (one read never spans two messages, an empty message
// delivers nothing, the end of a DataEnd and of a device clear are reported).
// A read waits for a message to be queued, or for Close().
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "hislip/ByteSource.h"
#include "hislip/LookAhead.h"

namespace tarvos::test {

class MemoryInput final : public ByteSource, public PayloadSource {
public:
    explicit MemoryInput(LogState* log = nullptr, unsigned traceNumber = 0x2A) : log_(log), traceNumber_(traceNumber)
    {
    }

    // Queues one message's payload: a DataEnd (it ends its program message) or a Data.
    void Send(const std::string& payload, bool dataEnd = true)
    {
        Queue(Message {payload, dataEnd, false});
    }
    // Queues the completion of a device clear.
    void DeviceClear() { Queue(Message {{}, false, true}); }
    // Nothing more will come: a read that waits then reports a closed input.
    void Close()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        arrived_.notify_all();
    }
    // Device clears that reads have consumed so far.
    int ClearsConsumed() const { return clearsConsumed_; }

    Taken PeekBytes(uint8_t* destination, uint32_t n) override { return lookAhead_.Peek(destination, n); }
    Taken PeekJoined(uint8_t* destination, uint32_t n) override { return lookAhead_.PeekJoined(destination, n); }
    Taken ReadBytes(uint8_t* destination, uint64_t n, InputEnd& end) override
    {
        const Taken result = lookAhead_.Read(destination, n, end);
        clearsConsumed_ += end == InputEnd::DeviceClear ? 1 : 0;
        return result;
    }
    unsigned TraceNumber() const override { return traceNumber_; }
    LogState* Log() const override { return log_; }

    Taken ReadChannel(uint8_t* buffer, uint64_t count, InputEnd& end) override
    {
        end = InputEnd::None;
        if (count == 0) {
            return Taken::Bytes(1);
        }
        std::unique_lock<std::mutex> guard(mutex_);
        while (left_ == 0) {
            arrived_.wait(guard, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty()) {
                return Taken::Without(Input::Closed);
            }
            const Message next = queue_.front();
            queue_.pop_front();
            if (next.clear) {
                end = InputEnd::DeviceClear;
                return Taken::Without(Input::ClearEnded);
            }
            current_ = next;
            taken_ = 0;
            left_ = next.payload.size();
        }
        const size_t n = count < left_ ? static_cast<size_t>(count) : left_;
        std::memcpy(buffer, current_.payload.data() + taken_, n);
        taken_ += n;
        left_ -= n;
        if (left_ == 0 && current_.dataEnd) {
            end = InputEnd::Message;
        }
        return Taken::Bytes(n);
    }
    bool PayloadLeft() const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return left_ != 0;
    }

private:
    struct Message {
        std::string payload;
        bool dataEnd = true;
        bool clear = false;
    };
    void Queue(const Message& message)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(message);
        arrived_.notify_all();
    }

    LogState* const log_;
    const unsigned traceNumber_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Message> queue_;
    bool closed_ = false;
    Message current_;
    size_t taken_ = 0;
    size_t left_ = 0;
    int clearsConsumed_ = 0;
    LookAhead lookAhead_ {*this};
};

}  // namespace tarvos::test
