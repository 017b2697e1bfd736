// The server's traffic as an independent protocol analyser sees it: a scripted
// session that makes the server send every message type it knows is captured
// on the loopback interface with tshark and run through its HiSLIP dissector,
// once in normal mode and once in slow mode (one byte per TCP segment).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";
// Expert severities of the analyser (Chat 0x200000, Note 0x400000, Warn 0x600000, Error 0x800000).
constexpr unsigned long kWarnSeverity = 0x600000;
// The expert group of TCP's sequence analysis (retransmissions, duplicate and
// selective acknowledgements, keep-alives). A loaded machine produces these on
// loopback too; they say nothing about the HiSLIP messages on the wire.
constexpr unsigned long kSequenceGroup = 0x02000000;

std::string FindInPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/usr/sbin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command bounded by `timeout`; returns its standard output.
bool RunBounded(const std::string& command, std::string& out)
{
    out.clear();
    FILE* p = ::popen(("timeout -k 5 120 " + command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    return ::pclose(p) == 0;
}

size_t CountOf(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) ++n;
    return n;
}

// A tshark capture of one TCP port on the loopback interface, written to a
// file. tshark reports "Capturing on" before packets really flow into the
// file, so the capture also takes in UDP datagrams to a marker port: once the
// live summary shows a marker, everything sent before it is in the file.
class Capture {
public:
    ~Capture()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (marker_ >= 0) ::close(marker_);
    }

    bool Start(const std::string& tshark, uint16_t port, const fs::path& file, std::string& why)
    {
        log_ = file.string() + ".log";
        summary_ = file.string() + ".txt";
        markerPort_ = FreePort();
        const std::string filter =
            "tcp port " + std::to_string(port) + " or udp dst port " + std::to_string(markerPort_);
        pid_ = ::fork();
        if (pid_ < 0) {
            why = "fork failed";
            return false;
        }
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int out = ::open(summary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = ::open("/dev/null", O_RDONLY);
            if (err < 0 || out < 0 || null < 0) ::_exit(126);
            ::dup2(null, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execl(tshark.c_str(), "tshark", "-i", "lo", "-f", filter.c_str(), "-w", file.c_str(), "-P", "-l",
                static_cast<char*>(nullptr));
            ::_exit(127);
        }
        marker_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (marker_ < 0) {
            why = "no UDP socket for the capture marker";
            return false;
        }
        return Sync(why);
    }

    // Sends markers until the capture shows one: all traffic so far is captured.
    bool Sync(std::string& why)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(markerPort_);
        const size_t seen = CountOf(ReadFile(summary_), " UDP ");
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why = "tshark ended: " + ReadFile(log_);
                return false;
            }
            ::sendto(marker_, "mark", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (CountOf(ReadFile(summary_), " UDP ") > seen) return true;
        }
        why = "tshark did not capture within 20 s (capturing needs root or CAP_NET_RAW): " + ReadFile(log_);
        return false;
    }

    // Ends the capture the way an operator would (SIGINT) and waits for the file.
    bool Stop(std::string& why)
    {
        if (!Sync(why)) return false;
        ::kill(pid_, SIGINT);
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                why = "tshark did not end after SIGINT: " + ReadFile(log_);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            why = "tshark failed: " + ReadFile(log_);
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = -1;
    int marker_ = -1;
    uint16_t markerPort_ = 0;
    std::string log_;
    std::string summary_;
};

// One captured frame as the dissector decoded it.
struct Frame {
    unsigned number = 0;
    unsigned srcPort = 0;
    unsigned payload = 0;
    std::string protocols;
    std::vector<unsigned> types;  // HiSLIP message types found in this frame
    unsigned reassembledIn = 0;
    std::vector<unsigned long> severities;
    std::vector<unsigned long> groups;  // expert group of each severity, in the same order
    std::string expert;
};

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    std::stringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!text.empty() && text.back() == sep) parts.emplace_back();
    return parts;
}

std::vector<unsigned long> Numbers(const std::string& list)
{
    std::vector<unsigned long> values;
    for (const std::string& v : Split(list, ',')) {
        if (!v.empty()) values.push_back(std::stoul(v, nullptr, 0));
    }
    return values;
}

std::vector<Frame> ParseFrames(const std::string& fields)
{
    std::vector<Frame> frames;
    std::stringstream in(fields);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Split(line, '\t');
        if (f.size() < 9 || f[0].empty()) continue;
        Frame fr;
        fr.number = static_cast<unsigned>(std::stoul(f[0]));
        fr.srcPort = f[1].empty() ? 0 : static_cast<unsigned>(std::stoul(f[1]));
        fr.payload = f[2].empty() ? 0 : static_cast<unsigned>(std::stoul(f[2]));
        fr.protocols = f[3];
        for (unsigned long t : Numbers(f[4])) fr.types.push_back(static_cast<unsigned>(t));
        fr.reassembledIn = f[5].empty() ? 0 : static_cast<unsigned>(std::stoul(f[5]));
        fr.severities = Numbers(f[6]);
        fr.expert = f[7];
        fr.groups = Numbers(f[8]);
        frames.push_back(std::move(fr));
    }
    return frames;
}

// Message names in the server's own trace: "<< Name," for each message sent,
// ">> Name," for each header received.
std::multiset<std::string> TracedMessages(const std::string& log, const std::string& arrow)
{
    std::multiset<std::string> names;
    const std::string marker = "] " + arrow + " ";
    for (size_t pos = log.find(marker); pos != std::string::npos; pos = log.find(marker, pos + 1)) {
        size_t end = pos + marker.size();
        while (end < log.size() && std::isalpha(static_cast<unsigned char>(log[end]))) ++end;
        if (end < log.size() && log[end] == ',') names.insert(log.substr(pos + marker.size(), end - pos - marker.size()));
    }
    return names;
}

std::string Join(const std::multiset<std::string>& names)
{
    std::string out;
    for (const std::string& n : names) out += n + " ";
    return out;
}

class AnalyserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tshark_ = FindInPath("tshark");
        ASSERT_FALSE(tshark_.empty()) << "tshark is not installed (tools/ensure-deps tshark installs it); "
                                         "the capture check cannot run";
        char pattern[] = "/tmp/tarvos-analyser-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "work");
    }
    void TearDown() override
    {
        if (dir_.empty()) return;
        if (HasFailure()) {
            std::printf("capture kept in %s\n", dir_.c_str());
            return;
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // The scripted session: every message type the server can send.
    void RunScript(uint16_t port)
    {
        HislipSession s;
        ASSERT_TRUE(s.Open(port)) << s.lastError;
        uint64_t serverMax = 0;
        ASSERT_TRUE(s.MaxMessageSize(1 << 20, serverMax)) << s.lastError;

        // A response with the message-available bit enabled raises a service request.
        s.Write("*SRE 16\n");
        std::string answer;
        ASSERT_TRUE(s.Query("*IDN?\n", answer)) << s.lastError;
        EXPECT_EQ(answer, kIdentity);
        Message m;
        ASSERT_TRUE(s.async.ReceiveType(m, Msg::AsyncServiceRequest, 5000)) << Describe(m);
        uint8_t status = 0;
        ASSERT_TRUE(s.StatusQuery(status)) << s.lastError;
        s.Write("*SRE 0\n");

        // A new query without RMT-delivered after an answer is an interruption.
        ASSERT_TRUE(s.Query("*OPC?\n", answer)) << s.lastError;
        s.rmtPending = false;
        s.Write("*IDN?\n");
        ASSERT_TRUE(s.ReceiveAsync(m, +Msg::AsyncInterrupted, 5000)) << s.lastError;
        ASSERT_TRUE(s.sync.ReceiveType(m, Msg::Interrupted, 5000)) << Describe(m);
        ASSERT_TRUE(s.ReadResponse(answer)) << s.lastError;
        EXPECT_EQ(answer, kIdentity);

        // A file answer comes as Data messages closed by a DataEnd; the client
        // sends the block split over Data messages as well.
        const std::string block = "#45000" + std::string(5000, 'x');
        s.WriteChunked("MMEM:DATA 'capture.bin'," + block + "\n", 1500);
        ASSERT_TRUE(s.Query("MMEM:DATA? 'capture.bin'\n", answer)) << s.lastError;
        EXPECT_EQ(answer, block + "\n");

        ASSERT_TRUE(s.DeviceClear()) << s.lastError;
        ASSERT_TRUE(s.RemoteLocal(1)) << s.lastError;
        uint8_t response = 0;
        ASSERT_TRUE(s.Lock(response, 0)) << s.lastError;
        EXPECT_EQ(response, 1);
        uint8_t exclusive = 0;
        uint32_t holders = 0;
        ASSERT_TRUE(s.LockInfo(exclusive, holders)) << s.lastError;
        EXPECT_EQ(exclusive, 1);
        ASSERT_TRUE(s.Unlock(response)) << s.lastError;
        s.Trigger();

        // The server runs with a single-connection limit: a second client is refused.
        HislipSocket refused;
        ASSERT_TRUE(refused.Connect(port));
        ASSERT_TRUE(refused.Send(Msg::Initialize, 0, 0x01005456, "hislip0"));
        ASSERT_TRUE(refused.ReceiveType(m, Msg::FatalError, 5000)) << Describe(m);
        EXPECT_EQ(m.payload, "Too many connections");
        EXPECT_TRUE(refused.WaitClosed(5000));
        refused.Close();
        s.Close();
    }

    // Starts a server, captures the script and checks the decoded capture.
    void CaptureAndCheck(const std::vector<std::string>& switches)
    {
        ServerProcess server;
        ASSERT_TRUE(server.StartAndWaitReady(switches, 15000, (dir_ / "work").string()));
        const uint16_t port = server.Port();
        const fs::path file = dir_ / "session.pcapng";
        Capture capture;
        std::string why;
        ASSERT_TRUE(capture.Start(tshark_, port, file, why)) << why;

        RunScript(port);
        // Every connection has ended on the server side before the capture stops.
        EXPECT_TRUE(server.WaitForStderr("channel normally closed.", 10000, 2));
        EXPECT_TRUE(server.WaitForStderr("Data channel closed with error", 10000, 1));
        ASSERT_TRUE(capture.Stop(why)) << why;
        server.SendKeys("\n");
        EXPECT_EQ(server.WaitExit(15000), 0);
        const std::string trace = server.Stderr();

        std::string fields;
        // The capture also holds the marker datagrams; only the server's port is looked at.
        const std::string onPort = "tcp.port==" + std::to_string(port);
        const std::string decode = "'" + tshark_ + "' -2 -r '" + file.string() + "' -d " + onPort + ",hislip";
        ASSERT_TRUE(RunBounded(decode + " -Y " + onPort +
                " -T fields -E separator=/t -e frame.number -e tcp.srcport -e tcp.len -e frame.protocols"
                " -e hislip.messagetype -e tcp.reassembled_in -e _ws.expert.severity -e _ws.expert.message"
                " -e _ws.expert.group",
            fields))
            << "decoding the capture failed";
        const std::vector<Frame> frames = ParseFrames(fields);
        std::map<unsigned, const Frame*> byNumber;
        for (const Frame& f : frames) byNumber[f.number] = &f;

        std::multiset<std::string> fromServer;
        size_t toServer = 0;
        size_t serverSegments = 0;
        for (const Frame& f : frames) {
            // A segment that TCP sent again repeats bytes already decoded
            // (the analyser calls a repeated single byte a keep-alive): TCP's
            // own, which a loaded machine triggers, not the server's.
            const bool sequenceNote =
                std::find(f.groups.begin(), f.groups.end(), kSequenceGroup) != f.groups.end();
            if (sequenceNote && (f.expert.find("retransmission") != std::string::npos ||
                                 f.expert.find("keep-alive") != std::string::npos)) {
                continue;
            }
            EXPECT_EQ(f.protocols.find("_ws.malformed"), std::string::npos) << "frame " << f.number << " is malformed";
            for (size_t i = 0; i < f.severities.size(); ++i) {
                if (i < f.groups.size() && f.groups[i] == kSequenceGroup) continue;
                EXPECT_LT(f.severities[i], kWarnSeverity) << "frame " << f.number << ": " << f.expert;
            }
            if (f.payload == 0) continue;
            if (f.srcPort == port) ++serverSegments;
            const bool hislip = f.protocols.find("hislip") != std::string::npos;
            if (!hislip) {
                auto whole = byNumber.find(f.reassembledIn);
                EXPECT_TRUE(whole != byNumber.end() && whole->second->protocols.find("hislip") != std::string::npos)
                    << "frame " << f.number << " (" << f.payload << " bytes) is not part of any HiSLIP message";
            }
            for (unsigned type : f.types) {
                if (f.srcPort == port) {
                    fromServer.insert(MsgName(static_cast<uint8_t>(type)));
                } else {
                    ++toServer;
                }
            }
        }

        // The analyser found exactly the messages that the server says it sent and received.
        EXPECT_EQ(Join(fromServer), Join(TracedMessages(trace, "<<")));
        EXPECT_EQ(toServer, TracedMessages(trace, ">>").size());
        for (const char* name : {"InitializeResponse", "AsyncInitializeResponse", "AsyncMaximumMessageSizeResponse",
                 "Data", "DataEnd", "Interrupted", "AsyncInterrupted", "DeviceClearAcknowledge",
                 "AsyncDeviceClearAcknowledge", "AsyncStatusResponse", "AsyncServiceRequest",
                 "AsyncRemoteLocalResponse", "AsyncLockResponse", "AsyncLockInfoResponse", "FatalError"}) {
            EXPECT_GT(fromServer.count(name), 0u) << name << " missing from the capture";
        }
        if (std::find(switches.begin(), switches.end(), "-s") != switches.end()) {
            // Slow mode: messages reach the analyser in pieces and are reassembled (how
            // many pieces the kernel merges again depends on the load of the machine).
            std::set<unsigned> reassembled;
            for (const Frame& f : frames) {
                if (f.srcPort == port && f.payload > 0 && f.reassembledIn != 0) reassembled.insert(f.reassembledIn);
            }
            EXPECT_FALSE(reassembled.empty()) << serverSegments << " segments";
        }

        std::string expert;
        ASSERT_TRUE(RunBounded(decode + " -q -z 'expert,warn," + onPort + " && !(_ws.expert.group == " +
                                   std::to_string(kSequenceGroup) + ")'",
                        expert))
            << "expert summary failed";
        EXPECT_EQ(expert.find("Warns"), std::string::npos) << expert;
        EXPECT_EQ(expert.find("Errors"), std::string::npos) << expert;
    }

    std::string tshark_;
    fs::path dir_;
};

TEST_F(AnalyserTest, EveryServerMessageDecodesCleanly)
{
    CaptureAndCheck({"-v", "-1"});
}

TEST_F(AnalyserTest, ByteBySegmentSlowModeReassemblesCleanly)
{
    CaptureAndCheck({"-v", "-1", "-s"});
}

}  // namespace
}  // namespace tarvos::test
