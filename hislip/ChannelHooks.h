// Where test features meet a channel's protocol path. The protocol code calls
// these at fixed points and names no feature; with nothing armed, every
// message takes the plain path.
#pragma once

#include <cstdint>

#include "hislip/ResponseDecorator.h"

namespace tarvos {

class ChannelHooks {
public:
    // What happened to the session, for features that end or follow with it.
    enum class Event : uint8_t {
        // A device clear began: the asynchronous channel got AsyncDeviceClear.
        ClearBegins,
        // A device clear completed: the synchronous channel got DeviceClearComplete.
        ClearCompleted,
        // This channel's end of the session began.
        SessionEnds,
        // The channel is reset for a new connection.
        Reset,
    };

    // Called before an asynchronous channel answers a control message.
    virtual void BeforeAsyncAnswer() = 0;
    // Whether a message that may be shaped leaves byte by byte now.
    virtual bool ShapesSend() const = 0;
    // Called before byte number index (> 0) of a message that leaves byte by
    // byte and may be shaped; the message began at startMs.
    virtual void BeforeByte(uint64_t startMs, uint32_t index) = 0;
    virtual void On(Event event) = 0;
    // What the session's responses leave through instead of the plain send
    // while a test wants them other than plain; null otherwise.
    virtual ResponseDecorator* Decorator() const = 0;

protected:
    ~ChannelHooks() = default;
};

}  // namespace tarvos
