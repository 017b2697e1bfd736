#include "hislip/LookAhead.h"

#include <cstring>

namespace tarvos {

Taken LookAhead::Peek(uint8_t* destination, uint32_t n)
{
    if (n > kLookAheadSize) {
        return Taken::Without(Input::Failed);
    }
    if (count_ == 0 && !clearPending_ && !endPending_) {
        pos_ = 0;
        InputEnd end = InputEnd::None;
        const Taken got = source_.ReadChannel(bytes_, kLookAheadSize, end);
        if (got.outcome == Input::ClearEnded) {
            clearPending_ = true;
        } else if (got.outcome == Input::ProgramEnded) {
            endPending_ = true;
        } else if (!got.HasBytes()) {
            return got;
        } else {
            count_ = static_cast<uint32_t>(got.count);
            endsMessage_ = end == InputEnd::Message;
        }
    }
    if (count_ == 0 && clearPending_) {
        return Taken::Without(Input::ClearEnded);
    }
    if (count_ == 0 && endPending_) {
        return Taken::Without(Input::ProgramEnded);
    }
    const uint32_t m = n < count_ ? n : count_;
    std::memcpy(destination, bytes_ + pos_, m);
    return Taken::Bytes(m);
}

bool LookAhead::RunsOn() const
{
    return count_ != 0 && !endsMessage_ && !clearPending_ && !endPending_ && !source_.PayloadLeft();
}

Taken LookAhead::PeekJoined(uint8_t* destination, uint32_t n)
{
    if (n > kLookAheadSize) {
        return Taken::Without(Input::Failed);
    }
    if (count_ < n && RunsOn()) {
        const Input joined = JoinNextMessages(n);
        if (joined != Input::Bytes) {
            return Taken::Without(joined);
        }
    }
    return Peek(destination, n);
}

Input LookAhead::JoinNextMessages(uint32_t n)
{
    std::memmove(bytes_, bytes_ + pos_, count_);
    pos_ = 0;
    while (count_ < n) {
        InputEnd end = InputEnd::None;
        const uint32_t before = count_;
        const Taken got = source_.ReadChannel(bytes_ + count_, kLookAheadSize - count_, end);
        if (got.outcome == Input::ClearEnded) {
            // The clear empties the input: the program message whose bytes
            // waited here for their next message is never executed.
            count_ = 0;
            endsMessage_ = false;
            clearPending_ = true;
            return Input::Bytes;
        }
        if (got.outcome == Input::ProgramEnded) {
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
            return Input::Bytes;
        }
        if (!got.HasBytes()) {
            return got.outcome;
        }
        count_ += static_cast<uint32_t>(got.count);
        endsMessage_ = end == InputEnd::Message;
        if (endsMessage_ || source_.PayloadLeft() || count_ == kLookAheadSize ||
            std::memchr(bytes_ + before, '\n', count_ - before) != nullptr) {
            return Input::Bytes;
        }
    }
    return Input::Bytes;
}

Taken LookAhead::Read(uint8_t* destination, uint64_t n, InputEnd& end)
{
    end = InputEnd::None;
    if (count_ == 0 && endPending_) {
        if (n == 0) {
            return Taken::Without(Input::Failed);
        }
        endPending_ = false;
        end = InputEnd::Message;
        return Taken::Without(Input::ProgramEnded);
    }
    if (count_ == 0 && clearPending_) {
        if (n == 0) {
            return Taken::Without(Input::Failed);
        }
        clearPending_ = false;
        end = InputEnd::DeviceClear;
        return Taken::Without(Input::ClearEnded);
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
            return Taken::Without(Input::Failed);
        }
        if (count_ != 0) {
            return Taken::Bytes(m);
        }
        end = endsMessage_ ? InputEnd::Message : InputEnd::None;
        endsMessage_ = false;
        return Taken::Bytes(m);
    }
    // The look-ahead is used up and its message goes on: the rest of the read
    // comes straight from the channel.
    if (source_.PayloadLeft()) {
        const Taken got = source_.ReadChannel(destination + m, n - m, end);
        if (got.outcome == Input::ClearEnded) {
            return Taken::Bytes(m);
        }
        return got.HasBytes() ? Taken::Bytes(got.count + m) : got;
    }
    return Taken::Bytes(m);
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
