// How the steps of a channel's receive loop end, and how a message send ends.
#pragma once

#include <cstdint>

#include "hislip/ReceiveBuffer.h"

namespace tarvos {

// The end of one step of the receive loop: reading a header, handling a
// message, reading or throwing away payload.
enum class Step : uint8_t {
    // Done; the loop goes on with the next step.
    GoOn,
    // The input has ended: the peer closed, or the session stops.
    Closed,
    // The connection ends: a socket call failed, or the peer broke the protocol.
    Failed,
    // A device clear has completed; the program message in progress ends.
    ClearEnded,
    // An empty DataEnd has ended the program message in progress (its bytes
    // came in Data messages).
    ProgramEnded,
};

// The step that a receive which did not get its bytes ends.
constexpr Step StepOf(ReceiveStatus status)
{
    return status == ReceiveStatus::Done ? Step::GoOn
           : status == ReceiveStatus::Closed ? Step::Closed
                                             : Step::Failed;
}

// How a message send ended.
enum class Sent : uint8_t {
    // The socket took the message (its error line, if it took less than the
    // header, is written).
    Whole,
    // The socket took less than the payload: the message stops short.
    Short,
    // The send failed.
    Failed,
};

}  // namespace tarvos
