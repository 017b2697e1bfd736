// One look at the front of the program input, shared by the tokenizer and the
// parameter parsers: the bytes a peek returned, a NUL after them, and a
// position that the parser moves over them before it consumes what it used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hislip/ByteSource.h"

namespace tarvos {

class Cursor {
public:
    explicit Cursor(ByteSource& source) : source_(source) {}
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // Peeks up to limit bytes (at most kLookAheadSize) and puts the position
    // on the first. The bytes seen, or the peek's result when it saw none
    // (Closed or Failed). The end of a device clear at the front is seen as
    // one newline: it ends the program message in progress as the message's
    // terminator would, and consuming it consumes the clear. So is an empty
    // DataEnd that ends the program message in progress.
    Taken Open(uint32_t limit);
    // The parser has looked at every byte seen and needs more: when those
    // bytes end a Data message, the bytes of the following messages are
    // joined to them (see ByteSource::PeekJoined). True when more was seen
    // (or the clear that emptied the input); the position is back on the
    // first byte, for the parser to look again.
    bool More(uint32_t limit);
    // The position is past the last byte seen.
    bool AtEnd() const { return position_ >= seen_; }
    // Moves the position past the spaces there.
    void SkipSpaces();

    size_t Seen() const { return seen_; }
    size_t Position() const { return position_; }
    void MoveTo(size_t position) { position_ = position; }
    // The byte at the position; the NUL after the bytes seen at their end.
    uint8_t Here() const { return bytes_[position_]; }
    uint8_t At(size_t index) const { return bytes_[index]; }
    const uint8_t* Bytes() const { return bytes_; }

    // Consumes the first count bytes seen (count at most Seen()); the
    // ReadBytes result, one byte for an end seen as a newline. end, when
    // given, tells how the bytes end.
    Taken Consume(size_t count, InputEnd* end = nullptr);

private:
    // Takes in what a peek returned.
    Taken Look(const Taken& peeked);

    ByteSource& source_;
    uint8_t bytes_[kLookAheadSize + 1] = {};
    size_t seen_ = 0;
    size_t position_ = 0;
    // What is seen: bytes, or the end of a device clear or of a program
    // message (ClearEnded or ProgramEnded, the outcome of the peek).
    Input seenAs_ = Input::Bytes;
};

}  // namespace tarvos
