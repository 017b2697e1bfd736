// The program bytes of a session as the parser reads them: the payload of the
// Data and DataEnd messages of the synchronous channel, in order, with the
// ends of messages and the ends of device clears marked.
#pragma once

#include <cstdint>

#include "hislip/InputResult.h"
#include "log/Log.h"

namespace tarvos {

// The most a peek may ask for: the size of the look-ahead.
constexpr uint32_t kLookAheadSize = 258;

// How the bytes of one read end.
enum class InputEnd : uint8_t {
    // The program message may go on.
    None,
    // The bytes end a DataEnd message.
    Message,
    // A device clear has completed: the program message in progress ends here.
    DeviceClear,
};

class ByteSource {
public:
    // Copies up to n bytes (n at most kLookAheadSize, else Failed) from the
    // front of the input without consuming them, waiting for the next message
    // when none are there; never bytes of two messages. The bytes copied;
    // Closed when the peer closed; ClearEnded when the end of a device clear
    // is at the front, ProgramEnded when an empty DataEnd that ends the
    // program message is; Failed on failure.
    virtual Taken PeekBytes(uint8_t* destination, uint32_t n) = 0;
    // The same, for a parser that has looked at every byte there and needs
    // more: bytes that end a Data message run on into the next message, so
    // the bytes of the following messages are joined to them (waiting for
    // them) until n are there, or a newline, a DataEnd or the end of a device
    // clear comes. A clear empties the input: the bytes that waited for their
    // program message to go on are dropped, and the end of the clear is at
    // the front. Otherwise as PeekBytes.
    virtual Taken PeekJoined(uint8_t* destination, uint32_t n) = 0;
    // Consumes up to n bytes into destination; end tells how they end. Bytes
    // already peeked are taken first, then the rest of their message, never
    // bytes of the next one. The end of a device clear is consumed too: alone,
    // the result is ClearEnded; after bytes, the read returns those bytes. So
    // is an empty DataEnd that ends the program message (ProgramEnded, end
    // Message). Otherwise as PeekBytes.
    virtual Taken ReadBytes(uint8_t* destination, uint64_t n, InputEnd& end) = 0;
    // The number that trace lines about this input print ("Socket[%X]").
    virtual unsigned TraceNumber() const = 0;
    // Where trace lines about this input go.
    virtual LogState* Log() const = 0;

protected:
    ~ByteSource() = default;
};

}  // namespace tarvos
