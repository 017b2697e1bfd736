#include "instrument/Cursor.h"

namespace tarvos {

long Cursor::Open(uint32_t limit)
{
    return Look(source_.PeekBytes(bytes_, limit));
}

bool Cursor::More(uint32_t limit)
{
    if (marker_ != 0) {
        return false;
    }
    const size_t before = seen_;
    const size_t position = position_;
    const long n = Look(source_.PeekJoined(bytes_, limit));
    if (n > 0 && (seen_ > before || marker_ != 0)) {
        return true;
    }
    // Nothing more: the bytes seen are as they were.
    position_ = position;
    return false;
}

long Cursor::Look(long n)
{
    seen_ = 0;
    position_ = 0;
    marker_ = 0;
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
