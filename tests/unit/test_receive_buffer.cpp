// The buffered reader of a channel over a stream held in memory: messages come
// out whole wherever the receive calls cut the bytes, small ones arrive in one
// receive, a large payload goes straight into the reader's memory, and input
// held is seen without a call.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "hislip/MessageHeader.h"
#include "hislip/ReceiveBuffer.h"

namespace tarvos {
namespace {

// Hands out its bytes in receive calls of at most the scripted sizes (then of
// any size), and records every call; at the end it reports a close or a failure.
class ScriptedStream : public ByteStream {
public:
    struct Call {
        const void* destination;
        size_t length;
    };

    explicit ScriptedStream(std::vector<uint8_t> bytes, std::vector<size_t> cuts = {}, bool failAtEnd = false)
        : bytes_(std::move(bytes)), cuts_(std::move(cuts)), failAtEnd_(failAtEnd)
    {
    }

    long ReceiveSome(void* destination, size_t length) override
    {
        calls.push_back({destination, length});
        if (pos_ == bytes_.size()) {
            return failAtEnd_ ? -1 : 0;
        }
        size_t n = length;
        if (next_ < cuts_.size()) {
            n = std::min(n, cuts_[next_++]);
        }
        n = std::min(n, bytes_.size() - pos_);
        std::memcpy(destination, bytes_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

    std::vector<Call> calls;

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> cuts_;
    size_t next_ = 0;
    size_t pos_ = 0;
    bool failAtEnd_;
};

// A message's wire bytes: header, then payload bytes counting up from seed.
std::vector<uint8_t> Message(MessageType type, uint32_t id, size_t payload, uint8_t seed)
{
    uint8_t wire[kHeaderSize];
    EncodeHeader(wire, static_cast<uint8_t>(type), 0, id, payload);
    std::vector<uint8_t> bytes(wire, wire + kHeaderSize);
    for (size_t i = 0; i < payload; ++i) {
        bytes.push_back(static_cast<uint8_t>(seed + i));
    }
    return bytes;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& messages)
{
    std::vector<uint8_t> all;
    for (const auto& m : messages) {
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

// Reads one message as the receive loop does: its header, then its payload.
::testing::AssertionResult ReadsMessage(ReceiveBuffer& reader, const std::vector<uint8_t>& expected)
{
    uint8_t wire[kHeaderSize];
    if (reader.Take(wire, kHeaderSize) != ReceiveStatus::Done) {
        return ::testing::AssertionFailure() << "header not taken";
    }
    const MessageHeader header = DecodeHeader(wire);
    if (header.payloadLength != expected.size() - kHeaderSize) {
        return ::testing::AssertionFailure() << "payload length " << header.payloadLength;
    }
    std::vector<uint8_t> payload(static_cast<size_t>(header.payloadLength));
    if (reader.Take(payload.data(), payload.size()) != ReceiveStatus::Done) {
        return ::testing::AssertionFailure() << "payload not taken";
    }
    if (std::memcmp(wire, expected.data(), kHeaderSize) != 0 ||
        !std::equal(payload.begin(), payload.end(), expected.begin() + kHeaderSize)) {
        return ::testing::AssertionFailure() << "bytes differ";
    }
    return ::testing::AssertionSuccess();
}

TEST(ReceiveBuffer, MessagesComeOutWholeWhereverAReceiveEnds)
{
    const std::vector<std::vector<uint8_t>> messages = {
        Message(MessageType::DataEnd, 1, 6, 'a'), Message(MessageType::AsyncStatusQuery, 3, 0, 0),
        Message(MessageType::Data, 5, 1, 'x'), Message(MessageType::DataEnd, 7, 258, 0x40)};
    const std::vector<uint8_t> all = Join(messages);
    // The stream cut in two at every offset, and in three around every offset.
    for (size_t cut = 1; cut < all.size(); ++cut) {
        for (const std::vector<size_t>& cuts : {std::vector<size_t> {cut}, std::vector<size_t> {cut, 1, 1}}) {
            ScriptedStream stream(all, cuts);
            ReceiveBuffer reader(stream);
            for (size_t m = 0; m < messages.size(); ++m) {
                ASSERT_TRUE(ReadsMessage(reader, messages[m])) << "message " << m << ", cut at " << cut;
            }
            EXPECT_EQ(reader.Held(), 0u);
            uint8_t more;
            EXPECT_EQ(reader.Take(&more, 1), ReceiveStatus::Closed) << "cut at " << cut;
        }
    }
}

TEST(ReceiveBuffer, HeaderArrivingByteByByteIsTakenWhole)
{
    const std::vector<uint8_t> message = Message(MessageType::DataEnd, 0xFFFFFF01u, 5, 'q');
    ScriptedStream stream(message, std::vector<size_t>(message.size(), 1));
    ReceiveBuffer reader(stream);
    ASSERT_TRUE(ReadsMessage(reader, message));
    // One call for each byte, none more.
    EXPECT_EQ(stream.calls.size(), message.size());
}

TEST(ReceiveBuffer, SmallMessagesArriveInOneReceiveAndLargePayloadsStraightIntoTheReader)
{
    for (const size_t payload : {size_t {0}, size_t {1}, size_t {258}, size_t {64 * 1024 + 1}}) {
        const std::vector<uint8_t> first = Message(MessageType::DataEnd, 1, payload, 7);
        const std::vector<uint8_t> second = Message(MessageType::DataEnd, 3, 6, 'b');
        ScriptedStream stream(Join({first, second}));
        ReceiveBuffer reader(stream);

        uint8_t wire[kHeaderSize];
        ASSERT_EQ(reader.Take(wire, kHeaderSize), ReceiveStatus::Done);
        ASSERT_EQ(DecodeHeader(wire).payloadLength, payload);
        std::vector<uint8_t> body(payload + 1);
        ASSERT_EQ(reader.Take(body.data(), payload), ReceiveStatus::Done) << payload;
        EXPECT_TRUE(std::equal(body.begin(), body.begin() + static_cast<long>(payload), first.begin() + kHeaderSize))
            << payload;
        if (payload + kHeaderSize <= ReceiveBuffer::kCapacity) {
            // Header, payload and the next message came in the first call.
            EXPECT_EQ(stream.calls.size(), 1u) << payload;
            EXPECT_EQ(reader.Held(), second.size()) << payload;
        } else {
            // Past what the first call brought, every call wrote into the
            // reader's memory, never beyond the payload.
            ASSERT_GE(stream.calls.size(), 2u);
            for (size_t i = 1; i < stream.calls.size(); ++i) {
                const auto* at = static_cast<const uint8_t*>(stream.calls[i].destination);
                EXPECT_GE(at, body.data());
                EXPECT_LE(at + stream.calls[i].length, body.data() + payload);
            }
            EXPECT_EQ(reader.Held(), 0u);
        }
        ASSERT_TRUE(ReadsMessage(reader, second)) << payload;
    }
}

TEST(ReceiveBuffer, HeldInputIsSeenAndSkippedWithoutAReceive)
{
    const std::vector<uint8_t> first = Message(MessageType::DataEnd, 1, 300, 1);
    const std::vector<uint8_t> second = Message(MessageType::Data, 3, 10, 2);
    ScriptedStream stream(Join({first, second}));
    ReceiveBuffer reader(stream);
    uint8_t wire[kHeaderSize];
    ASSERT_EQ(reader.Take(wire, kHeaderSize), ReceiveStatus::Done);
    EXPECT_EQ(reader.Held(), first.size() + second.size() - kHeaderSize);
    ASSERT_EQ(reader.Skip(300), ReceiveStatus::Done);
    EXPECT_EQ(reader.Held(), second.size());
    ASSERT_TRUE(ReadsMessage(reader, second));
    EXPECT_EQ(stream.calls.size(), 1u);
    reader.Reset();
    EXPECT_EQ(reader.Held(), 0u);
}

TEST(ReceiveBuffer, SkipCrossesManyReceivesAndKeepsWhatFollows)
{
    const std::vector<uint8_t> big = Message(MessageType::Data, 1, 3 * ReceiveBuffer::kCapacity + 5, 9);
    const std::vector<uint8_t> next = Message(MessageType::DataEnd, 3, 2, 'z');
    ScriptedStream stream(Join({big, next}), {100, 5000, 3});
    ReceiveBuffer reader(stream);
    ASSERT_EQ(reader.Skip(big.size()), ReceiveStatus::Done);
    ASSERT_TRUE(ReadsMessage(reader, next));
}

TEST(ReceiveBuffer, CloseAndFailureBeforeTheLastByteAreTold)
{
    const std::vector<uint8_t> message = Message(MessageType::DataEnd, 1, 8000, 3);
    for (const bool fail : {false, true}) {
        const ReceiveStatus expected = fail ? ReceiveStatus::Failed : ReceiveStatus::Closed;
        // Ends inside the header.
        ScriptedStream shortHeader(std::vector<uint8_t>(message.begin(), message.begin() + 9), {}, fail);
        ReceiveBuffer headerReader(shortHeader);
        uint8_t wire[kHeaderSize];
        EXPECT_EQ(headerReader.Take(wire, kHeaderSize), expected);
        // Ends inside a large payload taken straight, and inside a skip.
        std::vector<uint8_t> body(8000);
        ScriptedStream shortBody(std::vector<uint8_t>(message.begin(), message.end() - 1), {}, fail);
        ReceiveBuffer bodyReader(shortBody);
        ASSERT_EQ(bodyReader.Take(wire, kHeaderSize), ReceiveStatus::Done);
        EXPECT_EQ(bodyReader.Take(body.data(), body.size()), expected);
        ScriptedStream shortSkip(std::vector<uint8_t>(message.begin(), message.end() - 1), {}, fail);
        ReceiveBuffer skipReader(shortSkip);
        EXPECT_EQ(skipReader.Skip(message.size()), expected);
    }
}

}  // namespace
}  // namespace tarvos
