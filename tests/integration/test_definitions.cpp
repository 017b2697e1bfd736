// Instruments of a definition file (-d) over the real protocol: bindings,
// shared state, whole program messages, locks, device clear, the status byte,
// test faults, and files that are refused before the server listens.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";
constexpr uint8_t kMavBit = 0x10;

const char kSupply[] = R"(spec: "1.1"
devices:
  psu:
    eom:
      TCPIP INSTR:
        q: "\n"
        r: "\n"
    error: "ERR"
    dialogues:
      - q: "*IDN?"
        r: "Acme,PSU,1,1.0"
      - q: "*RST"
    properties:
      volt:
        default: 1.0
        getter:
          q: "VOLT?"
          r: "{:.2f}"
        setter:
          q: "VOLT {:.2f}"
        specs:
          type: float
          min: 0
          max: 10
resources:
  TCPIP::bench::hislip0::INSTR:
    device: psu
  second:
    device: psu
)";

// A file in a folder of its own, removed with it.
class DefinitionFile {
public:
    explicit DefinitionFile(const std::string& text, const std::string& name = "instrument.yaml")
    {
        dir_ = fs::temp_directory_path() / ("tarvos-def-" + std::to_string(::getpid()) + "-" + std::to_string(++count_));
        fs::create_directories(dir_);
        path_ = (dir_ / name).string();
        Write(name, text);
    }
    ~DefinitionFile()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    void Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    const std::string& Path() const { return path_; }

private:
    static inline int count_ = 0;
    fs::path dir_;
    std::string path_;
};

class DefinedInstrument : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.StartAndWaitReady({"-d", file_.Path()})) << server_.Stdout(); }

    void Open(HislipSession& s, const std::string& subAddress)
    {
        ASSERT_TRUE(s.Open(server_.Port(), "127.0.0.1", subAddress)) << s.lastError;
    }

    DefinitionFile file_ {kSupply};
    ServerProcess server_;
};

TEST_F(DefinedInstrument, StartupNamesEachBindingAndAnUnboundSubAddressGetsTheBuiltInInstrumentWithAWarning)
{
    EXPECT_NE(server_.Stdout().find("hislip0: device \"psu\" of resource TCPIP::bench::hislip0::INSTR\n"),
              std::string::npos)
        << server_.Stdout();
    EXPECT_NE(server_.Stdout().find("hislip1: device \"psu\" of resource second\n"), std::string::npos);
    HislipSession bound;
    Open(bound, "hislip1");
    std::string answer;
    ASSERT_TRUE(bound.Query("*IDN?\n", answer)) << bound.lastError;
    EXPECT_EQ(answer, "Acme,PSU,1,1.0\n");
    HislipSession unbound;
    Open(unbound, "hislip5");
    ASSERT_TRUE(unbound.Query("*IDN?\n", answer)) << unbound.lastError;
    EXPECT_EQ(answer, kIdentity);
    const std::string warning = "Tarvos:: WARNING: sub-address 'hislip5' is bound to no resource of the definition "
                                "file; serving the built-in instrument\n";
    EXPECT_TRUE(server_.WaitForStderr(warning, 2000)) << server_.Stderr();
    EXPECT_EQ(server_.CountInStderr("Tarvos:: Tarvos::"), 0u) << server_.Stderr();
    EXPECT_EQ(server_.CountInStderr("WARNING: sub-address"), 1u);
}

TEST_F(DefinedInstrument, SessionsOnOneSubAddressShareTheInstrumentAndOtherResourcesKeepTheirOwn)
{
    HislipSession a;
    Open(a, "hislip0");
    HislipSession b;
    Open(b, "HISLIP0");
    HislipSession other;
    Open(other, "hislip1");
    std::string answer;
    // The query makes sure that the setter has run before the other session asks.
    ASSERT_TRUE(a.Query("VOLT 2.50;VOLT?\n", answer)) << a.lastError;
    ASSERT_TRUE(b.Query("VOLT?\n", answer)) << b.lastError;
    EXPECT_EQ(answer, "2.50\n");
    ASSERT_TRUE(other.Query("VOLT?\n", answer)) << other.lastError;
    EXPECT_EQ(answer, "1.00\n");
    // Two sessions setting and reading at once never see half a message of the other.
    std::thread writer([&] {
        for (int i = 0; i < 50; ++i) {
            std::string ignored;
            EXPECT_TRUE(a.Query("VOLT 3.00;VOLT?;VOLT 4.00;VOLT?\n", ignored)) << a.lastError;
            EXPECT_EQ(ignored, "3.00\n4.00\n");
        }
    });
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(b.Query("VOLT 5.00;VOLT?\n", answer)) << b.lastError;
        EXPECT_EQ(answer, "5.00\n");
    }
    writer.join();
}

TEST_F(DefinedInstrument, AnswersOfOneProgramMessageLeaveAsOneResponseAndNoAnswerSendsNothing)
{
    HislipSession s;
    Open(s, "hislip0");
    std::vector<Message> parts;
    s.Write("*IDN?;VOLT?;*RST;bogus\n");
    std::string answer;
    ASSERT_TRUE(s.ReadResponse(answer, &parts)) << s.lastError;
    EXPECT_EQ(answer, "Acme,PSU,1,1.0\n1.00\nERR\n");
    EXPECT_EQ(parts.size(), 1u);
    s.Write("*RST\n");
    EXPECT_TRUE(s.sync.ExpectSilence(300));
    // A message in Data parts is one program message, ended by its DataEnd.
    s.WriteChunked("VOLT 7.25;VOLT?\n", 3);
    ASSERT_TRUE(s.ReadResponse(answer)) << s.lastError;
    EXPECT_EQ(answer, "7.25\n");
    // MAV: set while an answer is out, cleared once the client says it has it.
    uint8_t status = 0;
    s.Write("VOLT?\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(s.StatusQuery(status)) << s.lastError;
    EXPECT_EQ(status & kMavBit, kMavBit) << "no MAV while an answer is out";
    ASSERT_TRUE(s.ReadResponse(answer)) << s.lastError;
    ASSERT_TRUE(s.StatusQuery(status, 1)) << s.lastError;
    EXPECT_EQ(status & kMavBit, 0) << "MAV after the answer was delivered";
}

TEST_F(DefinedInstrument, FaultCommandsComeFirstAndDeviceClearDropsTheHeldAnswer)
{
    HislipSession s;
    Open(s, "hislip0");
    std::string answer;
    ASSERT_TRUE(s.Query("DIAG:FAULT:SPLIT 4;*IDN?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "Acme,PSU,1,1.0\n");
    ASSERT_TRUE(s.Query("diag:fault?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "NONE\n");
    s.Write("DIAG:FAULT:DELAY 5000;VOLT?\n");
    EXPECT_TRUE(s.sync.ExpectSilence(300));
    ASSERT_TRUE(s.DeviceClear()) << s.lastError;
    ASSERT_TRUE(s.Query("*IDN?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "Acme,PSU,1,1.0\n") << "the delayed answer came after the clear";
    // A number out of range is no fault command: the instrument answers it.
    ASSERT_TRUE(s.Query("DIAG:FAULT:SPLIT 0\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "ERR\n");
}

TEST_F(DefinedInstrument, AnArmedServiceRequestPrecedesTheNextAsynchronousAnswer)
{
    HislipSession s;
    Open(s, "hislip0");
    std::string answer;
    ASSERT_TRUE(s.Query("DIAG:ARM:SRQ;*IDN?\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "Acme,PSU,1,1.0\n");
    uint8_t status = 0;
    ASSERT_TRUE(s.StatusQuery(status, 1)) << s.lastError;
    ASSERT_EQ(s.serviceRequests.size(), 1u) << "no AsyncServiceRequest before the status answer";
    EXPECT_EQ(s.serviceRequests[0].control & 0x41, 0x41);
    ASSERT_TRUE(s.StatusQuery(status, 1)) << s.lastError;
    EXPECT_EQ(s.serviceRequests.size(), 1u) << "the armed request fired twice";
}

TEST_F(DefinedInstrument, ExclusiveLockKeepsTheOtherSessionsOfTheInstrumentWaiting)
{
    HislipSession holder;
    Open(holder, "hislip0");
    HislipSession other;
    Open(other, "hislip0");
    uint8_t response = 0;
    ASSERT_TRUE(holder.Lock(response, 1000)) << holder.lastError;
    ASSERT_EQ(response, 1);
    other.Write("VOLT?\n");
    EXPECT_TRUE(other.sync.ExpectSilence(400)) << "answered through another session's exclusive lock";
    std::string answer;
    ASSERT_TRUE(holder.Query("VOLT 9.00;VOLT?\n", answer)) << holder.lastError;
    EXPECT_EQ(answer, "9.00\n");
    ASSERT_TRUE(holder.Unlock(response)) << holder.lastError;
    ASSERT_TRUE(other.ReadResponse(answer)) << other.lastError;
    EXPECT_EQ(answer, "9.00\n");
}

struct BadFile {
    std::string text;
    std::string report;
};

TEST(DefinitionFiles, EveryFaultIsReportedWithItsPlaceAndTheServerEndsWithCode1BeforeListening)
{
    const std::string device = "devices:\n  d:\n    dialogues:\n      - q: A\n        r: B\n";
    const BadFile cases[] = {
        {"spec: \"1.1\"\ndevices: [a, b\n", ":3:1: YAML syntax"},
        {"spec: \"2.0\"\n", ":1:7: format version '2.0' is not served"},
        {"devices: {}\n", ":1:1: the file names no format version"},
        {"spec: \"1.1\"\ndevices:\n  d:\n    properties:\n      p:\n        specs:\n          min: 1\n"
         "resources:\n  r:\n    device: d\n",
         ":7:11: property p: no property type was specified"},
        {"spec: \"1.1\"\ndevices: {}\nresources:\n  r:\n    device: nowhere\n",
         ":5:13: resource r names device 'nowhere', which this file does not define"},
        {("spec: \"1.1\"\n" + device + "resources:\n  TCPIP::a::hislip1::INSTR:\n    device: d\n"
          "  TCPIP::b::hislip1::INSTR:\n    device: d\n"),
         ":10:3: resources TCPIP::a::hislip1::INSTR and TCPIP::b::hislip1::INSTR both name hislip1"},
        {"spec: \"1.1\"\ndevices:\n  d:\n    properties:\n      p:\n        setter:\n          q: \"P {:c}\"\n"
         "resources:\n  r:\n    device: d\n",
         ":7:14: the setter pattern of p can't be read"},
        {"spec: \"1.1\"\ndevices:\n  d:\n    dialogues:\n      - q: R\n        r: \"{RANDOM(1, x, 2):.1f}\"\n"
         "resources:\n  r:\n    device: d\n",
         ":6:12: RANDOM can't be read"},
        {("spec: \"1.1\"\n" + device + "resources:\n  r:\n    device: d\n    bundled: true\n"),
         ":10:14: resource r is 'bundled'"},
    };
    for (const BadFile& c : cases) {
        const DefinitionFile file(c.text);
        ServerProcess server;
        ASSERT_TRUE(server.Start({"-d", file.Path()}));
        EXPECT_EQ(server.WaitExit(10000), 1) << c.text;
        EXPECT_NE(server.Stdout().find(file.Path() + c.report), std::string::npos)
            << "expected " << c.report << " in:\n" << server.Stdout();
        EXPECT_EQ(server.Stdout().find("is listening"), std::string::npos) << server.Stdout();
    }
    ServerProcess missing;
    ASSERT_TRUE(missing.Start({"-d", "/nonexistent/definition.yaml"}));
    EXPECT_EQ(missing.WaitExit(10000), 1);
    EXPECT_NE(missing.Stdout().find("/nonexistent/definition.yaml:1:1: cannot read the file: "),
              std::string::npos)
        << missing.Stdout();
}

TEST(DefinitionFiles, AResourceMayTakeItsDeviceFromAFileNamedRelativeToItsOwn)
{
    const DefinitionFile file("spec: \"1.1\"\nresources:\n  r:\n    device: d\n    filename: sub/more.yaml\n");
    fs::create_directories(fs::path(file.Path()).parent_path() / "sub");
    file.Write("sub/more.yaml",
               "spec: \"1.0\"\ndevices:\n  d:\n    dialogues:\n      - q: \"PING\"\n        r: \"PONG\"\n");
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({"-d", file.Path()})) << server.Stdout();
    HislipSession s;
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;
    std::string answer;
    ASSERT_TRUE(s.Query("PING\n", answer)) << s.lastError;
    EXPECT_EQ(answer, "PONG\n");
}

}  // namespace
}  // namespace tarvos::test
