// The parameter parsers: quoted string, decimal integer, definite-length block.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instrument/Cursor.h"
#include "instrument/Parser.h"
#include "platform/Console.h"

namespace tarvos {

namespace {

constexpr uint32_t kParameterPeek = 256;

bool IsDigit(uint8_t b)
{
    return b >= '0' && b <= '9';
}

}  // namespace

long Parser::ParseQuotedString(std::string& text, uint8_t& delimiter)
{
    delimiter = 0;
    Cursor look(source_);
    const long n = ParserResult(look.Open(kParameterPeek));
    if (n <= 0) {
        return n;
    }
    // A string, or the spaces around it, that run up to the end of the bytes
    // seen go on in the next message when those bytes end a Data message.
    for (;;) {
        text.clear();
        look.SkipSpaces();
        if (look.AtEnd() && look.More(kParameterPeek)) {
            continue;
        }
        const uint8_t quote = look.Here();
        if (quote != '\'' && quote != '"') {
            look.Consume(look.Seen());
            return -1;
        }
        const size_t seen = look.Seen();
        size_t from = look.Position() + 1;
        size_t closing = 0;
        bool closed = false;
        for (;;) {
            const void* found = from < seen ? std::memchr(look.Bytes() + from, quote, seen - from) : nullptr;
            if (found == nullptr) {
                break;
            }
            closing = static_cast<size_t>(static_cast<const uint8_t*>(found) - look.Bytes());
            text.append(reinterpret_cast<const char*>(look.Bytes() + from), closing - from);
            if (look.At(closing + 1) == quote) {
                text += static_cast<char>(quote);
                from = closing + 2;
                continue;
            }
            closed = true;
            break;
        }
        if (!closed || closing + 1 >= seen) {
            // No closing quote yet, or one that a doubled quote in the next
            // message may still turn into a quote of the text.
            if (look.More(kParameterPeek)) {
                continue;
            }
            if (!closed) {
                look.Consume(seen);
                return -1;
            }
        }
        look.MoveTo(closing + 1);
        look.SkipSpaces();
        if (look.AtEnd() && look.More(kParameterPeek)) {
            continue;
        }
        break;
    }
    delimiter = look.Here();
    // Whatever byte ends the string is consumed with it; the end of the bytes
    // seen only when the string ran up to it.
    const size_t end = look.Position();
    const size_t seen = look.Seen();
    return ParserResult(look.Consume(end >= seen ? seen : end + 1));
}

long Parser::ParseInteger(int32_t& value, uint8_t& delimiter, uint64_t* exact)
{
    std::string token;
    const long result = NextToken(token, delimiter, false);
    if (result <= 0) {
        return result;
    }
    uint32_t accumulated = 0;
    uint64_t whole = 0;
    for (const char c : token) {
        if (!IsDigit(static_cast<uint8_t>(c))) {
            return -1;
        }
        const auto digit = static_cast<uint32_t>(c - '0');
        accumulated = accumulated * 10u + digit;
        whole = whole > (UINT64_MAX - digit) / 10u ? UINT64_MAX : whole * 10u + digit;
    }
    value = static_cast<int32_t>(accumulated);
    if (exact != nullptr) {
        *exact = whole;
    }
    return result;
}

long Parser::ParseBlock(BlockSink& sink, uint8_t& delimiter)
{
    delimiter = 0;
    Cursor look(source_);
    long n = ParserResult(look.Open(kParameterPeek));
    if (n <= 0) {
        return n;
    }
    // A header that runs up to the end of the bytes seen goes on in the next
    // message when those bytes end a Data message.
    size_t i = 0;
    uint32_t length = 0;
    for (;;) {
        look.SkipSpaces();
        i = look.Position();
        const size_t need = look.At(i) == '#' && IsDigit(look.At(i + 1)) ? i + 2 + (look.At(i + 1) - '0') : i + 2;
        if (need > look.Seen() && look.More(kParameterPeek)) {
            continue;
        }
        break;
    }
    if (look.At(i) != '#') {
        return -1;
    }
    ++i;
    if (!IsDigit(look.At(i))) {
        return -1;
    }
    const int digits = look.At(i) - '0';
    ++i;
    for (int k = 0; k < digits; ++k, ++i) {
        if (!IsDigit(look.At(i))) {
            return -1;
        }
        length = length * 10u + static_cast<uint32_t>(look.At(i) - '0');
    }
    if (length > kBlockLengthLimit) {
        return -1;
    }
    // However long the block, its data passes through one buffer of fixed size,
    // paid for from the server's budget.
    blockRefused_ = false;
    if (length > 0 && blockBuffer_ == nullptr) {
        if (budget_ != nullptr && !budget_->Reserve(kBlockBufferSize)) {
            blockRefused_ = true;
        } else {
            blockBuffer_ = static_cast<uint8_t*>(std::malloc(kBlockBufferSize));
            if (blockBuffer_ == nullptr) {
                if (budget_ != nullptr) {
                    budget_->Give(kBlockBufferSize);
                }
                return -1;
            }
        }
    }
    InputEnd end = InputEnd::None;
    const long header = ParserResult(look.Consume(i, &end));
    if (header <= 0) {
        return header;
    }
    if (length == 0 && end != InputEnd::None) {
        return 0;
    }
    if (length > 0 && !blockRefused_) {
        sink.Begin(length);
    }
    // A message that ended right after the length digits leaves the data to
    // the next one.
    end = InputEnd::None;
    uint32_t count = 0;
    if (blockRefused_) {
        const long got = DropBlockData(length, count, end);
        if (got <= 0) {
            return got;
        }
        if (end != InputEnd::None) {
            return count;
        }
    }
    while (count < length) {
        // The buffer fills across messages, so the sink gets large pieces
        // whatever sizes the client's messages have.
        const uint32_t want = length - count < kBlockBufferSize ? length - count : kBlockBufferSize;
        uint32_t filled = 0;
        long got = 1;
        while (filled < want && end == InputEnd::None) {
            const Taken taken = source_.ReadBytes(blockBuffer_ + filled, want - filled, end);
            if (taken.outcome == Input::ClearEnded || taken.outcome == Input::ProgramEnded) {
                // Nothing more arrived before the clear, or the empty DataEnd,
                // ended the block.
                got = 1;
                break;
            }
            got = ParserResult(taken);
            if (got <= 0) {
                break;
            }
            filled += static_cast<uint32_t>(got);
        }
        if (filled > 0) {
            sink.Take(blockBuffer_, filled);
        }
        count += filled;
        if (got <= 0) {
            return got;
        }
        // The DataEnd message ended, or a device clear completed: the block
        // ends here, even short of its length.
        if (end != InputEnd::None) {
            return count;
        }
    }

    n = ParserResult(look.Open(kParameterPeek));
    if (n <= 0) {
        return n;
    }
    look.SkipSpaces();
    if (look.AtEnd() && look.More(kParameterPeek)) {
        look.SkipSpaces();
    }
    delimiter = look.Here();
    long read = 1;
    if (delimiter == ',' || delimiter == '\n') {
        read = ParserResult(look.Consume(look.Position() + 1));
    } else {
        platform::ConsolePrint("Unexpected Delimiter 0x%x\n",
                               static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(delimiter))));
        if (look.Position() > 0) {
            read = ParserResult(look.Consume(look.Position()));
        }
    }
    if (read <= 0) {
        return read;
    }
    return count;
}

}  // namespace tarvos
