// The HiSLIP engine against the real server over loopback: session set-up and
// the session table, control messages, MessageIDs, RMT-delivered and
// Interrupted, overlapped numbering, slow sending and session teardown, with
// the verbose traces where their exact form matters.
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SessionChecks.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kOffer = 0x01005456;  // protocol 1.0, vendor "TV": what HislipSession offers
const char kOfferTrace[] = " >> Initialize,0,1005456,len=7";
const std::string kIdn = "Brennic,Tarvos,4471.2209k05,V1.00";
const std::string kIdentity = kIdn + "\n";
const char kInterruptedEntry[] = "-410,\"Query INTERRUPTED\"\n";

std::unique_ptr<ServerProcess> StartServer(const std::vector<std::string>& args)
{
    auto server = std::make_unique<ServerProcess>();
    if (!server->StartAndWaitReady(args)) return nullptr;
    return server;
}

void StopServer(std::unique_ptr<ServerProcess>& server)
{
    if (!server) return;
    server->SendKeys("\r");
    EXPECT_EQ(server->WaitExit(30000), 0);
    server.reset();
}

// Connects and sends Initialize; the InitializeResponse's parameter, or 0.
uint32_t Initialize(HislipSocket& sync, uint16_t port, const std::string& subaddress = "hislip0")
{
    Message m;
    if (!sync.Connect(port) || !sync.Send(Msg::Initialize, 0, kOffer, subaddress) ||
        !sync.ReceiveType(m, Msg::InitializeResponse)) {
        ADD_FAILURE() << "Initialize: " << sync.LastError();
        return 0;
    }
    EXPECT_EQ(m.control, 0) << "a new session starts synchronized";
    return m.param;
}

bool AsyncInitialize(HislipSocket& async, uint16_t port, uint32_t sessionId)
{
    Message m;
    return async.Connect(port) && async.Send(Msg::AsyncInitialize, 0, sessionId) &&
           async.ReceiveType(m, Msg::AsyncInitializeResponse) && m.param == 0x515A;
}

// Helpers over one server's stderr, from the start of the current test on.
class ServerFixture : public ::testing::Test {
protected:
    void Attach(ServerProcess* s)
    {
        srv = s;
        mark = s->Stderr().size();
    }
    std::string Log() const { return srv->Stderr().substr(mark); }
    size_t CountLog(const std::string& text) const
    {
        const std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
        return n;
    }
    bool WaitLog(const std::string& text, int timeoutMs = 5000, size_t occurrences = 1) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (CountLog(text) < occurrences) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // The count once `expected` occurrences are there or the wait ran out.
    size_t SettledCount(const std::string& text, size_t expected) const
    {
        WaitLog(text, 3000, expected);
        return CountLog(text);
    }
    // Server-side socket handles (as the traces print them) of the connections
    // whose trace line continues with `trace`, in log order.
    std::vector<std::string> Handles(const std::string& trace, size_t atLeast = 1) const
    {
        WaitLog(trace, 5000, atLeast);
        std::vector<std::string> found;
        const std::string log = Log();
        const std::string literal = std::regex_replace(trace, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        const std::regex re("Tarvos:: Socket\\[([0-9A-F]+)\\]" + literal);
        for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) found.push_back((*it)[1]);
        return found;
    }
    std::string Handle(const std::string& trace) const
    {
        const auto all = Handles(trace);
        EXPECT_FALSE(all.empty()) << "no trace" << trace;
        return all.empty() ? "?" : all.back();
    }
    // The whole line shows up in the log (output reaches us with a delay).
    bool HasLine(const std::string& line) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(5000);
        while (("\n" + Log()).find("\n" + line + "\n") == std::string::npos) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    ServerProcess* srv = nullptr;
    size_t mark = 0;
};

// One verbose server shared by the cases that use whole, independent sessions.
class Engine : public ServerFixture {
protected:
    static void SetUpTestSuite() { shared = StartServer({"-v"}); }
    static void TearDownTestSuite() { StopServer(shared); }
    void SetUp() override
    {
        ASSERT_TRUE(shared && shared->Running()) << "server did not start";
        Attach(shared.get());
    }
    static std::unique_ptr<ServerProcess> shared;
};
std::unique_ptr<ServerProcess> Engine::shared;

TEST_F(Engine, SessionSetUpTracesAndMaximumMessageSize)
{
    HislipSocket sync, async;
    const uint32_t param = Initialize(sync, srv->Port());
    ASSERT_EQ(param >> 16, 0x0100u);
    const uint32_t id = param & 0xFFFF;
    ASSERT_GE(id, 1u);
    ASSERT_LE(id, 5u);
    ASSERT_TRUE(AsyncInitialize(async, srv->Port(), id)) << async.LastError();
    const std::string s = Handle(kOfferTrace), a = Handle(" >> AsyncInitialize,0," + std::to_string(id) + ",len=0");
    char response[64];
    std::snprintf(response, sizeof(response), "<< InitializeResponse,0,%x,len=0,", param);
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + s + "] " + response)) << Log();
    EXPECT_TRUE(HasLine("Tarvos:: INFO: Initialize: Version 100 Vendor 5456, subadress=hislip0"));
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + a + "] << AsyncInitializeResponse,0,515a,len=0,"));

    ASSERT_TRUE(async.Send(Msg::AsyncMaximumMessageSize, 0, 0, EncodeU64(1000)));
    Message m;
    ASSERT_TRUE(async.ReceiveType(m, Msg::AsyncMaximumMessageSizeResponse)) << async.LastError();
    EXPECT_EQ(m.control, 0);
    EXPECT_EQ(m.param, 0u);
    EXPECT_EQ(m.payload, std::string("\0\0\0\0\x05\xF5\xE1\0", 8));
    EXPECT_TRUE(HasLine("Tarvos:: INFO: MaximumMessageSize is 1000"));

    ASSERT_TRUE(async.Send(Msg::AsyncMaximumMessageSize, 0, 0, std::string("\0\0\0\x10", 4)));
    ExpectClosedSilently(async, "4-byte MaximumMessageSize");
    EXPECT_TRUE(HasLine("Tarvos:: ERROR: MaximumMessageSize no bytes left"));
    sync.Close();

    HislipSocket lone;
    ASSERT_TRUE(lone.Connect(srv->Port()));
    ASSERT_TRUE(lone.Send(Msg::AsyncMaximumMessageSize, 0, 0, EncodeU64(1000)));
    ExpectClosedSilently(lone, "MaximumMessageSize before pairing");
    EXPECT_TRUE(HasLine("Tarvos:: ERROR: MaximumMessageSize no other channel"));
}

TEST_F(Engine, ErrorMessagesAreLoggedAndLeaveTheConnectionUsable)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    ASSERT_TRUE(s.sync.Send(Msg::Error, 5, 0, "bad thing"));
    ASSERT_TRUE(s.async.Send(Msg::Error, 1, 0));
    std::string answer;
    ASSERT_TRUE(s.Query("*IDN?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, kIdentity);
    uint8_t status = 0;
    EXPECT_TRUE(s.StatusQuery(status)) << s.lastError;
    EXPECT_EQ(SettledCount("Tarvos:: ERROR: Error message 3:\n", 2), 2u);
    EXPECT_TRUE(HasLine("Tarvos:: Msg=bad thing"));

    // A huge text is logged in part and the rest thrown away: none of its
    // commands may run.
    std::string text;
    while (text.size() < (size_t{1} << 20)) text += "*IDN?;";
    text.resize(size_t{1} << 20);
    ASSERT_TRUE(s.sync.Send(Msg::Error, 0, 0, text));
    ASSERT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "0,\"No error\"\n");
    EXPECT_TRUE(s.sync.ExpectSilence(200));
    ASSERT_TRUE(WaitLog("len=13,0,\"No error\"\\n\n"));  // traced after anything parsed before it
    EXPECT_EQ(CountLog(">> Token: *IDN?\n"), 1u);
    const std::string log = Log();
    const size_t at = log.find("Tarvos:: Msg=*IDN?;");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find('\n', at) - at, 9u + 1999u) << "the message is cut where the log cuts lines";
}

TEST_F(Engine, FatalErrorShutsThePartnerChannelDownAtOnce)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    const auto start = Clock::now();
    ASSERT_TRUE(s.sync.Send(Msg::FatalError, 1, 0, "giving up"));
    EXPECT_TRUE(s.async.WaitClosed(3000)) << s.async.LastError();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(WaitLog("Tarvos:: Msg=giving up\n"));
    EXPECT_TRUE(HasLine("Tarvos:: ERROR: Error message 2:"));
}

TEST_F(Engine, BadPrologueAndServerOnlyTypesEndTheConnection)
{
    HislipSocket bad;
    ASSERT_TRUE(bad.Connect(srv->Port()));
    ASSERT_TRUE(bad.SendRaw("HT" + EncodeHeader(0, 0, kOffer, 0).substr(2)));
    ExpectClosedSilently(bad, "invalid prologue");
    EXPECT_TRUE(HasLine("Tarvos:: ERROR: Invalid Prologue"));
    for (const uint8_t type : {uint8_t{1}, uint8_t{26}}) {
        HislipSocket s;
        ASSERT_TRUE(s.Connect(srv->Port()));
        ASSERT_TRUE(s.Send(type, 0, kOffer));
        ExpectClosedSilently(s, "type " + std::to_string(type));
        EXPECT_TRUE(HasLine("Tarvos:: ERROR: Undefined MessageType " + std::to_string(type)));
    }
}

TEST_F(Engine, HeadersArrivingByteByByteAreReadWhole)
{
    auto trickle = [](HislipSocket& s, const std::string& wire) {
        for (const char c : wire) {
            ASSERT_TRUE(s.SendRaw(std::string(1, c)));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    };
    HislipSession s;
    ASSERT_TRUE(s.sync.Connect(srv->Port()));
    trickle(s.sync, EncodeMessage(+Msg::Initialize, 0, kOffer, "hislip0"));
    Message m;
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::InitializeResponse)) << s.sync.LastError();
    ASSERT_TRUE(AsyncInitialize(s.async, srv->Port(), m.param & 0xFFFF));
    trickle(s.sync, EncodeMessage(+Msg::DataEnd, 0, kFirstMessageId, "*IDN?\n"));
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << s.sync.LastError();
    EXPECT_EQ(m.param, kFirstMessageId);
    EXPECT_EQ(m.payload, kIdentity);
}

TEST_F(Engine, SubAddressBeyond256BytesIsThrownAwayNotParsed)
{
    std::string first;
    for (int i = 0; i < 256; ++i) first += static_cast<char>('a' + i % 26);
    const std::string rest = "*IDN?" + std::string(38, ' ') + "\n";
    ASSERT_EQ(rest.size(), 44u);
    HislipSocket sync, async;
    const uint32_t param = Initialize(sync, srv->Port(), first + rest);
    EXPECT_TRUE(HasLine("Tarvos:: INFO: Initialize: Version 100 Vendor 5456, subadress=" + first));
    const std::string h = Handle(" >> Initialize,0,1005456,len=300");
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + h + "] >> Discard 44 data bytes"));
    EXPECT_TRUE(sync.ExpectSilence(300)) << "the rest of the sub-address was executed: " << sync.LastError();
    EXPECT_TRUE(AsyncInitialize(async, srv->Port(), param & 0xFFFF));
}

TEST_F(Engine, MessageIdJumpIsReportedOnceAndTheSequenceGoesOnFromIt)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    ASSERT_TRUE(s.sync.Send(Msg::Data, 0, 0xFFFFFF00u, "*IDN?;"));
    ASSERT_TRUE(s.sync.Send(Msg::Data, 0, 0xFFFFFF06u, "*IDN?;"));
    ASSERT_TRUE(s.sync.Send(Msg::DataEnd, 0, 0xFFFFFF08u, "*IDN?\n"));
    std::vector<Message> parts;
    std::string answer;
    ASSERT_TRUE(s.ReadResponse(answer, &parts)) << s.lastError;
    EXPECT_EQ(answer, kIdn + ";" + kIdn + ";" + kIdentity);
    EXPECT_EQ(parts.back().param, 0xFFFFFF08u);
    ASSERT_TRUE(WaitLog(" << DataEnd,0,ffffff08,"));
    EXPECT_EQ(CountLog("Tarvos:: WARNING: unexpected MessageID\n"), 1u);
}

TEST_F(Engine, MessageIdWrapsFromFFFFFFFEToZeroWithoutWarning)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    for (uint32_t id = 0xFFFFFF00u; id != 0; id += 2) ASSERT_TRUE(s.sync.Send(Msg::Trigger, 0, id));
    ASSERT_TRUE(s.sync.Send(Msg::DataEnd, 0, 0, "*IDN?\n"));
    Message m;
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << s.sync.LastError();
    EXPECT_EQ(m.param, 0u);
    ASSERT_TRUE(s.sync.Send(Msg::DataEnd, 1, 2, "*IDN?\n"));
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << s.sync.LastError();
    EXPECT_EQ(m.param, 2u);
    ASSERT_TRUE(WaitLog(" << DataEnd,0,2,"));
    EXPECT_EQ(CountLog("WARNING: unexpected MessageID"), 0u);
    EXPECT_EQ(CountLog(" >> Trigger,0,"), 128u);
}

TEST_F(Engine, RmtDeliveredAcknowledgesAndItsAbsenceInterrupts)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    std::string answer;
    // RMT-delivered with nothing to acknowledge is only reported.
    s.Write("*IDN?\n", true);
    ASSERT_TRUE(s.ReadResponse(answer)) << s.lastError;
    EXPECT_TRUE(HasLine("Tarvos:: ERROR: RMT_delivered not expected"));
    ASSERT_TRUE(s.Query("*IDN?\n", answer)) << s.lastError;  // acknowledges the first answer
    EXPECT_EQ(answer, kIdentity);
    ASSERT_TRUE(WaitLog(" << DataEnd,0,ffffff02,"));
    EXPECT_EQ(CountLog("RMT_delivered not expected"), 1u);
    EXPECT_EQ(CountLog("Interrupted"), 0u);

    // The next message does not acknowledge the second answer.
    const uint32_t id = s.nextMessageId;
    s.nextMessageId += 2;
    s.rmtPending = false;
    ASSERT_TRUE(s.sync.Send(Msg::DataEnd, 0, id, "*IDN?\n"));
    Message m;
    ASSERT_TRUE(s.async.ReceiveType(m, Msg::AsyncInterrupted)) << s.async.LastError();
    EXPECT_EQ(m.param, id);
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::Interrupted)) << s.sync.LastError();
    EXPECT_EQ(m.param, id);
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << s.sync.LastError();
    EXPECT_EQ(m.param, id) << "the message is executed after the Interrupted";
    EXPECT_EQ(m.payload, kIdentity);
    s.rmtPending = true;
    ASSERT_TRUE(WaitLog(" << Interrupted,0,ffffff04,len=0,\n"));
    const std::string log = Log();
    const size_t asyncAt = log.find(" << AsyncInterrupted,0,ffffff04,len=0,\n");
    const size_t syncAt = log.find(" << Interrupted,0,ffffff04,len=0,\n");
    ASSERT_NE(asyncAt, std::string::npos);
    ASSERT_NE(syncAt, std::string::npos);
    EXPECT_LT(asyncAt, syncAt);
    ASSERT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, kInterruptedEntry);
}

TEST_F(Engine, LateResponseIsReplacedByInterrupted)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    // The second query is on the socket before the first answer is ready.
    ASSERT_TRUE(s.sync.SendRaw(EncodeMessage(+Msg::DataEnd, 0, 0xFFFFFF00u, "*IDN?\n") +
                               EncodeMessage(+Msg::DataEnd, 0, 0xFFFFFF02u, "*IDN?\n")));
    s.nextMessageId += 4;
    Message m;
    ASSERT_TRUE(s.async.ReceiveType(m, Msg::AsyncInterrupted)) << s.async.LastError();
    EXPECT_EQ(m.param, 0xFFFFFF00u);
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::Interrupted)) << Describe(m);
    EXPECT_EQ(m.param, 0xFFFFFF00u);
    ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << s.sync.LastError();
    EXPECT_EQ(m.param, 0xFFFFFF02u);
    EXPECT_EQ(m.payload, kIdentity);
    EXPECT_TRUE(HasLine("Tarvos:: INFO: Parser detects Interrupted Error, ExpectRMTdelivered = false"));
    s.rmtPending = true;
    std::string answer;
    ASSERT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, kInterruptedEntry);
    ASSERT_TRUE(s.Query("SYST:ERR?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "0,\"No error\"\n");
    EXPECT_TRUE(s.async.ExpectSilence(100));
}

TEST_F(Engine, DataDataDataEndFormOneProgramMessage)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    // The units are split where the tokens end; only the DataEnd's newline
    // ends the program message, so the three answers leave as one response.
    ASSERT_TRUE(s.sync.Send(Msg::Data, 0, 0xFFFFFF00u, "*IDN?;"));
    ASSERT_TRUE(s.sync.Send(Msg::Data, 0, 0xFFFFFF02u, "SYST:ERR?;"));
    ASSERT_TRUE(s.sync.Send(Msg::DataEnd, 0, 0xFFFFFF04u, "*IDN?\n"));
    std::vector<Message> parts;
    std::string answer;
    ASSERT_TRUE(s.ReadResponse(answer, &parts)) << s.lastError;
    EXPECT_EQ(answer, kIdn + ";0,\"No error\";" + kIdentity);
    EXPECT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts.back().param, 0xFFFFFF04u);
    EXPECT_TRUE(s.sync.ExpectSilence(100));
}

TEST_F(Engine, OverlappedModeNumbersResponsesItself)
{
    HislipSession s;
    ASSERT_TRUE(s.Open(srv->Port())) << s.lastError;
    ASSERT_TRUE(s.DeviceClear(true)) << s.lastError;
    ASSERT_EQ(s.serverOverlap, 1);
    // Two queries at once, with IDs of the client's own choosing: no
    // Interrupted in this mode, and the server counts its responses.
    ASSERT_TRUE(s.sync.SendRaw(EncodeMessage(+Msg::DataEnd, 0, 0x1234u, "*IDN?\n") +
                               EncodeMessage(+Msg::DataEnd, 0, 0xABCDEFu, "*IDN?\n")));
    for (const uint32_t expected : {0xFFFFFF00u, 0xFFFFFF02u}) {
        Message m;
        ASSERT_TRUE(s.sync.ReceiveType(m, Msg::DataEnd)) << Describe(m);
        EXPECT_EQ(m.param, expected);
        EXPECT_EQ(m.payload, kIdentity);
    }
    EXPECT_TRUE(s.async.ExpectSilence(200));
}

TEST_F(Engine, ClosedChannelTakesItsPartnerDownWithinTenSeconds)
{
    HislipSession syncCloses, asyncCloses;
    ASSERT_TRUE(syncCloses.Open(srv->Port())) << syncCloses.lastError;
    ASSERT_TRUE(asyncCloses.Open(srv->Port())) << asyncCloses.lastError;
    const auto start = Clock::now();
    syncCloses.sync.Close();
    asyncCloses.async.Close();
    EXPECT_TRUE(syncCloses.async.WaitClosed(15000));
    EXPECT_TRUE(asyncCloses.sync.WaitClosed(15000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(12));
    EXPECT_TRUE(WaitLog("Tarvos:: ERROR: Force shutdown of control (asynchronous) channel\n"));
    EXPECT_TRUE(WaitLog("Tarvos:: ERROR: Force shutdown of data (synchronous) channel\n"));
}

// A server of its own per case: the session table is server-wide.
class SessionTable : public ServerFixture {
protected:
    void SetUp() override
    {
        own = StartServer({"-v"});
        ASSERT_TRUE(own) << "server did not start";
        Attach(own.get());
    }
    void TearDown() override { StopServer(own); }
    std::unique_ptr<ServerProcess> own;
};

TEST_F(SessionTable, IdsComeInTurnAndServeOnePairingOnly)
{
    const uint16_t port = srv->Port();
    HislipSocket a, b, c, d, asyncA, asyncB, asyncC;
    EXPECT_EQ(Initialize(a, port), 0x01000001u);
    const std::string h = Handle(kOfferTrace);
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + h + "]" + kOfferTrace));
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + h + "] << InitializeResponse,0,1000001,len=0,"));
    EXPECT_EQ(Initialize(b, port), 0x01000002u);
    ASSERT_TRUE(AsyncInitialize(asyncB, port, 2));
    // A paired session keeps its ID: the next one takes the next ID.
    EXPECT_EQ(Initialize(c, port), 0x01000003u);
    ASSERT_TRUE(AsyncInitialize(asyncA, port, 1));
    ASSERT_TRUE(AsyncInitialize(asyncC, port, 3));
    EXPECT_EQ(Initialize(d, port), 0x01000004u);

    for (const uint32_t id : {0u, 6u, 2u, 0x10002u}) {
        HislipSocket x;
        ASSERT_TRUE(x.Connect(port));
        ASSERT_TRUE(x.Send(Msg::AsyncInitialize, 0, id));
        ExpectClosedSilently(x, "AsyncInitialize " + std::to_string(id));
    }
    EXPECT_EQ(SettledCount("Tarvos:: ERROR: invalid sessionID\n", 4), 4u);
}

TEST_F(SessionTable, ManyWaitersGetIdsAndAClosedWaiterIsNeverPaired)
{
    const uint16_t port = srv->Port();
    HislipSocket waiters[6], x;
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(Initialize(waiters[i], port), 0x01000001u + i);
    const std::string sixthHandle = Handles(kOfferTrace, 6).back();
    EXPECT_TRUE(HasLine("Tarvos:: Socket[" + sixthHandle + "] << InitializeResponse,0,1000006,len=0,"));
    ASSERT_TRUE(x.Connect(port) && x.Send(Msg::AsyncInitialize, 0, 0xFFFF));
    ExpectClosedSilently(x, "AsyncInitialize 0xFFFF");

    const std::string third = Handles(kOfferTrace, 6).at(2);  // the third waiter
    waiters[2].Close();
    ASSERT_TRUE(WaitLog("Tarvos:: Socket[" + third + "]: Data channel normally closed.\n"));
    // The ended channel is not handed to a later AsyncInitialize, and its ID
    // is not given out again soon.
    HislipSocket y, again;
    ASSERT_TRUE(y.Connect(port) && y.Send(Msg::AsyncInitialize, 0, 3));
    ExpectClosedSilently(y, "AsyncInitialize of a closed waiter");
    EXPECT_EQ(Initialize(again, port), 0x01000007u);
    EXPECT_EQ(SettledCount("Tarvos:: ERROR: invalid sessionID\n", 2), 2u);
}

TEST(SingleConnection, SecondClientIsRefusedWhileTheFirstSessionKeepsWorking)
{
    auto server = StartServer({"-1", "-v"});
    ASSERT_TRUE(server);
    HislipSession first;
    ASSERT_TRUE(first.Open(server->Port())) << first.lastError;
    HislipSocket second;
    ASSERT_TRUE(second.Connect(server->Port()));
    ASSERT_TRUE(second.Send(Msg::Initialize, 0, kOffer, "hislip0"));
    Message m;
    ASSERT_TRUE(second.ReceiveType(m, Msg::FatalError)) << second.LastError();
    EXPECT_EQ(m.control, 4);
    EXPECT_EQ(m.param, 0u);
    EXPECT_EQ(m.payload, "Too many connections");
    EXPECT_TRUE(second.WaitClosed(3000));
    std::string answer;
    ASSERT_TRUE(first.Query("*IDN?\n", answer)) << first.lastError;
    EXPECT_EQ(answer, kIdentity);

    // Once the first session is gone a new one opens; the refused client
    // took no ID, so the new session has the next one.
    first.Close();
    HislipSession next;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!next.Open(server->Port()) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first session's workers still end
    }
    ASSERT_TRUE(next.lastError.empty()) << next.lastError;
    EXPECT_EQ(next.sessionId, first.sessionId + 1);
    next.Close();
    StopServer(server);
}

TEST(SlowMode, MessagesStayWholeWhenTwoThreadsSendOnOneSocket)
{
    auto server = StartServer({"-s", "-v"});
    ASSERT_TRUE(server);
    HislipSession s;
    ASSERT_TRUE(s.Open(server->Port())) << s.lastError;
    uint64_t max = 0;
    ASSERT_TRUE(s.MaxMessageSize(4096, max)) << s.lastError;
    EXPECT_EQ(max, 100000000u);
    s.Write("*SRE 16\n");

    // The synchronous worker sends a service request on the asynchronous
    // socket after each answer while the asynchronous worker answers status
    // queries on it.
    constexpr int kRounds = 100;
    int answers = 0;
    std::thread queries([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::string answer;
            if (!s.Query("*IDN?\n", answer) || answer != kIdentity) return;
            ++answers;
        }
    });
    int statusResponses = 0, serviceRequests = 0, other = 0;
    bool broken = false;
    for (int i = 0; i < kRounds && !broken; ++i) {
        broken = !s.async.Send(Msg::AsyncStatusQuery, 0, 0);
        Message m;
        while (!broken) {
            // A garbled stream shows as a bad prologue, a huge length or a stall.
            broken = !s.async.Receive(m, 3000);
            if (broken) break;
            if (m.type == +Msg::AsyncServiceRequest && m.length == 0 && (m.control & 0x40) != 0) {
                ++serviceRequests;
                continue;
            }
            if (m.type == +Msg::AsyncStatusResponse && m.length == 0) {
                ++statusResponses;
            } else {
                ++other;
            }
            break;
        }
    }
    if (broken) s.sync.Close();  // ends the query thread at once
    queries.join();
    EXPECT_EQ(answers, kRounds) << s.lastError;
    EXPECT_EQ(statusResponses, kRounds) << s.async.LastError();
    EXPECT_EQ(other, 0);
    EXPECT_GT(serviceRequests, 0);
    s.Close();
    StopServer(server);
}

}  // namespace
}  // namespace tarvos::test
