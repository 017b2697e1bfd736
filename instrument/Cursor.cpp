#include "instrument/Cursor.h"

namespace tarvos {

long Cursor::Open(uint32_t limit)
{
    seen_ = 0;
    position_ = 0;
    marker_ = 0;
    const long n = source_.PeekBytes(bytes_, limit);
    if (n == kDeviceClearEnd || n == kProgramMessageEnd) {
        marker_ = n;
        bytes_[0] = '\n';
        seen_ = 1;
    } else if (n > 0) {
        seen_ = static_cast<size_t>(n);
    } else {
        bytes_[0] = 0;
        return n;
    }
    bytes_[seen_] = 0;
    return static_cast<long>(seen_);
}

void Cursor::SkipSpaces()
{
    while (bytes_[position_] == ' ') {
        ++position_;
    }
}

long Cursor::Consume(size_t count, InputEnd* end)
{
    InputEnd ended = InputEnd::None;
    long result = source_.ReadBytes(bytes_, static_cast<uint64_t>(count), ended);
    // The end of a clear or of a program message counts as the one byte it
    // was seen as.
    if (marker_ != 0 && result == marker_) {
        result = 1;
    }
    if (end != nullptr) {
        *end = ended;
    }
    return result;
}

}  // namespace tarvos
