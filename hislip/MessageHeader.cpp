#include "hislip/MessageHeader.h"

namespace tarvos {

namespace {

const char* const kTypeNames[] = {
    "Initialize",
    "InitializeResponse",
    "FatalError",
    "Error",
    "AsyncLock",
    "AsyncLockResponse",
    "Data",
    "DataEnd",
    "DeviceClearComplete",
    "DeviceClearAcknowledge",
    "AsyncRemoteLocalControl",
    "AsyncRemoteLocalResponse",
    "Trigger",
    "Interrupted",
    "AsyncInterrupted",
    "MaximumMessageSize",
    "AsyncMaximumMessageSizeResponse",
    "AsyncInitialize",
    "AsyncInitializeResponse",
    "AsyncDeviceClear",
    "AsyncServiceRequest",
    "AsyncStatusQuery",
    "AsyncStatusResponse",
    "AsyncDeviceClearAcknowledge",
    "AsyncLockInfo",
    "AsyncLockInfoResponse",
};

}  // namespace

const char* MessageTypeName(unsigned code)
{
    const unsigned type = code & 0xFFu;
    if (type < sizeof(kTypeNames) / sizeof(kTypeNames[0])) {
        return kTypeNames[type];
    }
    return "Unknown Code";
}

uint64_t ReadBigEndian64(const uint8_t* bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void WriteBigEndian64(uint8_t* bytes, uint64_t value)
{
    for (int i = 7; i >= 0; --i) {
        bytes[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

void EncodeHeader(uint8_t (&wire)[kHeaderSize], uint8_t type, uint8_t controlCode, uint32_t messageParameter,
                  uint64_t payloadLength)
{
    wire[0] = kPrologue0;
    wire[1] = kPrologue1;
    wire[2] = type;
    wire[3] = controlCode;
    wire[4] = static_cast<uint8_t>(messageParameter >> 24);
    wire[5] = static_cast<uint8_t>(messageParameter >> 16);
    wire[6] = static_cast<uint8_t>(messageParameter >> 8);
    wire[7] = static_cast<uint8_t>(messageParameter);
    WriteBigEndian64(wire + 8, payloadLength);
}

MessageHeader DecodeHeader(const uint8_t (&wire)[kHeaderSize])
{
    MessageHeader header;
    header.prologue[0] = wire[0];
    header.prologue[1] = wire[1];
    header.messageType = wire[2];
    header.controlCode = wire[3];
    header.messageParameter = (static_cast<uint32_t>(wire[4]) << 24) | (static_cast<uint32_t>(wire[5]) << 16) |
                              (static_cast<uint32_t>(wire[6]) << 8) | static_cast<uint32_t>(wire[7]);
    header.payloadLength = ReadBigEndian64(wire + 8);
    return header;
}

}  // namespace tarvos
