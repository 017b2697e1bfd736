// The program-message tokenizer over the channel's look-ahead.
#include <cstring>

#include "hislip/Channel.h"
#include "hislip/Protocol.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kTokenPeek = 256;

bool EndsToken(uint8_t b)
{
    return b == 0 || b == ';' || b == ',' || b == ' ' || b == '\n';
}

}  // namespace

long Channel::SkipThrough(uint8_t byte)
{
    uint8_t peeked[kLookAheadSize + 2];
    const long n = PeekBytes(peeked, kLookAheadSize);
    if (n <= 0) {
        return n;
    }
    const void* found = std::memchr(peeked, byte, static_cast<size_t>(n));
    const long take = found != nullptr ? static_cast<const uint8_t*>(found) - peeked + 1 : n;
    bool end = false;
    return ReadBytes(peeked, static_cast<uint64_t>(take), end);
}

long Channel::NextToken(std::string& token, uint8_t& delimiter, bool trace)
{
    token.clear();
    delimiter = 0;
    uint8_t peeked[kTokenPeek + 4];
    const long n = PeekBytes(peeked, kTokenPeek);
    if (n <= 0) {
        return n;
    }
    peeked[n] = 0;
    bool end = false;

    size_t i = 0;
    while (peeked[i] == ' ') {
        ++i;
    }
    if (peeked[i] == 0) {
        ReadBytes(peeked, static_cast<uint64_t>(n), end);
        LogVerbose(log, "Socket[%X] >> Token Parser: only whitespaces or empty?? We do not like server attacks!",
                   platform::TraceNumber(Socket()));
        return -1;
    }
    const size_t start = i;
    while (!EndsToken(peeked[i])) {
        ++i;
    }
    token.assign(reinterpret_cast<const char*>(peeked + start), i - start);
    if (trace) {
        LogVerbose(log, "Socket[%X] >> Token: %.*s", platform::TraceNumber(Socket()),
                   static_cast<int>(token.size() < kTraceCut ? token.size() : kTraceCut), token.c_str());
    }
    while (peeked[i] == ' ') {
        ++i;
    }
    delimiter = peeked[i];
    const size_t take = i + ((delimiter == ',' || delimiter == '\n' || delimiter == ';') ? 1 : 0);
    return ReadBytes(peeked, take, end);
}

}  // namespace tarvos
