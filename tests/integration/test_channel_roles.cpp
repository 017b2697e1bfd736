// Each connection keeps the role its first message gave it, and only program
// messages on a synchronous channel reach the instrument: payloads of control
// messages are thrown away, a second Initialize is refused, a session is paired
// only from the address that opened it and gives its ID back when it does not
// pair in time, and a device clear leaves no answer of before it behind.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SessionChecks.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kOffer = 0x01005456;
const char kFatalText[] = "Invalid Initialization sequence";
// What a client might smuggle in the payload of a control message.
const std::string kInjection = "MMEM:DATA 'inj',#15hello\n*IDN?\n";
const std::string kNoError = "0,\"No error\"\n";

// A server of its own, verbose, in a fresh working directory.
class RoleServer {
public:
    RoleServer()
    {
        char pattern[] = "/tmp/tarvos-roles-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        work = pattern;
        process = std::make_unique<ServerProcess>();
        if (!process->StartAndWaitReady({"-v"}, 15000, work.string())) process.reset();
    }
    ~RoleServer()
    {
        process.reset();
        std::error_code ignored;
        if (!work.empty()) fs::remove_all(work, ignored);
    }
    uint16_t Port() const { return process->Port(); }

    std::unique_ptr<ServerProcess> process;
    fs::path work;
};

// Connects and sends Initialize; the InitializeResponse's parameter, or 0.
uint32_t Initialize(HislipSocket& sync, uint16_t port, const std::string& subAddress = "hislip0")
{
    Message m;
    if (!sync.Connect(port) || !sync.Send(Msg::Initialize, 0, kOffer, subAddress) ||
        !sync.ReceiveType(m, Msg::InitializeResponse, 3000)) {
        ADD_FAILURE() << "Initialize: " << sync.LastError() << " " << Describe(m);
        return 0;
    }
    return m.param;
}

// The server sends FatalError 3 and closes the connection.
void ExpectRefusedAsBadSequence(HislipSocket& s, const std::string& what)
{
    Message m;
    ASSERT_TRUE(s.ReceiveType(m, Msg::FatalError, 3000)) << what << ": " << s.LastError() << " " << Describe(m);
    EXPECT_EQ(m.control, 3) << what;
    EXPECT_EQ(m.payload, kFatalText) << what;
    EXPECT_TRUE(s.WaitClosed(3000)) << what << ": " << s.LastError();
}

class ChannelRolesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<RoleServer>(); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override
    {
        ASSERT_TRUE(server_ && server_->process) << "server did not start";
        ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
        ASSERT_TRUE(bystander_.Open(server_->Port())) << bystander_.lastError;
    }
    static size_t Count(const std::string& text) { return server_->process->CountInStderr(text); }

    static std::unique_ptr<RoleServer> server_;
    HislipSession s_, bystander_;
};

std::unique_ptr<RoleServer> ChannelRolesTest::server_;

TEST_F(ChannelRolesTest, ControlMessagePayloadsNeverReachTheParser)
{
    const std::string discardTrace = ">> Discard " + std::to_string(kInjection.size()) + " data bytes";
    const size_t discardsBefore = Count(discardTrace);
    Message m;
    const struct {
        Msg request;
        uint8_t control;
        Msg answer;
    } asyncCases[] = {
        {Msg::AsyncStatusQuery, 0, Msg::AsyncStatusResponse},
        {Msg::AsyncLockInfo, 0, Msg::AsyncLockInfoResponse},
        {Msg::AsyncRemoteLocalControl, 1, Msg::AsyncRemoteLocalResponse},
        {Msg::AsyncLock, 0, Msg::AsyncLockResponse},
        {Msg::AsyncDeviceClear, 0, Msg::AsyncDeviceClearAcknowledge},
    };
    for (const auto& c : asyncCases) {
        ASSERT_TRUE(s_.async.Send(c.request, c.control, s_.LastMessageId(), kInjection));
        ASSERT_TRUE(s_.ReceiveAsync(m, +c.answer, 3000)) << MsgName(+c.request) << ": " << s_.lastError;
    }
    ASSERT_TRUE(s_.sync.Send(Msg::DeviceClearComplete, 0, 0, kInjection));
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::DeviceClearAcknowledge, 3000)) << Describe(m);
    s_.nextMessageId = kFirstMessageId;
    ASSERT_TRUE(s_.sync.Send(Msg::Trigger, 0, s_.nextMessageId, kInjection));
    s_.nextMessageId += 2;

    // A session whose sub-address runs past 256 bytes and whose AsyncInitialize
    // carries a payload.
    HislipSession other;
    const uint32_t param = Initialize(other.sync, server_->Port(), std::string(256, 's') + kInjection);
    ASSERT_TRUE(other.async.Connect(server_->Port()));
    ASSERT_TRUE(other.async.Send(Msg::AsyncInitialize, 0, param & 0xFFFF, kInjection));
    ASSERT_TRUE(other.async.ReceiveType(m, Msg::AsyncInitializeResponse, 3000)) << Describe(m);

    for (HislipSocket* channel : {&s_.sync, &s_.async, &other.sync, &other.async}) {
        EXPECT_TRUE(channel->ExpectSilence(300)) << channel->LastError();
    }
    EXPECT_TRUE(server_->process->WaitForStderr(discardTrace, 2000, discardsBefore + 9));
    EXPECT_FALSE(fs::exists(server_->work / "inj"));
    std::string answer;
    ASSERT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kNoError);
    ASSERT_TRUE(other.Query("SYST:ERR?\n", answer)) << other.lastError;
    EXPECT_EQ(answer, kNoError);
    ExpectAnsweredAtOnce(bystander_);
}

TEST_F(ChannelRolesTest, ProgramMessagesOnTheAsynchronousChannelAreRefusedWithError1)
{
    const size_t refused = Count("ERROR: Data on the asynchronous channel refused");
    Message m;
    for (const Msg type : {Msg::Data, Msg::DataEnd, Msg::Trigger}) {
        ASSERT_TRUE(s_.async.Send(type, 0, kFirstMessageId, type == Msg::Trigger ? "" : kInjection));
        ASSERT_TRUE(s_.async.ReceiveType(m, Msg::Error, 3000)) << MsgName(+type) << ": " << Describe(m);
        EXPECT_EQ(m.control, 1);
        EXPECT_EQ(m.payload, "Unrecognized Message Type");
    }
    EXPECT_TRUE(s_.async.ExpectSilence(300)) << s_.async.LastError();
    EXPECT_TRUE(server_->process->WaitForStderr("ERROR: Data on the asynchronous channel refused", 2000, refused + 1));
    EXPECT_FALSE(fs::exists(server_->work / "inj"));
    // The session goes on, the refused message counted nowhere.
    ExpectAnsweredAtOnce(s_);
    ExpectAnsweredAtOnce(bystander_);
}

TEST_F(ChannelRolesTest, InitializingAConnectionThatHasARoleIsFatal)
{
    // Initialize five times on one connection: one session, then the refusal.
    HislipSocket repeat;
    ASSERT_TRUE(repeat.Connect(server_->Port()));
    std::string fiveTimes;
    for (int i = 0; i < 5; ++i) fiveTimes += EncodeMessage(+Msg::Initialize, 0, kOffer, "hislip0");
    ASSERT_TRUE(repeat.SendRaw(fiveTimes));
    Message m;
    ASSERT_TRUE(repeat.ReceiveType(m, Msg::InitializeResponse, 3000)) << Describe(m);
    EXPECT_NE(m.param & 0xFFFF, 0xFFFFu);
    ExpectRefusedAsBadSequence(repeat, "second Initialize");

    // Either Initialize on a paired channel, in either role.
    HislipSession paired;
    ASSERT_TRUE(paired.Open(server_->Port())) << paired.lastError;
    ASSERT_TRUE(paired.async.Send(Msg::AsyncInitialize, 0, paired.sessionId));
    ExpectRefusedAsBadSequence(paired.async, "AsyncInitialize on the asynchronous channel");
    ASSERT_TRUE(paired.sync.Send(Msg::Initialize, 0, kOffer, "hislip0"));
    ExpectRefusedAsBadSequence(paired.sync, "Initialize on the synchronous channel");

    ASSERT_TRUE(s_.sync.Send(Msg::AsyncInitialize, 0, s_.sessionId));
    ExpectRefusedAsBadSequence(s_.sync, "AsyncInitialize on a synchronous channel");
    ExpectAnsweredAtOnce(bystander_);
}

TEST_F(ChannelRolesTest, DeviceClearLeavesNoAnswerOfBeforeItBehind)
{
    const size_t delivered = Count(">> Data (6): *IDN?;");
    ASSERT_TRUE(s_.sync.Send(Msg::Data, 0, s_.nextMessageId, "*IDN?;"));
    ASSERT_TRUE(server_->process->WaitForStderr(">> Data (6): *IDN?;", 2000, delivered + 1));
    std::this_thread::sleep_for(milliseconds(100));  // the unit is executed, its answer collected

    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_TRUE(s_.skipped.empty());
    EXPECT_TRUE(s_.sync.ExpectSilence(300)) << s_.sync.LastError();

    // The next query, without RMT-delivered, gets its own answer and no
    // Interrupted.
    Message m;
    s_.Write("*IDN?\n");
    ASSERT_TRUE(s_.sync.Receive(m, 3000)) << s_.sync.LastError();
    EXPECT_EQ(m.type, +Msg::DataEnd) << Describe(m);
    EXPECT_EQ(m.param, kFirstMessageId);
    EXPECT_EQ(m.payload, kIdentityLine);
    s_.rmtPending = true;
    EXPECT_TRUE(s_.async.ExpectSilence(200)) << s_.async.LastError();
    std::string answer;
    ASSERT_TRUE(s_.Query("SYST:ERR?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kNoError);
    ExpectAnsweredAtOnce(bystander_);
}

// The session table is server-wide: these cases start a server each.
class SessionTakeover : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.process) << "server did not start";
        ASSERT_TRUE(bystander.Open(server.Port())) << bystander.lastError;
    }
    RoleServer server;
    HislipSession bystander;
};

TEST_F(SessionTakeover, AsyncInitializeFromAnotherAddressIsRefusedAndTheOwnerStillPairs)
{
    HislipSession owner;
    const uint32_t param = Initialize(owner.sync, server.Port());
    const uint16_t id = static_cast<uint16_t>(param & 0xFFFF);
    HislipSocket intruder;
    ASSERT_TRUE(intruder.Connect(server.Port(), "127.0.0.1", 3000, "127.0.0.2")) << intruder.LastError();
    ASSERT_TRUE(intruder.Send(Msg::AsyncInitialize, 0, id));
    ExpectRefusedAsBadSequence(intruder, "AsyncInitialize from 127.0.0.2");

    Message m;
    ASSERT_TRUE(owner.async.Connect(server.Port()));
    ASSERT_TRUE(owner.async.Send(Msg::AsyncInitialize, 0, id));
    ASSERT_TRUE(owner.async.ReceiveType(m, Msg::AsyncInitializeResponse, 3000)) << Describe(m);
    uint8_t status = 0;
    EXPECT_TRUE(owner.StatusQuery(status)) << owner.lastError;
    ExpectAnsweredAtOnce(owner);

    // A whole session from the other address is as good as any.
    HislipSession elsewhere;
    elsewhere.localAddress = "127.0.0.2";
    ASSERT_TRUE(elsewhere.Open(server.Port())) << elsewhere.lastError;
    ExpectAnsweredAtOnce(elsewhere);
    ExpectAnsweredAtOnce(bystander);
}

TEST_F(SessionTakeover, UnpairedSessionCanNotPairAfterTenSeconds)
{
    HislipSession waiters[5];
    uint32_t first = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        const uint32_t param = Initialize(waiters[i].sync, server.Port());
        if (i == 0) first = param;
        EXPECT_EQ(param, first + i);
    }
    const auto lastAnswered = Clock::now();
    HislipSocket sixth;
    EXPECT_EQ(Initialize(sixth, server.Port()), first + 5);

    std::this_thread::sleep_until(lastAnswered + milliseconds(10500));
    HislipSocket late;
    ASSERT_TRUE(late.Connect(server.Port()));
    ASSERT_TRUE(late.Send(Msg::AsyncInitialize, 0, (first + 1) & 0xFFFF));
    ExpectClosedSilently(late, "AsyncInitialize after the pairing time");
    // IDs run on; none of the waiters' is handed out again.
    HislipSocket seventh;
    EXPECT_EQ(Initialize(seventh, server.Port()), first + 6);

    // The waiters go on working unpaired.
    ExpectAnsweredAtOnce(waiters[0]);
    ExpectAnsweredAtOnce(waiters[4]);
    ExpectAnsweredAtOnce(bystander);
}

}  // namespace
}  // namespace tarvos::test
