// The program-message parser: the tokenizer and the three parameter parsers
// (quoted string, decimal integer, definite-length block) over the session's
// byte source. Results: greater than 0 success, 0 the input closed, -1 (or
// another negative value) failure or rejected input.
#pragma once

#include <cstdint>
#include <string>

#include "hislip/ByteSource.h"
#include "hislip/MemoryBudget.h"
#include "instrument/BlockSink.h"

namespace tarvos {

// A block may declare at most this many data bytes.
constexpr uint32_t kBlockLengthLimit = 209715200u;
// A block's data passes through a buffer of this size on its way to its sink.
constexpr uint32_t kBlockBufferSize = 1u << 20;

// What the byte source gave back, in the terms of the parser's results: the
// bytes taken, 0 when the peer closed, -1 for whatever else came instead of
// bytes.
constexpr long ParserResult(const Taken& taken)
{
    return taken.outcome == Input::Bytes    ? static_cast<long>(taken.count)
           : taken.outcome == Input::Closed ? 0
                                            : -1;
}

class Parser {
public:
    // budget (when given) pays for the block buffer: without it a block is
    // refused, its data read and dropped.
    explicit Parser(ByteSource& source, MemoryBudget* budget = nullptr) : source_(source), budget_(budget) {}
    ~Parser() { ReleaseBlockBuffer(); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next token (a header or a number) and the byte that ended it: the
    // first non-space byte after it, 0 when the bytes of one peek ran out.
    // Consumes the delimiter when it is ',', ';' or a newline. trace writes
    // the token to the verbose log.
    long NextToken(std::string& token, uint8_t& delimiter, bool trace);
    // Consumes the input through the next byte (within one peek of up to
    // kLookAheadSize bytes; all of them when the byte isn't among them).
    long SkipThrough(uint8_t byte);

    long ParseQuotedString(std::string& text, uint8_t& delimiter);
    // A number of digits; value keeps its low 32 bits. exact (when given)
    // receives the whole number, held at UINT64_MAX when it is larger.
    long ParseInteger(int32_t& value, uint8_t& delimiter, uint64_t* exact = nullptr);
    // Hands the block's data to sink as it arrives, in pieces of up to
    // kBlockBufferSize bytes; the count of data bytes read. When the budget
    // can't pay for the block buffer, the data is read and dropped without
    // reaching the sink, and BlockRefused() tells so until the next block.
    long ParseBlock(BlockSink& sink, uint8_t& delimiter);
    bool BlockRefused() const { return blockRefused_; }

    // Gives the block buffer back (a session has ended); the next block
    // allocates it again.
    void ReleaseBlockBuffer();

private:
    // Reads a block's data of length bytes through a small buffer and drops
    // it; the result of the last read (1 when it met an end instead of
    // bytes), end as it tells.
    long DropBlockData(uint32_t length, uint32_t& count, InputEnd& end);

    ByteSource& source_;
    MemoryBudget* const budget_;
    // Holds kBlockBufferSize bytes once the session's first block has come.
    uint8_t* blockBuffer_ = nullptr;
    bool blockRefused_ = false;
};

}  // namespace tarvos
