// Where the responses of a session's instrument leave: the synchronous
// channel, which checks each against the session's state (device clear, a
// response that came too late), numbers it with its MessageID and sends it.
// Whatever stands between an instrument and its channel (a response filter of
// a test command, say) implements this too.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace tarvos {

// How a response, or a part of it, left.
enum class Answered : uint8_t {
    // The socket took it whole (or there was nothing to send).
    Sent,
    // Nobody takes it any more: a device clear dropped it, or it came too
    // late (a final part turns into Interrupted).
    Dropped,
    // The socket took less than its payload: the message stops short.
    Short,
    // The send failed (or the call asked for what it may not).
    Failed,
};

// The response may go on: its part left, or nobody takes it and its final
// part decides what the client sees.
constexpr bool GoesOn(Answered answered)
{
    return answered == Answered::Sent || answered == Answered::Dropped;
}

class ResponseWriter {
public:
    // Most non-final parts one SendResponseParts call takes.
    static constexpr uint32_t kMaxResponseParts = 64;

    // The final part of a response (a DataEnd): Dropped when it was dropped
    // or turned into Interrupted (Failed when the Interrupted pair could not
    // be sent), else how the send went.
    virtual Answered SendResponseEnd(const void* data, uint32_t length) = 0;
    Answered SendResponse(const std::string& text)
    {
        return SendResponseEnd(text.data(), static_cast<uint32_t>(text.size()));
    }
    // A non-final part of a joined response that outgrew its buffer while its
    // program message is still being read. Booked and numbered like a part of
    // SendResponseParts, but the unread rest of that program message doesn't
    // make it late: the final part decides. Result as SendResponseEnd.
    virtual Answered SendResponsePart(const void* data, uint32_t length) = 0;
    // Consecutive non-final parts (at most kMaxResponseParts), checked once and
    // handed to the socket in one gather send. Result as SendResponseEnd;
    // Dropped tells whoever produces the parts that nobody takes the response
    // any more (device clear, or it turned late), so that it stops.
    virtual Answered SendResponseParts(const platform::SendSlice* parts, uint32_t count) = 0;

protected:
    ~ResponseWriter() = default;
};

}  // namespace tarvos
