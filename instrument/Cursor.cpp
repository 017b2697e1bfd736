#include "instrument/Cursor.h"

namespace tarvos {

Taken Cursor::Open(uint32_t limit)
{
    return Look(source_.PeekBytes(bytes_, limit));
}

bool Cursor::More(uint32_t limit)
{
    if (seenAs_ != Input::Bytes) {
        return false;
    }
    const size_t before = seen_;
    const size_t position = position_;
    const Taken seen = Look(source_.PeekJoined(bytes_, limit));
    if (seen.HasBytes() && (seen_ > before || seenAs_ != Input::Bytes)) {
        return true;
    }
    // Nothing more: the bytes seen are as they were.
    position_ = position;
    return false;
}

Taken Cursor::Look(const Taken& peeked)
{
    seen_ = 0;
    position_ = 0;
    seenAs_ = Input::Bytes;
    if (peeked.outcome == Input::ClearEnded || peeked.outcome == Input::ProgramEnded) {
        seenAs_ = peeked.outcome;
        bytes_[0] = '\n';
        seen_ = 1;
    } else if (peeked.HasBytes()) {
        seen_ = static_cast<size_t>(peeked.count);
    } else {
        bytes_[0] = 0;
        return peeked;
    }
    bytes_[seen_] = 0;
    return Taken::Bytes(seen_);
}

void Cursor::SkipSpaces()
{
    while (bytes_[position_] == ' ') {
        ++position_;
    }
}

Taken Cursor::Consume(size_t count, InputEnd* end)
{
    InputEnd ended = InputEnd::None;
    Taken result = source_.ReadBytes(bytes_, static_cast<uint64_t>(count), ended);
    // The end of a clear or of a program message counts as the one byte it
    // was seen as.
    if (seenAs_ != Input::Bytes && result.outcome == seenAs_) {
        result = Taken::Bytes(1);
    }
    if (end != nullptr) {
        *end = ended;
    }
    return result;
}

}  // namespace tarvos
