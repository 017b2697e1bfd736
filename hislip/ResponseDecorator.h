// The send path of a session's responses, seen from outside: the messages of
// a response as they are about to leave, the plain way out, and the
// decorator that a test puts in that way (through the channel's hooks) when
// it wants a response other than plain. With no decorator armed, responses
// take the plain way.
#pragma once

#include <cstdint>

#include "hislip/MessageHeader.h"
#include "hislip/ReceiveResult.h"
#include "log/Log.h"
#include "platform/Socket.h"

namespace tarvos {

// Response messages about to leave, numbered and booked: for message i its
// encoded header headers[i] (writable) and the slices 2i (that header) and
// 2i+1 (its payload).
struct OutgoingMessages {
    uint8_t (*headers)[kHeaderSize] = nullptr;
    platform::SendSlice* slices = nullptr;
    uint32_t count = 0;
};

// The plain way out of a session's responses.
class ResponseOutlet {
public:
    // Traces the messages and sends them: byte by byte when the channel sends
    // so (slow mode, or a paced session when shapeable), else in one gather send.
    virtual Sent SendMessages(const OutgoingMessages& messages, bool shapeable) = 0;
    // Traces the messages, as SendMessages does, without sending them.
    virtual void TraceMessages(const OutgoingMessages& messages) = 0;
    // Sends the bytes of the slices as they stand in one gather send: the
    // bytes the socket took, or -1.
    virtual long SendBytes(const platform::SendSlice* slices, uint32_t count) = 0;
    // Shuts both channels of the session down: their workers and the client see the end.
    virtual void ShutDownSession() = 0;
    // The number that trace lines about the channel print ("Socket[%X]"), and
    // where its lines go.
    virtual unsigned TraceNumber() const = 0;
    virtual LogState* Log() const = 0;

protected:
    ~ResponseOutlet() = default;
};

// Stands in the way of a session's responses while a test wants them other
// than plain; sends them through the plain outlet, changed as it likes.
class ResponseDecorator {
public:
    virtual Sent Send(OutgoingMessages& messages, ResponseOutlet& plain) = 0;

protected:
    ~ResponseDecorator() = default;
};

}  // namespace tarvos
