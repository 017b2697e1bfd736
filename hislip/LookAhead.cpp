#include "hislip/LookAhead.h"

#include <cstring>

namespace tarvos {

long LookAhead::Peek(uint8_t* destination, uint32_t n)
{
    if (n > kLookAheadSize) {
        return -1;
    }
    if (count_ == 0 && !clearPending_ && !endPending_) {
        pos_ = 0;
        InputEnd end = InputEnd::None;
        const long got = source_.ReadChannel(bytes_, kLookAheadSize, end);
        if (got == kDeviceClearEnd) {
            clearPending_ = true;
        } else if (got == kProgramMessageEnd) {
            endPending_ = true;
        } else if (got <= 0) {
            return got;
        } else {
            count_ = static_cast<uint32_t>(got);
            endsMessage_ = end == InputEnd::Message;
        }
    }
    if (count_ == 0 && clearPending_) {
        return kDeviceClearEnd;
    }
    if (count_ == 0 && endPending_) {
        return kProgramMessageEnd;
    }
    const uint32_t m = n < count_ ? n : count_;
    std::memcpy(destination, bytes_ + pos_, m);
    return m;
}

bool LookAhead::RunsOn() const
{
    return count_ != 0 && !endsMessage_ && !clearPending_ && !endPending_ && !source_.PayloadLeft();
}

long LookAhead::PeekJoined(uint8_t* destination, uint32_t n)
{
    if (n > kLookAheadSize) {
        return -1;
    }
    if (count_ < n && RunsOn()) {
        const long joined = JoinNextMessages(n);
        if (joined <= 0) {
            return joined;
        }
    }
    return Peek(destination, n);
}

long LookAhead::JoinNextMessages(uint32_t n)
{
    std::memmove(bytes_, bytes_ + pos_, count_);
    pos_ = 0;
    while (count_ < n) {
        InputEnd end = InputEnd::None;
        const uint32_t before = count_;
        const long got = source_.ReadChannel(bytes_ + count_, kLookAheadSize - count_, end);
        if (got == kDeviceClearEnd) {
            // The clear empties the input: the program message whose bytes
            // waited here for their next message is never executed.
            count_ = 0;
            endsMessage_ = false;
            clearPending_ = true;
            return 1;
        }
        if (got == kProgramMessageEnd) {
            // The bytes end the program message. After a unit separator a
            // unit of its own (the end, read as a newline) follows them, so
            // that the separator does not carry the message on.
            uint32_t last = count_;
            while (last > 0 && bytes_[last - 1] == ' ') {
                --last;
            }
            if (last > 0 && bytes_[last - 1] == ';') {
                endPending_ = true;
            } else {
                endsMessage_ = true;
            }
            return 1;
        }
        if (got <= 0) {
            return got;
        }
        count_ += static_cast<uint32_t>(got);
        endsMessage_ = end == InputEnd::Message;
        if (endsMessage_ || source_.PayloadLeft() || count_ == kLookAheadSize ||
            std::memchr(bytes_ + before, '\n', count_ - before) != nullptr) {
            return 1;
        }
    }
    return 1;
}

long LookAhead::Read(uint8_t* destination, uint64_t n, InputEnd& end)
{
    end = InputEnd::None;
    if (count_ == 0 && endPending_) {
        if (n == 0) {
            return -1;
        }
        endPending_ = false;
        end = InputEnd::Message;
        return kProgramMessageEnd;
    }
    if (count_ == 0 && clearPending_) {
        if (n == 0) {
            return -1;
        }
        clearPending_ = false;
        end = InputEnd::DeviceClear;
        return kDeviceClearEnd;
    }
    if (count_ == 0) {
        return source_.ReadChannel(destination, n, end);
    }
    const uint32_t m = n < count_ ? static_cast<uint32_t>(n) : count_;
    std::memcpy(destination, bytes_ + pos_, m);
    pos_ += m;
    count_ -= m;
    if (m == n || endsMessage_) {
        if (m == 0) {
            return -1;
        }
        if (count_ != 0) {
            return m;
        }
        end = endsMessage_ ? InputEnd::Message : InputEnd::None;
        endsMessage_ = false;
        return m;
    }
    // The look-ahead is used up and its message goes on: the rest of the read
    // comes straight from the channel.
    if (source_.PayloadLeft()) {
        const long got = source_.ReadChannel(destination + m, n - m, end);
        if (got == kDeviceClearEnd) {
            return m;
        }
        return got <= 0 ? got : got + static_cast<long>(m);
    }
    return m;
}

void LookAhead::Reset()
{
    pos_ = 0;
    count_ = 0;
    endsMessage_ = false;
    clearPending_ = false;
    endPending_ = false;
}

}  // namespace tarvos
