#include "hislip/LookAhead.h"

#include <cstring>

namespace tarvos {

long LookAhead::Peek(uint8_t* destination, uint32_t n)
{
    if (n > kLookAheadSize) {
        return -1;
    }
    if (count_ == 0 && !clearPending_) {
        pos_ = 0;
        InputEnd end = InputEnd::None;
        const long got = source_.ReadChannel(bytes_, kLookAheadSize, end);
        if (got == kDeviceClearEnd) {
            clearPending_ = true;
        } else if (got <= 0) {
            return got;
        } else {
            count_ = static_cast<uint32_t>(got);
            endsMessage_ = end == InputEnd::Message;
        }
    }
    if (clearPending_) {
        return kDeviceClearEnd;
    }
    const uint32_t m = n < count_ ? n : count_;
    std::memcpy(destination, bytes_ + pos_, m);
    return m;
}

long LookAhead::Read(uint8_t* destination, uint64_t n, InputEnd& end)
{
    end = InputEnd::None;
    if (clearPending_) {
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
}

}  // namespace tarvos
