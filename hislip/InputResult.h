// What a peek or read of program input gives back: bytes, or what came
// instead of them (the peer closed, a failure, the end of a device clear or
// of a program message).
#pragma once

#include <cstdint>

namespace tarvos {

// How a peek or read of program input ended. The names match those of the
// receive loop's steps (Step) that they report.
enum class Input : uint8_t {
    // Bytes were taken (their count goes with it).
    Bytes,
    // The peer closed the connection, or the session stops.
    Closed,
    // A socket call failed, the peer broke the protocol, or the call asked
    // for what it may not.
    Failed,
    // A device clear has completed: the program message in progress ends.
    ClearEnded,
    // An empty DataEnd has ended the program message in progress (its bytes
    // came in Data messages).
    ProgramEnded,
};

// The result of a peek or read: how it ended and, for bytes, how many.
struct Taken {
    Input outcome;
    // The bytes taken when the outcome is Bytes, else 0.
    uint64_t count;

    static constexpr Taken Bytes(uint64_t n) { return Taken {Input::Bytes, n}; }
    // A result without bytes.
    static constexpr Taken Without(Input outcome) { return Taken {outcome, 0}; }
    // At least one byte was taken.
    constexpr bool HasBytes() const { return outcome == Input::Bytes && count != 0; }
};

}  // namespace tarvos
