// The program-message tokenizer.
#include "instrument/Parser.h"

#include <cstdlib>
#include <cstring>

#include "hislip/Protocol.h"
#include "instrument/Cursor.h"
#include "log/Log.h"

namespace tarvos {

namespace {

constexpr uint32_t kTokenPeek = 256;

bool EndsToken(uint8_t b)
{
    return b == 0 || b == ';' || b == ',' || b == ' ' || b == '\n';
}

}  // namespace

long Parser::SkipThrough(uint8_t byte)
{
    Cursor look(source_);
    const long n = ParserResult(look.Open(kLookAheadSize));
    if (n <= 0) {
        return n;
    }
    const void* found = std::memchr(look.Bytes(), byte, look.Seen());
    if (found == nullptr && look.More(kLookAheadSize)) {
        found = std::memchr(look.Bytes(), byte, look.Seen());
    }
    const size_t take = found != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(found) - look.Bytes()) + 1
                                         : look.Seen();
    return ParserResult(look.Consume(take));
}

long Parser::NextToken(std::string& token, uint8_t& delimiter, bool trace)
{
    token.clear();
    delimiter = 0;
    Cursor look(source_);
    const long n = ParserResult(look.Open(kTokenPeek));
    if (n <= 0) {
        return n;
    }
    // A token, or the spaces around it, that run up to the end of the bytes
    // seen go on in the next message when those bytes end a Data message.
    size_t start;
    for (;;) {
        look.SkipSpaces();
        if (look.AtEnd() && look.More(kTokenPeek)) {
            continue;
        }
        if (look.Here() == 0) {
            look.Consume(look.Seen());
            LogVerbose(source_.Log(),
                       "Socket[%X] >> Token Parser: only whitespaces or empty?? We do not like server attacks!",
                       source_.TraceNumber());
            return -1;
        }
        start = look.Position();
        while (!EndsToken(look.Here())) {
            look.MoveTo(look.Position() + 1);
        }
        const size_t end = look.Position();
        look.SkipSpaces();
        if (look.AtEnd() && look.More(kTokenPeek)) {
            continue;
        }
        look.MoveTo(end);
        break;
    }
    token.assign(reinterpret_cast<const char*>(look.Bytes() + start), look.Position() - start);
    if (trace && VerboseEnabled(source_.Log())) {
        LogVerbose(source_.Log(), "Socket[%X] >> Token: %.*s", source_.TraceNumber(),
                   static_cast<int>(token.size() < kTraceCut ? token.size() : kTraceCut), token.c_str());
    }
    look.SkipSpaces();
    delimiter = look.Here();
    const bool consumed = delimiter == ',' || delimiter == '\n' || delimiter == ';';
    return ParserResult(look.Consume(look.Position() + (consumed ? 1 : 0)));
}

void Parser::ReleaseBlockBuffer()
{
    if (blockBuffer_ != nullptr && budget_ != nullptr) {
        budget_->Give(kBlockBufferSize);
    }
    std::free(blockBuffer_);
    blockBuffer_ = nullptr;
}

long Parser::DropBlockData(uint32_t length, uint32_t& count, InputEnd& end)
{
    uint8_t scrap[4096];
    long got = 1;
    while (count < length && end == InputEnd::None) {
        const uint32_t want = length - count < sizeof(scrap) ? length - count : static_cast<uint32_t>(sizeof(scrap));
        const Taken taken = source_.ReadBytes(scrap, want, end);
        if (taken.outcome == Input::ClearEnded || taken.outcome == Input::ProgramEnded) {
            return 1;
        }
        got = ParserResult(taken);
        if (got <= 0) {
            return got;
        }
        count += static_cast<uint32_t>(got);
    }
    return got;
}

}  // namespace tarvos
