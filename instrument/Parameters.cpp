// Parameter parsers (quoted string, decimal integer, definite-length block) and
// the wrappers through which handlers call them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/Server.h"
#include "hislip/Channel.h"
#include "net/Connection.h"

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

long Channel::ParseBlock(const uint8_t*& data, uint8_t& delimiter)
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
    if (length > blockCapacity) {
        if (length > kBlockLengthLimit) {
            return -1;
        }
        std::free(blockBuffer);
        blockBuffer = static_cast<uint8_t*>(std::malloc(length));
        if (blockBuffer == nullptr) {
            blockCapacity = 0;
            return -1;
        }
        blockCapacity = length;
    }
    data = blockBuffer;
    const long header = ReadBytes(peeked, i, endFlag);
    if (header <= 0) {
        return header;
    }
    uint32_t count = 0;
    while (count < length) {
        const long got = ReadBytes(blockBuffer + count, length - count, endFlag);
        if (got <= 0) {
            return got;
        }
        count += static_cast<uint32_t>(got);
        if (endFlag) {
            return count;
        }
    }
    if (length == 0 && endFlag) {
        return 0;
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
        std::printf("Unexpected Delimiter 0x%x\n", static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(delimiter))));
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

int Connection::ExpectBlock(const uint8_t*& data, uint8_t& delimiter)
{
    if (delimiter == '\n') {
        errorQueue.PushError(FormatError(-109, "a block was expected"));
        return 0;
    }
    const long result = channel.ParseBlock(data, delimiter);
    if (result <= 0) {
        errorQueue.PushError(FormatError(-160));
    }
    return Clamp(result);
}

}  // namespace tarvos
