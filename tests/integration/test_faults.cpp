// DIAG:FAULT: each test fault as a client meets it, and the sessions beside
// the faulted one, which must not notice anything.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"
#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SharedServerTest.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

milliseconds Since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Every byte that arrives on fd until the peer ends the connection; closed
// tells whether it did within timeoutMs.
std::string ReadUntilEnd(int fd, int timeoutMs, bool& closed)
{
    std::string bytes;
    closed = false;
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        const int left = static_cast<int>(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
        if (::poll(&pfd, 1, left > 0 ? left : 0) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            closed = true;
            break;
        }
    }
    return bytes;
}

// The messages of a response of total bytes split into size-byte messages:
// Data of size bytes each but the last, every one with messageId.
void ExpectSplit(const std::vector<Message>& parts, size_t total, size_t size, uint32_t messageId)
{
    ASSERT_EQ(parts.size(), (total + size - 1) / size);
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        EXPECT_EQ(parts[i].type, +Msg::Data);
        EXPECT_EQ(parts[i].payload.size(), size);
    }
    for (const Message& m : parts) EXPECT_EQ(m.param, messageId) << Describe(m);
}

class FaultTest : public SharedServerTest<FaultTest> {
protected:
    std::string Ask(HislipSession& s, const std::string& text)
    {
        std::string answer;
        EXPECT_TRUE(s.Query(text, answer)) << text << ": " << s.lastError;
        return answer;
    }
    std::string Ask(const std::string& text) { return Ask(s_, text); }

    // Queries *IDN? and returns the messages of its answer.
    std::vector<Message> IdentifyParts(uint32_t& messageId)
    {
        std::vector<Message> parts;
        std::string answer;
        messageId = s_.Write("*IDN?\n");
        EXPECT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
        EXPECT_EQ(answer, kIdentity);
        return parts;
    }
};

TEST_F(FaultTest, SplitSendsTheNextResponseInPartsOfTheGivenSizeOnce)
{
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "NONE\n");
    s_.Write("DIAG:FAULT:SPLIT 7\n");
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "SPLIT\n");
    uint32_t id = 0;
    const std::vector<Message> parts = IdentifyParts(id);
    // 34 bytes: four Data messages of 7, the DataEnd with the last 6.
    ASSERT_EQ(parts.size(), 5u);
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].type, i + 1 < parts.size() ? +Msg::Data : +Msg::DataEnd) << Describe(parts[i]);
        EXPECT_EQ(parts[i].payload.size(), i + 1 < parts.size() ? 7u : 6u) << Describe(parts[i]);
        EXPECT_EQ(parts[i].param, id) << Describe(parts[i]);
    }
    // Used up: the next answer is whole again.
    EXPECT_EQ(IdentifyParts(id).size(), 1u);
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "NONE\n");

    // A size that divides the response: the last full part is the DataEnd.
    s_.Write("DIAG:FAULT:SPLIT 17\n");
    const std::vector<Message> even = IdentifyParts(id);
    ASSERT_EQ(even.size(), 2u);
    EXPECT_EQ(even[0].type, +Msg::Data);
    EXPECT_EQ(even[1].type, +Msg::DataEnd);
    EXPECT_EQ(even[1].payload.size(), 17u);

    // Armed in the same program message, it splits that message's answer.
    std::vector<Message> same;
    std::string answer;
    s_.Write("DIAG:FAULT:SPLIT 1;*OPC?\n");
    ASSERT_TRUE(s_.ReadResponse(answer, &same)) << s_.lastError;
    EXPECT_EQ(answer, "1\n");
    EXPECT_EQ(same.size(), 2u);
}

TEST_F(FaultTest, SplitCutsAResponseThatLeftInPartsAcrossItsParts)
{
    // About 1.06 MiB of joined answers: the response leaves in parts while the
    // program message is read, and SPLIT recuts all of it.
    std::string program;
    std::string expected;
    for (int i = 0; i < 33000; ++i) {
        program += "*OPC?;";
        expected += "1;";
    }
    program += "*IDN?\n";
    expected += kIdentity;
    s_.Write("DIAG:FAULT:SPLIT 100000;DIAG:FAULT:MSGID\n");
    const uint32_t id = s_.Write(program);
    std::vector<Message> parts;
    std::string answer;
    ASSERT_TRUE(s_.ReadResponse(answer, &parts, 10000)) << s_.lastError;
    EXPECT_EQ(answer, expected);
    ASSERT_NO_FATAL_FAILURE(ExpectSplit(parts, expected.size(), 100000, id - 2));
    EXPECT_EQ(Ask("SYST:ERR?\n"), "0,\"No error\"\n");
}

TEST_F(FaultTest, MsgidAnswersWithTheMessageIdOfThePreviousMessage)
{
    s_.Write("DIAG:FAULT:MSGID\n");
    uint32_t id = 0;
    std::vector<Message> parts = IdentifyParts(id);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id - 2);
    parts = IdentifyParts(id);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id);

    // With SPLIT every part carries the stale MessageID.
    s_.Write("DIAG:FAULT:MSGID;DIAG:FAULT:SPLIT 10\n");
    parts = IdentifyParts(id);
    ASSERT_EQ(parts.size(), 4u);
    for (const Message& m : parts) EXPECT_EQ(m.param, id - 2) << Describe(m);
}

TEST_F(FaultTest, DelayHoldsTheNextResponseAndADeviceClearEndsTheWait)
{
    s_.Write("DIAG:FAULT:DELAY 400\n");
    auto start = Clock::now();
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_GE(Since(start), milliseconds(390));
    start = Clock::now();
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_LT(Since(start), milliseconds(390));

    s_.Write("DIAG:FAULT:DELAY 60000\n");
    s_.Write("*IDN?\n");
    EXPECT_TRUE(s_.sync.ExpectSilence(300)) << s_.sync.LastError();
    start = Clock::now();
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_LT(Since(start), milliseconds(3000));
    EXPECT_TRUE(server_->WaitForStderr("INFO: Fault DELAY aborted due to DeviceClear", 2000));
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
}

TEST_F(FaultTest, DeviceClearDisarmsEveryFaultThatHasNotFired)
{
    s_.Write("DIAG:FAULT:SLOW 10;DIAG:FAULT:MSGID;DIAG:FAULT:DROP;DIAG:FAULT:DELAY 5000;DIAG:FAULT:SPLIT 3\n");
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "SPLIT,DELAY,DROP,MSGID,SLOW\n");
    // Its own answer used nothing up.
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "SPLIT,DELAY,DROP,MSGID,SLOW\n");
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "NONE\n");
    uint32_t id = 0;
    const auto start = Clock::now();
    const std::vector<Message> parts = IdentifyParts(id);
    EXPECT_LT(Since(start), milliseconds(2000));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id);

    s_.Write("DIAG:FAULT:SPLIT 3;DIAG:FAULT:SLOW 10\n");
    s_.Write("DIAG:FAULT:CLEAR\n");
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "NONE\n");
}

TEST_F(FaultTest, FaultQueryAnswerIsNeverFaulted)
{
    s_.Write("DIAG:FAULT:SPLIT 2;DIAG:FAULT:MSGID\n");
    std::vector<Message> parts;
    std::string answer;
    const uint32_t id = s_.Write("DIAG:FAULT?\n");
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, "SPLIT,MSGID\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id);
    uint32_t next = 0;
    EXPECT_EQ(IdentifyParts(next).size(), 17u);
}

TEST_F(FaultTest, NumbersAreCheckedAndAFaultOutOfRangeArmsNothing)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"DIAG:FAULT:SPLIT\n", "-109,\"Missing parameter;numeric data was expected\"\n"},
        {"DIAG:FAULT:SPLIT 0\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:SPLIT 1048577\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:DELAY 60001\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:SLOW 1000001\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:ERROR 256\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:FATAL 4294967295\n", "-222,\"Data out of range\"\n"},
        // Numbers past 32 bits are out of range, not their low bits.
        {"DIAG:FAULT:SPLIT 4294967303\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:ERROR 4294967298\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:FATAL 4294967297\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:DELAY 4294967296\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:SLOW 99999999999999999999999\n", "-222,\"Data out of range\"\n"},
        {"DIAG:FAULT:DROP 1\n", "-115,\"Unexpected number of parameters\"\n"},
        {"DIAG:FAULT:MSGID 1\n", "-115,\"Unexpected number of parameters\"\n"},
        {"DIAG:FAULT:SPLIT 4 4\n", "-115,\"Unexpected number of parameters\"\n"},
        {"DIAG:FAULT:INTERRUPT 1\n", "-115,\"Unexpected number of parameters\"\n"},
        {"DIAG:FAULT:SPL 5\n", "-113,\"Undefined header;DIAG:FAULT:SPL\"\n"},
    };
    for (const auto& [command, error] : cases) {
        s_.Write(command);
        EXPECT_EQ(Ask("SYST:ERR?\n"), error) << command;
        EXPECT_EQ(Ask("DIAG:FAULT?\n"), "NONE\n") << command;
    }
    // No Error, FatalError or Interrupted went out meanwhile.
    EXPECT_TRUE(s_.sync.ExpectSilence(100)) << s_.sync.LastError();
    EXPECT_TRUE(s_.async.ExpectSilence(100)) << s_.async.LastError();
}

TEST_F(FaultTest, ErrorSendsTheErrorWithItsTextAndTheSessionGoesOn)
{
    const std::vector<std::pair<int, std::string>> codes = {
        {0, "Unidentified error"},          {1, "Unrecognized Message Type"},
        {2, "Unrecognized control code"},   {3, "Unrecognized Vendor Defined Message"},
        {4, "Message too large"},           {5, "Reserved error code"},
        {127, "Reserved error code"},       {128, "Device defined error"},
        {255, "Device defined error"},
    };
    for (const auto& [code, text] : codes) {
        s_.Write("DIAG:FAULT:ERROR " + std::to_string(code) + "\n");
        Message m;
        ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Error)) << code << ": " << Describe(m);
        EXPECT_EQ(m.control, code);
        EXPECT_EQ(m.payload, text);
        EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    }
    EXPECT_EQ(Ask("SYST:ERR?\n"), "0,\"No error\"\n");
}

TEST_F(FaultTest, InterruptSendsThePairForTheCurrentMessageAndQueuesQueryInterrupted)
{
    const uint32_t id = s_.Write("DIAG:FAULT:INTERRUPT\n");
    Message m;
    ASSERT_TRUE(s_.async.ReceiveType(m, Msg::AsyncInterrupted)) << Describe(m);
    EXPECT_EQ(m.param, id);
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Interrupted)) << Describe(m);
    EXPECT_EQ(m.param, id);
    uint8_t status = 0;
    ASSERT_TRUE(s_.StatusQuery(status)) << s_.lastError;
    EXPECT_EQ(status & 0x04, 0x04);
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-410,\"Query INTERRUPTED\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), "0,\"No error\"\n");
}

TEST_F(FaultTest, SlowPacesBothChannelsOfTheSessionUntilCleared)
{
    // 20 ms per byte: the 50 bytes of the identification answer take about a second.
    s_.Write("DIAG:FAULT:SLOW 20000\n");
    auto start = Clock::now();
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_GE(Since(start), milliseconds(900));
    start = Clock::now();
    uint8_t status = 0;
    ASSERT_TRUE(s_.StatusQuery(status)) << s_.lastError;
    EXPECT_GE(Since(start), milliseconds(280));
    s_.Write("DIAG:FAULT:CLEAR\n");
    start = Clock::now();
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    ASSERT_TRUE(s_.StatusQuery(status)) << s_.lastError;
    EXPECT_LT(Since(start), milliseconds(280));

    // A device clear ends it too, at once: both acknowledges arrive quickly
    // although a byte would take a second.
    s_.Write("DIAG:FAULT:SLOW 1000000\n");
    EXPECT_EQ(Ask("DIAG:FAULT?\n"), "SLOW\n");
    start = Clock::now();
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_LT(Since(start), milliseconds(900));
}

TEST_F(FaultTest, DropCutsTheNextResponseAndEndsBothChannels)
{
    s_.Write("DIAG:FAULT:DROP\n");
    const uint32_t id = s_.Write("*IDN?\n");
    bool closed = false;
    const std::string bytes = ReadUntilEnd(s_.sync.Fd(), 5000, closed);
    EXPECT_TRUE(closed);
    // A whole DataEnd header announcing 34 bytes, then about half of them.
    ASSERT_GE(bytes.size(), kHeaderSize);
    EXPECT_EQ(bytes.substr(0, kHeaderSize), EncodeHeader(+Msg::DataEnd, 0, id, 34));
    EXPECT_GT(bytes.size(), kHeaderSize);
    EXPECT_LT(bytes.size(), kHeaderSize + 34);
    EXPECT_EQ(bytes.substr(kHeaderSize), std::string(kIdentity).substr(0, bytes.size() - kHeaderSize));
    EXPECT_TRUE(s_.async.WaitClosed(5000)) << s_.async.LastError();
}

TEST_F(FaultTest, FatalSendsTheFatalErrorWithItsTextAndEndsBothChannels)
{
    const std::vector<std::pair<int, std::string>> codes = {
        {0, "Unidentified error"},
        {1, "Poorly formed message header"},
        {2, "Attempt to use connection without both channels established"},
        {3, "Invalid Initialization sequence"},
        {4, "Server refused connection due to maximum number of clients exceeded"},
        {64, "Reserved error code"},
        {200, "Device defined error"},
    };
    for (const auto& [code, text] : codes) {
        HislipSession s;
        ASSERT_TRUE(s.Open(server_->Port())) << s.lastError;
        // The rest of the program message is never executed nor answered.
        s.Write("DIAG:FAULT:FATAL " + std::to_string(code) + ";*IDN?\n");
        Message m;
        ASSERT_TRUE(s.sync.ReceiveType(m, Msg::FatalError)) << code << ": " << Describe(m);
        EXPECT_EQ(m.control, code);
        EXPECT_EQ(m.param, 0u);
        EXPECT_EQ(m.payload, text);
        EXPECT_TRUE(s.sync.WaitClosed(5000)) << s.sync.LastError();
        EXPECT_TRUE(s.async.WaitClosed(5000)) << s.async.LastError();
    }
}

TEST_F(FaultTest, SessionBesideTheFaultedOneIsUnaffected)
{
    HislipSession other;
    ASSERT_TRUE(other.Open(server_->Port())) << other.lastError;
    s_.Write("DIAG:FAULT:SPLIT 1;DIAG:FAULT:MSGID;DIAG:FAULT:SLOW 1000000;DIAG:FAULT:DELAY 60000\n");
    // The faulted session is now held in its delay with its answer.
    s_.Write("*IDN?\n");
    std::vector<Message> parts;
    std::string answer;
    const auto start = Clock::now();
    const uint32_t id = other.Write("*IDN?\n");
    ASSERT_TRUE(other.ReadResponse(answer, &parts)) << other.lastError;
    EXPECT_LT(Since(start), milliseconds(900));
    EXPECT_EQ(answer, kIdentity);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id);
    EXPECT_EQ(Ask(other, "DIAG:FAULT?\n"), "NONE\n");
    uint8_t status = 0;
    ASSERT_TRUE(other.StatusQuery(status)) << other.lastError;
    EXPECT_LT(Since(start), milliseconds(900));

    // The faulted session ends with a fatal error; the other goes on.
    s_.Close();
    ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
    s_.Write("DIAG:FAULT:FATAL 0\n");
    EXPECT_TRUE(s_.sync.WaitClosed(5000)) << s_.sync.LastError();
    EXPECT_EQ(Ask(other, "*IDN?\n"), kIdentity);
    EXPECT_TRUE(other.sync.ExpectSilence(100)) << other.sync.LastError();
    EXPECT_TRUE(other.async.ExpectSilence(100)) << other.async.LastError();
}

// A file answer meets the faults part by part: SPLIT re-cuts the whole block
// into parts of its size, MSGID marks every part.
class FaultFileTest : public FileServerTest<FaultFileTest> {};

TEST_F(FaultFileTest, SplitAndMsgidApplyToAFileAnswerAsAWhole)
{
    std::string data;
    for (int i = 0; data.size() < 10000; ++i) data += std::to_string(i) + ",";
    Store("split.bin", data);
    const std::string expected = BlockOf(data) + "\n";
    s_.Write("DIAG:FAULT:SPLIT 1000;DIAG:FAULT:MSGID\n");
    const uint32_t id = s_.Write("MMEM:DATA? 'split.bin'\n");
    std::vector<Message> parts;
    std::string answer;
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, expected);
    ASSERT_NO_FATAL_FAILURE(ExpectSplit(parts, expected.size(), 1000, id - 2));
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
}

// A server of its own, so that the next client is served by the very
// connections that served the faulted session.
TEST(FaultReuse, ANewSessionStartsWithoutTheFaultsOfTheLastOne)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({"-v"}));
    HislipSession s;
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;
    std::string answer;
    ASSERT_TRUE(s.Query("DIAG:FAULT:SPLIT 2;DIAG:FAULT:MSGID;DIAG:FAULT:SLOW 1000000;DIAG:FAULT:DROP;DIAG:FAULT?\n",
                        answer)) << s.lastError;
    ASSERT_EQ(answer, "SPLIT,DROP,MSGID,SLOW\n");
    s.Close();
    ASSERT_TRUE(server.WaitForStderr("Data channel normally closed.", 5000));
    ASSERT_TRUE(server.WaitForStderr("Control channel normally closed.", 5000));
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;
    const auto start = Clock::now();
    ASSERT_TRUE(s.Query("DIAG:FAULT?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "NONE\n");
    std::vector<Message> parts;
    const uint32_t id = s.Write("*IDN?\n");
    ASSERT_TRUE(s.ReadResponse(answer, &parts)) << s.lastError;
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, id);
    EXPECT_LT(Since(start), milliseconds(900));
    s.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(11000), 0);
}

// A stop ends paced sending and delayed answers at once.
TEST(FaultStop, StopEndsPausesAndDelaysAtOnce)
{
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady());
    HislipSession slow, delayed;
    ASSERT_TRUE(slow.Open(server.Port())) << slow.lastError;
    ASSERT_TRUE(delayed.Open(server.Port())) << delayed.lastError;
    slow.Write("DIAG:FAULT:SLOW 1000000\n");
    slow.Write("*IDN?\n");
    delayed.Write("DIAG:FAULT:DELAY 60000\n");
    delayed.Write("*IDN?\n");
    // The first byte of the answer has arrived: the paced send is in its
    // first one-second pause.
    pollfd pfd{slow.sync.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
    const auto start = Clock::now();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(11000), 0);
    // Unwoken, the pause would last a second and the delay a minute.
    EXPECT_LT(Since(start), milliseconds(900));
}

}  // namespace
}  // namespace tarvos::test
