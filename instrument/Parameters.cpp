// Parameter parsers (quoted string, decimal integer, definite-length block) and
// the wrappers through which handlers call them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/Server.h"
#include "hislip/Channel.h"
#include "net/Connection.h"
#include "platform/Console.h"

namespace tarvos {

namespace {

constexpr uint32_t kParameterPeek = 256;

bool IsDigit(uint8_t b)
{
    return b >= '0' && b <= '9';
}

int Clamp(long result)
{
    return result > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(result);
}

}  // namespace

long Channel::ParseQuotedString(std::string& text, uint8_t& delimiter)
{
    delimiter = 0;
    text.clear();
    uint8_t peeked[kParameterPeek + 4];
    const long n = PeekBytes(peeked, kParameterPeek);
    if (n <= 0) {
        return n;
    }
    peeked[n] = 0;
    bool end = false;
    size_t i = 0;
    while (peeked[i] == ' ') {
        ++i;
    }
    const uint8_t quote = peeked[i];
    if (quote != '\'' && quote != '"') {
        ReadBytes(peeked, static_cast<uint64_t>(n), end);
        return -1;
    }
    size_t from = i + 1;
    size_t closing;
    for (;;) {
        const void* found = from < static_cast<size_t>(n)
                                ? std::memchr(peeked + from, quote, static_cast<size_t>(n) - from)
                                : nullptr;
        if (found == nullptr) {
            ReadBytes(peeked, static_cast<uint64_t>(n), end);
            return -1;
        }
        closing = static_cast<size_t>(static_cast<const uint8_t*>(found) - peeked);
        text.append(reinterpret_cast<const char*>(peeked + from), closing - from);
        if (peeked[closing + 1] == quote) {
            text += static_cast<char>(quote);
            from = closing + 2;
            continue;
        }
        break;
    }
    size_t j = closing + 1;
    while (peeked[j] == ' ') {
        ++j;
    }
    delimiter = peeked[j];
    const size_t take = j >= static_cast<size_t>(n) ? static_cast<size_t>(n) : j + 1;
    return ReadBytes(peeked, take, end);
}

long Channel::ParseInteger(int32_t& value, uint8_t& delimiter)
{
    std::string token;
    const long result = NextToken(token, delimiter, false);
    if (result <= 0) {
        return result;
    }
    uint32_t accumulated = 0;
    for (const char c : token) {
        if (!IsDigit(static_cast<uint8_t>(c))) {
            return -1;
        }
        accumulated = accumulated * 10u + static_cast<uint32_t>(c - '0');
    }
    value = static_cast<int32_t>(accumulated);
    return result;
}

long Channel::ParseBlock(BlockSink& sink, uint8_t& delimiter)
{
    delimiter = 0;
    bool endFlag = false;
    uint8_t peeked[kParameterPeek + 4];
    long n = PeekBytes(peeked, kParameterPeek);
    if (n <= 0) {
        return n;
    }
    peeked[n] = 0;
    size_t i = 0;
    while (peeked[i] == ' ') {
        ++i;
    }
    if (peeked[i] != '#') {
        return -1;
    }
    ++i;
    if (!IsDigit(peeked[i])) {
        return -1;
    }
    const int digits = peeked[i] - '0';
    ++i;
    uint32_t length = 0;
    for (int k = 0; k < digits; ++k, ++i) {
        if (!IsDigit(peeked[i])) {
            return -1;
        }
        length = length * 10u + static_cast<uint32_t>(peeked[i] - '0');
    }
    if (length > kBlockLengthLimit) {
        return -1;
    }
    // However long the block, its data passes through one buffer of fixed size.
    if (length > 0 && blockBuffer == nullptr) {
        blockBuffer = static_cast<uint8_t*>(std::malloc(kBlockBufferSize));
        if (blockBuffer == nullptr) {
            return -1;
        }
    }
    const long header = ReadBytes(peeked, i, endFlag);
    if (header <= 0) {
        return header;
    }
    if (length == 0 && endFlag) {
        return 0;
    }
    if (length > 0) {
        sink.Begin(length);
    }
    // A message that ended right after the length digits leaves the data to
    // the next one.
    endFlag = false;
    uint32_t count = 0;
    while (count < length) {
        // The buffer fills across messages, so the sink gets large pieces
        // whatever sizes the client's messages have.
        const uint32_t want = length - count < kBlockBufferSize ? length - count : kBlockBufferSize;
        uint32_t filled = 0;
        long got = 1;
        while (filled < want && !endFlag) {
            got = ReadBytes(blockBuffer + filled, want - filled, endFlag);
            if (got <= 0) {
                break;
            }
            filled += static_cast<uint32_t>(got);
        }
        if (filled > 0) {
            sink.Take(blockBuffer, filled);
        }
        count += filled;
        if (got <= 0) {
            return got;
        }
        // The DataEnd message ended, or a device clear completed: the block
        // ends here, even short of its length.
        if (endFlag) {
            return count;
        }
    }

    n = PeekBytes(peeked, kParameterPeek);
    if (n <= 0) {
        return n;
    }
    peeked[n] = 0;
    size_t j = 0;
    while (peeked[j] == ' ') {
        ++j;
    }
    delimiter = peeked[j];
    long read = 1;
    bool end = false;
    if (delimiter == ',' || delimiter == '\n') {
        read = ReadBytes(peeked, j + 1, end);
    } else {
        platform::ConsolePrint("Unexpected Delimiter 0x%x\n",
                               static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(delimiter))));
        if (j > 0) {
            read = ReadBytes(peeked, j, end);
        }
    }
    if (read <= 0) {
        return read;
    }
    return count;
}

int Connection::ExpectString(std::string& text, uint8_t& delimiter)
{
    if (delimiter == '\n') {
        errorQueue.PushError(FormatError(-109, "a string was expected"));
        return 0;
    }
    const long result = channel.ParseQuotedString(text, delimiter);
    if (result <= 0) {
        errorQueue.PushError(FormatError(-150));
    }
    return Clamp(result);
}

int Connection::ExpectInteger(int32_t& value, uint8_t& delimiter)
{
    if (delimiter == '\n') {
        errorQueue.PushError(FormatError(-109, "numeric data was expected"));
        return 0;
    }
    const long result = channel.ParseInteger(value, delimiter);
    if (result <= 0) {
        errorQueue.PushError(FormatError(-120));
    }
    return Clamp(result);
}

int Connection::ExpectBlock(BlockSink& sink, uint8_t& delimiter)
{
    if (delimiter == '\n') {
        errorQueue.PushError(FormatError(-109, "a block was expected"));
        return 0;
    }
    const uint32_t clears = channel.CompletedClears();
    const long result = channel.ParseBlock(sink, delimiter);
    // A device clear that ends the block is no error, and nothing of the
    // block counts.
    if (channel.CompletedClears() != clears) {
        return 0;
    }
    if (result <= 0) {
        errorQueue.PushError(FormatError(-160));
    }
    return Clamp(result);
}

}  // namespace tarvos
