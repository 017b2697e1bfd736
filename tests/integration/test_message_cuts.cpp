// A program message that the client cuts into Data messages anywhere reads as
// if it had come in one DataEnd: tokens, quoted names, block headers and
// spaces run on across the cuts, and only the bytes themselves or a DataEnd
// (an empty one too) end the program message; its answer carries the
// MessageID of that DataEnd.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/SharedServerTest.h"

namespace tarvos::test {
namespace {

const std::string kIdentity = "Brennic,Tarvos,4471.2209k05,V1.00\n";

class MessageCutTest : public SharedServerTest<MessageCutTest> {
protected:
    // Sends the pieces as Data messages, the last as DataEnd; the MessageID of
    // the DataEnd.
    uint32_t SendCut(const std::vector<std::string>& pieces)
    {
        uint8_t rmt = s_.rmtPending ? 1 : 0;
        s_.rmtPending = false;
        uint32_t id = 0;
        for (size_t i = 0; i < pieces.size(); ++i) {
            id = s_.nextMessageId;
            s_.nextMessageId += 2;
            const Msg type = i + 1 < pieces.size() ? Msg::Data : Msg::DataEnd;
            EXPECT_TRUE(s_.sync.Send(type, rmt, id, pieces[i])) << s_.sync.LastError();
            rmt = 0;
        }
        return id;
    }
    // The next response and the MessageID it carries.
    std::string Answer(uint32_t& id)
    {
        std::string answer;
        std::vector<Message> parts;
        EXPECT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
        id = parts.empty() ? 0 : parts.back().param;
        return answer;
    }
    std::string NextError()
    {
        std::string answer;
        EXPECT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
        return answer;
    }
};

TEST_F(MessageCutTest, CutsAnywhereReadAsOneProgramMessage)
{
    const std::string message = "*IDN?;*OPC?\n";
    // Every cut of the message into two pieces, and into single bytes.
    for (size_t cut = 1; cut < message.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        const uint32_t sent = SendCut({message.substr(0, cut), message.substr(cut)});
        uint32_t id = 0;
        EXPECT_EQ(Answer(id), "Brennic,Tarvos,4471.2209k05,V1.00;1\n");
        EXPECT_EQ(id, sent);
    }
    std::vector<std::string> bytes;
    for (const char c : message) bytes.emplace_back(1, c);
    uint32_t id = 0;
    const uint32_t sent = SendCut(bytes);
    EXPECT_EQ(Answer(id), "Brennic,Tarvos,4471.2209k05,V1.00;1\n");
    EXPECT_EQ(id, sent);
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
}

TEST_F(MessageCutTest, EmptyDataEndEndsTheProgramMessageAndItsIdIsTheAnswers)
{
    // The tokens run into the end of the last Data message; the empty DataEnd
    // ends the program message, and the answer carries its MessageID.
    for (const std::vector<std::string>& pieces : std::vector<std::vector<std::string>>{
             {"*IDN?", ""}, {"*ID", "N?", ""}, {"*IDN?;", ""}, {"*IDN?  ", ""}}) {
        SCOPED_TRACE(pieces[0]);
        const uint32_t sent = SendCut(pieces);
        uint32_t id = 0;
        EXPECT_EQ(Answer(id), kIdentity);
        EXPECT_EQ(id, sent);
    }
    // An empty DataEnd with no program message in progress is nothing.
    SendCut({""});
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
}

TEST_F(MessageCutTest, ParametersRunOnAcrossCuts)
{
    // A header, the space before its number and the number itself in pieces.
    SendCut({"*SR", "E", " ", "1", "6\n"});
    std::string answer;
    ASSERT_TRUE(s_.Query("*SRE?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, "16\n");
    ASSERT_TRUE(s_.Query("*SRE 0\n*SRE?\n", answer)) << s_.lastError;

    // A quoted name and a block header cut in their middle.
    SendCut({"MMEM:DATA 'cu", "t.bin',#", "15he", "llo\n"});
    std::vector<Message> parts;
    const uint32_t sent = SendCut({"MMEM:DATA? 'c", "ut.bin'", ""});
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, "#15hello\n");
    ASSERT_FALSE(parts.empty());
    EXPECT_EQ(parts.back().param, sent);
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
    s_.Write("*CLS\n");
}

}  // namespace
}  // namespace tarvos::test
