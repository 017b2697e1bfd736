// Header encoding, type names and the printable rendering of payload bytes.
#include <gtest/gtest.h>

#include "common/EscapeForLog.h"
#include "hislip/MessageHeader.h"

namespace {

TEST(MessageHeader, EncodesBigEndianAndDecodesBack)
{
    uint8_t wire[tarvos::kHeaderSize];
    tarvos::EncodeHeader(wire, 7, 1, 0xFFFFFF00u, 0x0102030405060708ull);
    const uint8_t expected[] = {0x48, 0x53, 7, 1, 0xFF, 0xFF, 0xFF, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    for (size_t i = 0; i < sizeof(expected); ++i) {
        EXPECT_EQ(wire[i], expected[i]) << "byte " << i;
    }
    const tarvos::MessageHeader header = tarvos::DecodeHeader(wire);
    EXPECT_EQ(header.messageType, 7);
    EXPECT_EQ(header.controlCode, 1);
    EXPECT_EQ(header.messageParameter, 0xFFFFFF00u);
    EXPECT_EQ(header.payloadLength, 0x0102030405060708ull);

    tarvos::EncodeHeader(wire, 6, 0, 0, 300);
    for (int i = 8; i < 12; ++i) {
        EXPECT_EQ(wire[i], 0) << "high half of a 32-bit length";
    }
    EXPECT_EQ(wire[14], 0x01);
    EXPECT_EQ(wire[15], 0x2C);
}

TEST(MessageTypeName, NamesEveryCodeAndReducesToLowByte)
{
    EXPECT_STREQ(tarvos::MessageTypeName(0), "Initialize");
    EXPECT_STREQ(tarvos::MessageTypeName(15), "MaximumMessageSize");
    EXPECT_STREQ(tarvos::MessageTypeName(16), "AsyncMaximumMessageSizeResponse");
    EXPECT_STREQ(tarvos::MessageTypeName(25), "AsyncLockInfoResponse");
    EXPECT_STREQ(tarvos::MessageTypeName(26), "Unknown Code");
    EXPECT_STREQ(tarvos::MessageTypeName(255), "Unknown Code");
    EXPECT_STREQ(tarvos::MessageTypeName(256 + 7), "DataEnd");
}

TEST(EscapeForLog, RendersControlBytesAndBackslash)
{
    const uint8_t bytes[] = {0x41, 0x0D, 0x0A, 0xFF, 0x00, 0x5C, 0x01, 0x7F, 0x7E};
    EXPECT_EQ(tarvos::EscapeForLog(bytes, sizeof(bytes)), "A\\r\\n\\xFF\\0\\\\\\x01\\x7F~");
    EXPECT_EQ(tarvos::EscapeForLog(bytes, 0), "");
    EXPECT_EQ(tarvos::EscapeForLog(bytes, -3), "");
}

}  // namespace
