// The 16-byte HiSLIP message header and the message type codes.
#pragma once

#include <cstdint>

namespace tarvos {

enum class MessageType : uint8_t {
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    MaximumMessageSize = 15,
    AsyncMaximumMessageSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
};

constexpr uint32_t kHeaderSize = 16;
constexpr uint8_t kPrologue0 = 0x48;  // 'H'
constexpr uint8_t kPrologue1 = 0x53;  // 'S'

// A header as the server holds it: parameter and length in host order.
struct MessageHeader {
    uint8_t prologue[2] = {kPrologue0, kPrologue1};
    uint8_t messageType = 0;
    uint8_t controlCode = 0;
    uint32_t messageParameter = 0;
    uint64_t payloadLength = 0;
};

// The name that traces print for a type code (its low 8 bits), or "Unknown Code".
const char* MessageTypeName(unsigned code);

// Writes the 16 wire bytes of a header; parameter and length go out big-endian.
void EncodeHeader(uint8_t (&wire)[kHeaderSize], uint8_t type, uint8_t controlCode, uint32_t messageParameter,
                  uint64_t payloadLength);
// Reads the 16 wire bytes into a host-order header.
MessageHeader DecodeHeader(const uint8_t (&wire)[kHeaderSize]);

uint64_t ReadBigEndian64(const uint8_t* bytes);
void WriteBigEndian64(uint8_t* bytes, uint64_t value);

}  // namespace tarvos
