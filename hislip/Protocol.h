// The numbers of the HiSLIP protocol as this server speaks it: what goes into
// the messages it sends and what it looks for in those it receives.
#pragma once

#include <cstdint>

namespace tarvos {

// Protocol version 1.0, in the upper half of InitializeResponse's parameter.
constexpr uint32_t kProtocolVersion = 0x0100;
// The server's vendor ID, the parameter of AsyncInitializeResponse.
constexpr uint16_t kServerVendorId = 0x515A;
// The maximum message size reported in AsyncMaximumMessageSizeResponse (the
// server does not enforce it).
constexpr uint64_t kMaxMessageSize = 100000000u;

// MessageID that comes before the first one a client sends (0xFFFFFF00).
constexpr uint32_t kMessageIdBeforeFirst = 0xFFFFFEFEu;

// Control code of Data, DataEnd, Trigger and AsyncStatusQuery: the client has
// received the response to its previous message (RMT-delivered).
constexpr uint8_t kRmtDelivered = 1;
// Control code bit of DeviceClearComplete and of both acknowledges, and of
// InitializeResponse: the session is in overlapped mode.
constexpr uint8_t kOverlapped = 1;

// FatalError codes the server sends: the session can't be set up as asked.
constexpr uint8_t kFatalInvalidSequence = 3;
constexpr uint8_t kFatalTooManyConnections = 4;
// Error code the server sends for a message the channel does not take.
constexpr uint8_t kErrorUnrecognizedType = 1;

// Control code of AsyncLock that releases a lock (any other value requests one).
constexpr uint8_t kLockRelease = 0;

// Control codes of AsyncLockResponse.
enum class LockResponse : uint8_t {
    Failure = 0,         // not granted, or nothing to release
    Success = 1,         // granted, or the exclusive lock released
    SharedReleased = 2,  // the shared lock released
    Error = 3,           // the lock is already held
};

// The server-wide lock state: 0 not locked, 1 shared, 2 exclusive, 3 both.
constexpr uint32_t kLockStateShared = 1u;
constexpr uint32_t kLockStateExclusive = 2u;

// At most this many payload bytes (and token bytes) are shown in a trace line.
constexpr uint32_t kTraceCut = 250;

}  // namespace tarvos
