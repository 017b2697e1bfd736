// The program-message tokenizer, the byte interface under it and the
// parameter parsers, driven in memory: the test queues the payloads of Data
// and DataEnd messages (and the ends of device clears), the parser reads them
// through the same look-ahead as a channel's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "instrument/Parser.h"
#include "tests/support/HislipClient.h"
#include "tests/support/MemoryInput.h"

namespace {

using tarvos::Input;
using tarvos::InputEnd;
using tarvos::test::Msg;

// Collects what ParseBlock hands over.
struct CollectingSink final : tarvos::BlockSink {
    void Begin(uint32_t length) override
    {
        declared = length;
        ++begins;
    }
    void Take(const uint8_t* data, size_t length) override
    {
        bytes.append(reinterpret_cast<const char*>(data), length);
        ++pieces;
    }
    uint32_t declared = 0;
    int begins = 0;
    int pieces = 0;
    std::string bytes;
};

struct TokenResult {
    long result = 0;
    std::string token;
    uint8_t delimiter = 0xFF;
};

class ProgramParser : public ::testing::Test {
protected:
    void SetUp() override
    {
        log = std::tmpfile();
        ASSERT_NE(log, nullptr);
        tarvos::ScopedLock guard(logState.logLock);
        logState.logStream = log;
        logState.verbose = true;
    }

    void TearDown() override
    {
        // Nothing waits for input any more.
        input.Close();
        {
            tarvos::ScopedLock guard(logState.logLock);
            logState.logStream = nullptr;
        }
        std::fclose(log);
    }

    void Send(const std::string& payload, Msg type = Msg::DataEnd) { input.Send(payload, type == Msg::DataEnd); }

    TokenResult Next(bool trace = false)
    {
        TokenResult r;
        r.result = parser.NextToken(r.token, r.delimiter, trace);
        return r;
    }

    std::string Peek(uint32_t n)
    {
        std::vector<uint8_t> buffer(n + 1);
        const tarvos::Taken got = input.PeekBytes(buffer.data(), n);
        return got.HasBytes() ? std::string(buffer.begin(), buffer.begin() + static_cast<long>(got.count))
                              : std::string();
    }

    std::string Read(uint64_t n, bool& end)
    {
        std::vector<uint8_t> buffer(n);
        InputEnd ended = InputEnd::None;
        const tarvos::Taken got = input.ReadBytes(buffer.data(), n, ended);
        end = ended != InputEnd::None;
        return got.HasBytes() ? std::string(buffer.begin(), buffer.begin() + static_cast<long>(got.count))
                              : std::string();
    }

    std::string LogText()
    {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), log)) > 0) {
            text.append(chunk, n);
        }
        return text;
    }

    tarvos::LogState logState;
    std::FILE* log = nullptr;
    tarvos::test::MemoryInput input {&logState};
    tarvos::Parser parser {input};
};

TEST_F(ProgramParser, TokensEndAtDelimitersAndSkipSpaces)
{
    Send("*IDN?\n");
    TokenResult t = Next();
    EXPECT_EQ(t.result, 6);
    EXPECT_EQ(t.token, "*IDN?");
    EXPECT_EQ(t.delimiter, '\n');

    // A parameter's first byte is the delimiter and stays in the input.
    Send("SLEEP 100\n");
    t = Next();
    EXPECT_EQ(t.result, 6);
    EXPECT_EQ(t.token, "SLEEP");
    EXPECT_EQ(t.delimiter, '1');
    EXPECT_EQ(Peek(10), "100\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 4);

    Send("SLEEP,100\n");
    t = Next();
    EXPECT_EQ(t.result, 6);
    EXPECT_EQ(t.delimiter, ',');
    EXPECT_EQ(Peek(10), "100\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 4);

    Send("  *CLS ;*OPC?\n");
    t = Next();
    EXPECT_EQ(t.result, 8);
    EXPECT_EQ(t.token, "*CLS");
    EXPECT_EQ(t.delimiter, ';');
    t = Next();
    EXPECT_EQ(t.result, 6);
    EXPECT_EQ(t.token, "*OPC?");
    EXPECT_EQ(t.delimiter, '\n');

    for (const char* unit : {"\n", ";"}) {
        Send(unit);
        t = Next();
        EXPECT_EQ(t.result, 1) << unit;
        EXPECT_EQ(t.token, "") << unit;
        EXPECT_EQ(t.delimiter, static_cast<uint8_t>(unit[0]));
    }

    // The end of a DataEnd is no terminator in itself: the delimiter is 0.
    Send("*OPC?");
    t = Next();
    EXPECT_EQ(t.result, 5);
    EXPECT_EQ(t.token, "*OPC?");
    EXPECT_EQ(t.delimiter, 0);

    // Carriage return is a token byte.
    Send("*IDN?\r\n");
    t = Next();
    EXPECT_EQ(t.token, "*IDN?\r");
    EXPECT_EQ(t.delimiter, '\n');
}

TEST_F(ProgramParser, SpacesOnlyAreRejectedAndDiscarded)
{
    Send("     ");
    Send("*IDN?\n");
    const TokenResult t = Next();
    EXPECT_EQ(t.result, -1);
    EXPECT_NE(LogText().find(">> Token Parser: only whitespaces or empty?? We do not like server attacks!"),
              std::string::npos);
    // All the spaces were consumed: the next call starts with the next message.
    const TokenResult after = Next();
    EXPECT_EQ(after.token, "*IDN?");
    EXPECT_EQ(after.result, 6);
}

TEST_F(ProgramParser, LongHeaderIsSplitAtPeekAndMessageBounds)
{
    std::string header;
    for (int i = 0; i < 300; ++i) {
        header += static_cast<char>('A' + i % 26);
    }
    Send(header);
    TokenResult t = Next(true);
    EXPECT_EQ(t.result, 256);
    EXPECT_EQ(t.token, header.substr(0, 256));
    EXPECT_EQ(t.delimiter, 0);
    t = Next();
    EXPECT_EQ(t.result, 2);
    EXPECT_EQ(t.token, header.substr(256, 2));
    EXPECT_EQ(t.delimiter, 0);
    t = Next();
    EXPECT_EQ(t.result, 42);
    EXPECT_EQ(t.token, header.substr(258));
    EXPECT_EQ(t.delimiter, 0);

    // Only the first call traced, and its line is cut to 250 bytes.
    const std::string log = LogText();
    EXPECT_NE(log.find(">> Token: " + header.substr(0, 250) + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(header.substr(0, 251)), std::string::npos);
    EXPECT_EQ(log.find(">> Token: " + header.substr(256, 2)), std::string::npos);
}

TEST_F(ProgramParser, SkipThroughWorksOnOnePeek)
{
    Send(std::string(299, 'x') + "\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 258);
    EXPECT_EQ(parser.SkipThrough('\n'), 42);

    Send("abc\ndef\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 4);
    EXPECT_EQ(Peek(10), "def\n");
}

TEST_F(ProgramParser, PeekAndReadShareTheLookAhead)
{
    uint8_t big[300];
    EXPECT_EQ(input.PeekBytes(big, 259).outcome, Input::Failed);

    Send("0123456789");
    EXPECT_EQ(Peek(258), "0123456789");
    EXPECT_EQ(Peek(4), "0123");
    bool end = true;
    EXPECT_EQ(Read(5, end), "01234");
    EXPECT_FALSE(end);
    EXPECT_EQ(Read(5, end), "56789");
    EXPECT_TRUE(end);

    // Data, Data, DataEnd: one byte stream, the end only with its last byte.
    Send("ab", Msg::Data);
    Send("cd", Msg::Data);
    Send("ef");
    std::string stream;
    std::vector<bool> ends;
    for (int i = 0; i < 6; ++i) {
        stream += Read(1, end);
        ends.push_back(end);
    }
    EXPECT_EQ(stream, "abcdef");
    EXPECT_EQ(ends, (std::vector<bool> {false, false, false, false, false, true}));

    // A read never mixes bytes of two messages.
    Send("gh", Msg::Data);
    Send("ij");
    EXPECT_EQ(Read(10, end), "gh");
    EXPECT_FALSE(end);
    EXPECT_EQ(Read(10, end), "ij");
    EXPECT_TRUE(end);
}

TEST_F(ProgramParser, TokensRunOnAcrossDataMessagesUpToANewlineOrADataEnd)
{
    // A peek joins the next messages to bytes that end a Data message.
    Send("*ID", Msg::Data);
    Send("N", Msg::Data);
    Send("? 12", Msg::Data);
    Send("3;");
    TokenResult t = Next();
    EXPECT_EQ(t.token, "*IDN?");
    EXPECT_EQ(t.delimiter, '1');
    int32_t value = 0;
    uint8_t delimiter = 0;
    EXPECT_GT(parser.ParseInteger(value, delimiter), 0);
    EXPECT_EQ(value, 123);
    EXPECT_EQ(delimiter, ';');

    // A newline in the bytes there ends the program message: nothing more is
    // awaited before they are read.
    Send("*CLS\n*OPC", Msg::Data);
    t = Next();
    EXPECT_EQ(t.token, "*CLS");
    EXPECT_EQ(t.delimiter, '\n');
    Send("?\n");
    t = Next();
    EXPECT_EQ(t.token, "*OPC?");
    EXPECT_EQ(t.delimiter, '\n');

    // Within one message the look-ahead's window still ends a token.
    Send(std::string(300, 'A'));
    t = Next();
    EXPECT_EQ(t.token.size(), 256u);
    EXPECT_EQ(t.delimiter, 0);
}

TEST_F(ProgramParser, IntegersAreDigitsOnlyAndWrap)
{
    int32_t value = 7;
    uint8_t delimiter = 0;
    Send(" 15\n");
    EXPECT_EQ(parser.ParseInteger(value, delimiter), 4);
    EXPECT_EQ(value, 15);
    EXPECT_EQ(delimiter, '\n');

    // "*SRE,": an empty number is 0.
    Send("*SRE,\n");
    TokenResult t = Next();
    EXPECT_EQ(t.delimiter, ',');
    value = 7;
    EXPECT_EQ(parser.ParseInteger(value, delimiter), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(delimiter, '\n');

    Send("4294967297\n");
    EXPECT_GT(parser.ParseInteger(value, delimiter), 0);
    EXPECT_EQ(value, 1);

    Send("-1\n");
    value = 7;
    EXPECT_EQ(parser.ParseInteger(value, delimiter), -1);
    EXPECT_EQ(value, 7);
}

TEST_F(ProgramParser, QuotedStringsHonourDoubledQuotes)
{
    std::string text;
    uint8_t delimiter = 0;
    Send("  'it''s' ,next\n");
    EXPECT_EQ(parser.ParseQuotedString(text, delimiter), 11);
    EXPECT_EQ(text, "it's");
    EXPECT_EQ(delimiter, ',');
    EXPECT_EQ(parser.SkipThrough('\n'), 5);

    Send("\"don't \"\"x\"\"\"\n");
    EXPECT_GT(parser.ParseQuotedString(text, delimiter), 0);
    EXPECT_EQ(text, "don't \"x\"");
    EXPECT_EQ(delimiter, '\n');

    // The string ends the message: the delimiter is 0 and exactly the message is read.
    Send("'end'");
    EXPECT_EQ(parser.ParseQuotedString(text, delimiter), 5);
    EXPECT_EQ(text, "end");
    EXPECT_EQ(delimiter, 0);

    // No closing quote: everything peeked is thrown away.
    Send("'open\n");
    Send("'after'\n");
    EXPECT_EQ(parser.ParseQuotedString(text, delimiter), -1);
    EXPECT_GT(parser.ParseQuotedString(text, delimiter), 0);
    EXPECT_EQ(text, "after");

    Send("bare\n");
    EXPECT_EQ(parser.ParseQuotedString(text, delimiter), -1);
}

TEST_F(ProgramParser, BlocksReadTheirDeclaredLength)
{
    CollectingSink data;
    uint8_t delimiter = 0xFF;
    Send("#14abcd\nX");
    EXPECT_EQ(parser.ParseBlock(data, delimiter), 4);
    EXPECT_EQ(data.declared, 4u);
    EXPECT_EQ(data.begins, 1);
    EXPECT_EQ(data.bytes, "abcd");
    EXPECT_EQ(delimiter, '\n');
    EXPECT_EQ(Peek(10), "X");
    EXPECT_EQ(parser.SkipThrough('X'), 1);

    // The message ends before the declared length.
    Send("#210abcdef");
    delimiter = 0xFF;
    data = CollectingSink();
    EXPECT_EQ(parser.ParseBlock(data, delimiter), 6);
    EXPECT_EQ(data.declared, 10u);
    EXPECT_EQ(data.bytes, "abcdef");
    EXPECT_EQ(delimiter, 0);

    // A ';' after the data is reported on the console and left in the input.
    Send("#13xyz ;*OPC?\n");
    testing::internal::CaptureStdout();
    const long got = parser.ParseBlock(data, delimiter);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, 3);
    EXPECT_EQ(delimiter, ';');
    EXPECT_EQ(console, "Unexpected Delimiter 0x3b\n");
    EXPECT_EQ(Peek(3), ";*O");
    EXPECT_EQ(parser.SkipThrough('\n'), 7);

    // One byte above the limit: refused before anything is consumed.
    Send("#9209715201abc\n");
    data = CollectingSink();
    EXPECT_EQ(parser.ParseBlock(data, delimiter), -1);
    EXPECT_EQ(data.begins, 0);
    EXPECT_EQ(Peek(258), "#9209715201abc\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 15);

    // Bad length digits and a missing '#' consume nothing either.
    for (const std::string bad : {"#2a5xx\n", "14abcd\n", "#x\n"}) {
        Send(bad);
        EXPECT_EQ(parser.ParseBlock(data, delimiter), -1) << bad;
        EXPECT_EQ(Peek(258), bad);
        parser.SkipThrough('\n');
    }
}

TEST_F(ProgramParser, BlockSpansDataMessages)
{
    std::string payload;
    for (int i = 0; i < 1000; ++i) {
        payload += static_cast<char>(i * 31 + 7);
    }
    const std::string wire = "#41000" + payload + "\n";
    for (size_t pos = 0; pos < wire.size(); pos += 97) {
        Send(wire.substr(pos, 97), pos + 97 < wire.size() ? Msg::Data : Msg::DataEnd);
    }
    CollectingSink data;
    uint8_t delimiter = 0;
    EXPECT_EQ(parser.ParseBlock(data, delimiter), 1000);
    EXPECT_TRUE(data.bytes == payload);
    // The small messages fill one buffer: the sink gets a single piece.
    EXPECT_EQ(data.pieces, 1);
    EXPECT_EQ(delimiter, '\n');
}

TEST_F(ProgramParser, BlockDataIsAwaitedFromTheNextMessage)
{
    Send("#14");
    CollectingSink data;
    uint8_t delimiter = 0;
    auto parsed = std::async(std::launch::async, [&] { return parser.ParseBlock(data, delimiter); });
    EXPECT_EQ(parsed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    Send("wxyz\n");
    if (parsed.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        input.Close();
    }
    EXPECT_EQ(parsed.get(), 4);
    EXPECT_EQ(data.bytes, "wxyz");
    EXPECT_EQ(delimiter, '\n');

    // The peer goes away in the middle of the data.
    Send("#15ab", Msg::Data);
    input.Close();
    EXPECT_EQ(parser.ParseBlock(data, delimiter), 0);
}

TEST_F(ProgramParser, DeviceClearEndsTheProgramMessageInProgress)
{
    // The byte source reports the clear itself, not a byte.
    input.DeviceClear();
    uint8_t byte = 0;
    EXPECT_EQ(input.PeekBytes(&byte, 1).outcome, Input::ClearEnded);
    EXPECT_EQ(input.PeekBytes(&byte, 1).outcome, Input::ClearEnded) << "a peek consumes nothing";
    InputEnd end = InputEnd::None;
    EXPECT_EQ(input.ReadBytes(&byte, 1, end).outcome, Input::ClearEnded);
    EXPECT_EQ(end, InputEnd::DeviceClear);
    EXPECT_EQ(input.ClearsConsumed(), 1);

    // The tokenizer reads it as an empty unit that ends the message (traced
    // like any token); the next token comes from the next message.
    input.DeviceClear();
    Send("*IDN?\n");
    TokenResult t = Next(true);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.token, "");
    EXPECT_EQ(t.delimiter, '\n');
    EXPECT_NE(LogText().find("Socket[2A] >> Token: \n"), std::string::npos) << LogText();
    t = Next();
    EXPECT_EQ(t.token, "*IDN?");
    EXPECT_EQ(t.result, 6);

    // Units whose bytes are there are read first; a token that waits for the
    // next Data message when the clear arrives goes with the clear.
    Send("*CLS;*OPC?", Msg::Data);
    input.DeviceClear();
    t = Next();
    EXPECT_EQ(t.token, "*CLS");
    EXPECT_EQ(t.delimiter, ';');
    t = Next();
    EXPECT_EQ(t.token, "");
    EXPECT_EQ(t.delimiter, '\n');
    // Bytes of a whole program message are read first.
    Send("*CLS;*OPC?");
    input.DeviceClear();
    t = Next();
    EXPECT_EQ(t.token, "*CLS");
    EXPECT_EQ(t.delimiter, ';');
    t = Next();
    EXPECT_EQ(t.token, "*OPC?");
    EXPECT_EQ(t.delimiter, 0);
    t = Next();
    EXPECT_EQ(t.token, "");
    EXPECT_EQ(t.delimiter, '\n');

    // Where a number is expected the clear reads as an empty one; skipping to
    // the end of a line consumes it alone.
    int32_t value = 7;
    uint8_t delimiter = 0;
    input.DeviceClear();
    EXPECT_EQ(parser.ParseInteger(value, delimiter), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(delimiter, '\n');
    input.DeviceClear();
    Send("next\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 1);
    EXPECT_EQ(Peek(10), "next\n");
    EXPECT_EQ(parser.SkipThrough('\n'), 5);
    EXPECT_EQ(input.ClearsConsumed(), 6);
}

TEST_F(ProgramParser, DeviceClearWhereAParameterStartsOrWithinABlock)
{
    // A string can't start at the end of the program message: refused, and
    // the clear is consumed with it.
    std::string text;
    uint8_t delimiter = 0xFF;
    input.DeviceClear();
    Send("'after'\n");
    EXPECT_EQ(parser.ParseQuotedString(text, delimiter), -1);
    EXPECT_EQ(input.ClearsConsumed(), 1);
    EXPECT_GT(parser.ParseQuotedString(text, delimiter), 0);
    EXPECT_EQ(text, "after");

    // A block can't either; nothing is consumed, so the clear still ends the
    // message for the tokenizer.
    CollectingSink data;
    input.DeviceClear();
    EXPECT_EQ(parser.ParseBlock(data, delimiter), -1);
    EXPECT_EQ(data.begins, 0);
    EXPECT_EQ(input.ClearsConsumed(), 1);
    TokenResult t = Next();
    EXPECT_EQ(t.token, "");
    EXPECT_EQ(t.delimiter, '\n');

    // A clear within the data ends the block with the bytes that came before
    // it, none of them made up; the input goes on with the next message.
    Send("#210abc", Msg::Data);
    Send("def", Msg::Data);
    input.DeviceClear();
    Send("*IDN?\n");
    data = CollectingSink();
    EXPECT_EQ(parser.ParseBlock(data, delimiter), 6);
    EXPECT_EQ(data.declared, 10u);
    EXPECT_EQ(data.bytes, "abcdef");
    EXPECT_EQ(input.ClearsConsumed(), 3);
    t = Next();
    EXPECT_EQ(t.token, "*IDN?");
}

}  // namespace
