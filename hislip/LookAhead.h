// The parser's look-ahead: program bytes taken from the receive loop and not yet
// consumed, so that the parser can peek before it reads.
#pragma once

#include <cstdint>

#include "hislip/ByteSource.h"

namespace tarvos {

// Where the look-ahead takes its bytes from: the receive loop of a channel
// (or, in tests, messages held in memory).
class PayloadSource {
public:
    // Places up to count (> 0) payload bytes of Data and DataEnd messages into
    // buffer, handling every other message on the way; never bytes of two
    // messages. The bytes placed (end Message when they end a DataEnd); Closed
    // when the peer closed; ClearEnded (end DeviceClear) when a device clear
    // completed; ProgramEnded (end Message) when an empty DataEnd ended a
    // program message whose bytes came in Data messages; Failed on failure.
    virtual Taken ReadChannel(uint8_t* buffer, uint64_t count, InputEnd& end) = 0;
    // True while the current message has payload not yet delivered.
    virtual bool PayloadLeft() const = 0;

protected:
    ~PayloadSource() = default;
};

// PeekBytes and ReadBytes of ByteSource over a PayloadSource. Used by one
// thread, the session's worker.
class LookAhead {
public:
    explicit LookAhead(PayloadSource& source) : source_(source) {}

    Taken Peek(uint8_t* destination, uint32_t n);
    // Peek, with the bytes of the following messages joined first when the
    // bytes there end a Data message (see ByteSource::PeekJoined).
    Taken PeekJoined(uint8_t* destination, uint32_t n);
    Taken Read(uint8_t* destination, uint64_t n, InputEnd& end);
    // Input taken from the channel and not yet consumed: bytes, or the end of a
    // device clear or of a program message.
    bool HoldsInput() const { return count_ != 0 || clearPending_ || endPending_; }
    void Reset();

private:
    // The buffered bytes end a Data message: their program message goes on in
    // the next message.
    bool RunsOn() const;
    // Joins the bytes of the following messages to buffered bytes that end a
    // Data message, until n are there, a newline is, or a DataEnd, a device
    // clear or the room ends it. Bytes, or the receive loop's Closed or
    // Failed.
    Input JoinNextMessages(uint32_t n);

    PayloadSource& source_;
    uint8_t bytes_[kLookAheadSize] = {};
    uint32_t pos_ = 0;
    uint32_t count_ = 0;
    // The buffered bytes end a DataEnd message.
    bool endsMessage_ = false;
    // The end of a device clear follows the buffered bytes (is at the front
    // once they are consumed).
    bool clearPending_ = false;
    // The end of a program message (an empty DataEnd) follows the buffered
    // bytes (is at the front once they are consumed).
    bool endPending_ = false;
};

}  // namespace tarvos
