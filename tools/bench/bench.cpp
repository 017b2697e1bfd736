// Benchmark: the server against raw loopback TCP peers that move the same bytes.
// It measures and prints; it never passes or fails on a figure.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <fstream>
#include <string>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tools/bench/BenchClient.h"
#include "tools/bench/Definitions.h"
#include "tools/bench/RawPeers.h"
#include "tools/bench/Uploads.h"

namespace {

using tarvos::bench::Clock;
using tarvos::bench::ConnectLoopback;
using tarvos::bench::Header;
using tarvos::bench::kDataEnd;
using tarvos::bench::ReadAnswer;
using tarvos::bench::Reader;
using tarvos::bench::Seconds;
using tarvos::bench::Session;
using tarvos::bench::RawServer;
using tarvos::bench::RecvExact;
using tarvos::bench::SendAll;
using tarvos::bench::SendTwo;

const char kIdentification[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

// Query round trips on one connection until the time is up.
long RoundTrips(int fd, bool hislip, double seconds, Session* session)
{
    Reader reader(fd);
    const std::string query = "*IDN?\n";
    long count = 0;
    uint32_t id = 0xFFFFFF00u;
    bool rmt = false;
    const auto start = Clock::now();
    while (Seconds(start) < seconds) {
        for (int i = 0; i < 64; ++i) {
            bool sent;
            if (hislip) {
                sent = session->Send(query);
            } else {
                const std::string header = Header(kDataEnd, rmt ? 1 : 0, id, query.size());
                id += 2;
                sent = SendTwo(fd, header.data(), header.size(), query.data(), query.size());
            }
            uint8_t type = 0;
            uint32_t parameter = 0;
            uint64_t length = 0;
            if (!sent || !reader.Next(type, parameter, length) || type != kDataEnd) {
                return -1;
            }
            if (hislip) {
                session->rmt = true;
            }
            rmt = true;
            ++count;
        }
    }
    return count;
}

double ServerRate(uint16_t port, int sessions, double seconds)
{
    std::vector<Session> open(static_cast<size_t>(sessions));
    for (auto& s : open) {
        if (!s.Open(port)) {
            return -1;
        }
    }
    std::vector<long> counts(static_cast<size_t>(sessions));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] {
            Session own = open[i];
            counts[i] = RoundTrips(own.sync, true, seconds, &own);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double elapsed = Seconds(start);
    long total = 0;
    for (const long c : counts) {
        total = c < 0 || total < 0 ? -1 : total + c;
    }
    for (auto& s : open) {
        s.Close();
    }
    return total < 0 ? -1 : double(total) / elapsed;
}

// A raw peer in a process of its own, as the server is: a peer thread inside
// the measuring process would be woken without the switch of address space
// that every round trip to another process pays, and the ratio would measure
// that switch instead of the server.
class RawProcess {
public:
    explicit RawProcess(const RawServer::Config& config)
    {
        int portPipe[2];
        int holdPipe[2];
        if (::pipe(portPipe) != 0 || ::pipe(holdPipe) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(portPipe[0]);
            ::close(holdPipe[1]);
            {
                RawServer raw(config);
                const uint16_t port = raw.Port();
                char done = 0;
                if (::write(portPipe[1], &port, sizeof(port)) == sizeof(port)) {
                    // Serves until the measuring process closes its end.
                    while (::read(holdPipe[0], &done, 1) > 0) {
                    }
                }
            }
            ::_exit(0);
        }
        ::close(portPipe[1]);
        ::close(holdPipe[0]);
        hold_ = holdPipe[1];
        if (pid_ < 0 || ::read(portPipe[0], &port_, sizeof(port_)) != sizeof(port_)) {
            port_ = 0;
        }
        ::close(portPipe[0]);
    }
    ~RawProcess()
    {
        if (hold_ >= 0) {
            ::close(hold_);
        }
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, 0);
        }
    }
    RawProcess(const RawProcess&) = delete;
    RawProcess& operator=(const RawProcess&) = delete;
    uint16_t Port() const { return port_; }

private:
    pid_t pid_ = -1;
    int hold_ = -1;
    uint16_t port_ = 0;
};

// The raw ping-pong peer's part: a request of the size of the *IDN? DataEnd,
// answered with the bytes of the server's answer.
RawServer::Config PingPongConfig(uint32_t workNanoseconds)
{
    RawServer::Config config;
    config.kind = RawServer::Kind::PingPong;
    config.workNanoseconds = workNanoseconds;
    config.requestBytes = 16 + 6;
    config.reply = Header(kDataEnd, 0, 0xFFFFFF00u, sizeof(kIdentification) - 1) + kIdentification;
    return config;
}

// Round trips per second against a raw ping-pong peer on port.
double RawRateOn(uint16_t port, int sessions, double seconds)
{
    if (port == 0) {
        return -1;
    }
    std::vector<int> fds;
    for (int i = 0; i < sessions; ++i) {
        fds.push_back(ConnectLoopback(port));
    }
    std::vector<long> counts(static_cast<size_t>(sessions));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] { counts[i] = RoundTrips(fds[i], false, seconds, nullptr); });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double elapsed = Seconds(start);
    long total = 0;
    for (const long c : counts) {
        total += c;
    }
    for (const int fd : fds) {
        ::close(fd);
    }
    return double(total) / elapsed;
}

// The same against a raw peer of its own, in a process of its own.
double RawRate(int sessions, double seconds)
{
    RawProcess process(PingPongConfig(0));
    return RawRateOn(process.Port(), sessions, seconds);
}

// The middle value (the mean of the two middle ones for an even count).
double Median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A row whose ratio is not the quotient of the two rates shown (the median of
// paired ratios beside the median rates).
void RowWithRatio(const char* what, double server, double raw, double ratio, const char* unit, double target)
{
    std::printf("| %-44s | %12.1f | %12.1f | %-6s | %5.2f | >= %.2f |\n", what, server, raw, unit, ratio, target);
}

// The *IDN? round trips of 1 and 8 sessions against the raw ping-pong peer.
// Server and raw rounds alternate, each round pairs a server rate with a raw
// rate measured right beside it, and the median of those paired ratios
// counts: a burst of other load, or a change in how fast the machine wakes its
// threads, hits both rates of a pair alike. The first of a pair changes from
// round to round. The raw peer runs in a process of its own; the ratio against
// a peer thread of the measuring process follows for comparison with earlier
// runs.
// The work of the control peer: about what the server spends per round trip
// beyond the raw peer's receive and send. What it costs the raw peer shows how
// much of the server's ratio is the machine's answer to any such work (on two
// cores: the wake-ups that cross cores) rather than the work itself.
constexpr uint32_t kWorkNanoseconds = 1000;

void RoundTripRows(uint16_t port, const std::string& where, double seconds)
{
    for (const int sessions : {1, 8}) {
        constexpr int kRounds = 9;
        const double slice = seconds / kRounds;
        std::vector<double> rates;
        std::vector<double> raws;
        std::vector<double> ratios;
        std::vector<double> threadRatios;
        std::vector<double> workingRatios;
        // The peers live through all rounds, as the server does; each round
        // opens new connections to each.
        RawProcess plain(PingPongConfig(0));
        RawProcess working(PingPongConfig(kWorkNanoseconds));
        RawServer peerThread(PingPongConfig(0));
        for (int round = 0; round < kRounds; ++round) {
            double rate = 0;
            double raw = 0;
            if (round % 2 == 0) {
                rate = ServerRate(port, sessions, slice);
                raw = RawRateOn(plain.Port(), sessions, slice);
            } else {
                raw = RawRateOn(plain.Port(), sessions, slice);
                rate = ServerRate(port, sessions, slice);
            }
            const double thread = RawRateOn(peerThread.Port(), sessions, slice);
            const double workingRate = RawRateOn(working.Port(), sessions, slice);
            rates.push_back(rate);
            raws.push_back(raw);
            ratios.push_back(raw > 0 ? rate / raw : 0.0);
            threadRatios.push_back(thread > 0 ? rate / thread : 0.0);
            workingRatios.push_back(raw > 0 ? workingRate / raw : 0.0);
        }
        const double lowest = *std::min_element(ratios.begin(), ratios.end());
        const double highest = *std::max_element(ratios.begin(), ratios.end());
        const std::string what =
            std::string(sessions == 1 ? "*IDN? round trips, 1 session" : "*IDN? round trips, 8 sessions") + where;
        RowWithRatio(what.c_str(), Median(rates), Median(raws), Median(ratios), "1/s", sessions == 1 ? 0.9 : 0.85);
        std::printf("  (median of %d paired rounds; ratios %.2f to %.2f; against a raw peer thread of the "
                    "measuring process: %.2f; a raw peer that works %u ns before each answer makes %.2f of the "
                    "raw peer's rate)\n",
                    kRounds, lowest, highest, Median(threadRatios), kWorkNanoseconds, Median(workingRatios));
    }
}

// MB/s of a file answered by MMEM:DATA?, best of the runs.
double DownloadRate(uint16_t port, uint64_t fileBytes, int runs)
{
    Session s;
    if (!s.Open(port)) {
        return -1;
    }
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        if (!s.Send("MMEM:DATA? 'bench.bin'\n")) {
            return -1;
        }
        const long long bytes = ReadAnswer(s.sync);
        s.rmt = true;
        if (bytes < static_cast<long long>(fileBytes)) {
            return -1;
        }
        best = std::max(best, double(bytes) / Seconds(start) / 1e6);
    }
    s.Close();
    return best;
}

double RawDownloadRate(uint64_t fileBytes, int runs)
{
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        RawServer::Config config;
        config.kind = RawServer::Kind::Source;
        config.writeSize = 4112;
        config.streamBytes = fileBytes / 4096 * 4112;
        RawServer raw(config);
        const int fd = ConnectLoopback(raw.Port());
        std::vector<char> buffer(1 << 20);
        const auto start = Clock::now();
        SendAll(fd, "g", 1);
        uint64_t got = 0;
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<uint64_t>(n);
        }
        best = std::max(best, double(got / 4112 * 4096) / Seconds(start) / 1e6);
        ::close(fd);
    }
    return best;
}

// Resident memory that each idle paired session adds, on a server of its own.
double KiBPerIdleSession(int sessions)
{
    tarvos::test::ServerProcess server;
    if (!server.StartAndWaitReady()) {
        return -1;
    }
    const double before = static_cast<double>(server.ResidentKiB());
    std::vector<Session> open(static_cast<size_t>(sessions));
    for (auto& s : open) {
        if (!s.Open(server.Port())) {
            std::fprintf(stderr, "could only open %zu sessions\n", static_cast<size_t>(&s - open.data()));
            return -1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double after = static_cast<double>(server.ResidentKiB());
    for (auto& s : open) {
        s.Close();
    }
    server.SendKeys("\r");
    server.WaitExit(30000);
    return (after - before) / sessions;
}

void Row(const char* what, double server, double raw, const char* unit, double target)
{
    RowWithRatio(what, server, raw, raw > 0 ? server / raw : 0.0, unit, target);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const uint64_t fileBytes = 256ull << 20;
    const uint64_t blockBytes = 200ull << 20;

    char directory[] = "/tmp/tarvos-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    {
        std::ofstream file(std::string(directory) + "/bench.bin", std::ios::binary);
        const std::vector<char> chunk(1 << 20, 'b');
        for (uint64_t left = fileBytes; left > 0; left -= chunk.size()) {
            file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }

    tarvos::test::ServerProcess server;
    if (!server.StartAndWaitReady({}, 15000, directory)) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    std::printf("Tarvos benchmark: %u cores, %.1f s per rate\n\n", std::thread::hardware_concurrency(), seconds);
    std::printf("| %-44s | %12s | %12s | %-6s | %5s | target |\n", "figure", "server", "raw TCP", "unit", "ratio");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(8, '-').c_str(), std::string(7, '-').c_str(),
                std::string(8, '-').c_str());
    const std::string only = argc > 2 ? argv[2] : "";
    auto wanted = [&](const char* part) { return only.empty() || only == part; };
    if (wanted("rt")) {
        RoundTripRows(server.Port(), "", seconds);
        // The same rounds with the server, the raw peers and the client on one
        // core: every wake-up is a switch on that core, so where the
        // scheduler puts the threads of either peer no longer enters, and the
        // ratio is what the server costs per round trip against the raw peer.
        cpu_set_t all;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        if (::sched_getaffinity(0, sizeof(all), &all) == 0 && ::sched_setaffinity(0, sizeof(one), &one) == 0) {
            tarvos::test::ServerProcess pinned;
            if (pinned.StartAndWaitReady({}, 15000, directory)) {
                RoundTripRows(pinned.Port(), ", one core", seconds);
                pinned.SendKeys("\r");
                pinned.WaitExit(30000);
            }
            ::sched_setaffinity(0, sizeof(all), &all);
        }
    }
    if (wanted("def")) {
        tarvos::bench::DefinitionRows(seconds, directory, [](double s) { return RawRate(1, s); });
    }
    if (wanted("down")) {
    Row("MMEM:DATA? 256 MiB file", DownloadRate(server.Port(), fileBytes, 5), RawDownloadRate(fileBytes, 5),
        "MB/s", 0.8);
    }
    if (wanted("up")) {
        const auto rates = tarvos::bench::MeasureUploadRates(server.Port(), directory, blockBytes, 5);
        Row("MMEM:DATA 200 MiB block, first upload", rates.firstUpload, rates.rawFile, "MB/s", 0.8);
        Row("MMEM:DATA 200 MiB block, rewrite", rates.rewrite, rates.rawFile, "MB/s", 0.8);
        std::printf("  (first upload: a new session's first MMEM:DATA, into a new file; raw TCP: the same bytes\n"
                    "   received into a new file with 1 MiB writes; received into no file: %.1f MB/s)\n",
                    rates.rawSink);
    }
    if (wanted("mem")) {
        const double perSession = KiBPerIdleSession(1000);
        std::printf("\nResident memory per idle paired session (1000 sessions): %.1f KiB (target <= 64 KiB)\n",
                    perSession);
        const auto memory = tarvos::bench::MeasureUploadMemory(directory, blockBytes, 16, 100ull << 20);
        std::printf("Resident memory growth during one 200 MiB upload: %.1f MiB (target <= 8 MiB)\n",
                    memory.oneUploadKiB / 1024);
        std::printf("Resident memory growth during 16 concurrent 100 MiB uploads: %.1f MiB (target <= 64 MiB)\n",
                    memory.concurrentKiB / 1024);
    }

    server.SendKeys("\r");
    server.WaitExit(30000);
    const std::string cleanup = std::string("rm -rf ") + directory;
    if (std::system(cleanup.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", directory);
    }
    return 0;
}
