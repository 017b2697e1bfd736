// Benchmark: the server against raw loopback TCP peers that move the same bytes.
// It measures and prints; it never passes or fails on a figure.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tools/bench/RawPeers.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvos::bench::ConnectLoopback;
using tarvos::bench::RawServer;
using tarvos::bench::RecvExact;
using tarvos::bench::SendAll;
using tarvos::bench::SendTwo;

constexpr uint8_t kDataEnd = 7;
const char kIdentification[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Reads HiSLIP messages from a socket through a large buffer, as a client
// library does.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd), buffer_(1 << 20) {}

    // Reads one message; its payload is counted, and copied when keep is set.
    bool Next(uint8_t& type, uint32_t& parameter, uint64_t& length, std::string* keep = nullptr)
    {
        uint8_t header[16];
        if (!Take(header, 16, nullptr)) {
            return false;
        }
        type = header[2];
        parameter = (uint32_t(header[4]) << 24) | (uint32_t(header[5]) << 16) | (uint32_t(header[6]) << 8) | header[7];
        length = 0;
        for (int i = 8; i < 16; ++i) {
            length = (length << 8) | header[i];
        }
        if (keep != nullptr) {
            keep->clear();
        }
        return Take(nullptr, length, keep);
    }

private:
    bool Take(uint8_t* into, uint64_t length, std::string* keep)
    {
        while (length > 0) {
            if (have_ == used_) {
                const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
                if (n <= 0) {
                    return false;
                }
                have_ = static_cast<size_t>(n);
                used_ = 0;
            }
            const size_t n = std::min<uint64_t>(length, have_ - used_);
            if (into != nullptr) {
                std::memcpy(into, buffer_.data() + used_, n);
                into += n;
            }
            if (keep != nullptr) {
                keep->append(buffer_.data() + used_, n);
            }
            used_ += n;
            length -= n;
        }
        return true;
    }

    int fd_;
    std::vector<char> buffer_;
    size_t have_ = 0;
    size_t used_ = 0;
};

std::string Header(uint8_t type, uint8_t control, uint32_t parameter, uint64_t length)
{
    return tarvos::test::EncodeHeader(type, control, parameter, length);
}

struct Session {
    int sync = -1;
    int async = -1;
    uint32_t nextId = 0xFFFFFF00u;
    bool rmt = false;

    bool Open(uint16_t port)
    {
        sync = ConnectLoopback(port);
        if (sync < 0) {
            return false;
        }
        const std::string sub = "hislip0";
        const std::string init = Header(0, 0, 0x01005456u, sub.size()) + sub;
        uint8_t reply[16];
        if (!SendAll(sync, init.data(), init.size()) || !RecvExact(sync, reply, 16) || reply[2] != 1) {
            return false;
        }
        const uint32_t id = (uint32_t(reply[6]) << 8) | reply[7];
        async = ConnectLoopback(port);
        const std::string asyncInit = Header(17, 0, id, 0);
        return async >= 0 && SendAll(async, asyncInit.data(), asyncInit.size()) && RecvExact(async, reply, 16) &&
               reply[2] == 18;
    }
    // Sends a program message as one DataEnd, RMT-delivered once a response was read.
    bool Send(const std::string& text)
    {
        const std::string header = Header(kDataEnd, rmt ? 1 : 0, nextId, text.size());
        nextId += 2;
        rmt = false;
        return SendTwo(sync, header.data(), header.size(), text.data(), text.size());
    }
    void Close()
    {
        if (sync >= 0) {
            ::close(sync);
        }
        if (async >= 0) {
            ::close(async);
        }
        sync = async = -1;
    }
};

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
        threads.emplace_back([&, i] { counts[i] = RoundTrips(open[i].sync, true, seconds, &open[i]); });
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

double RawRate(int sessions, double seconds)
{
    RawServer::Config config;
    config.kind = RawServer::Kind::PingPong;
    config.requestBytes = 16 + 6;
    config.reply = Header(kDataEnd, 0, 0xFFFFFF00u, sizeof(kIdentification) - 1) + kIdentification;
    RawServer raw(config);
    std::vector<int> fds;
    for (int i = 0; i < sessions; ++i) {
        fds.push_back(ConnectLoopback(raw.Port()));
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

// Reads one whole response; the number of payload bytes, or -1.
long long ReadAnswer(int fd)
{
    Reader reader(fd);
    long long bytes = 0;
    for (;;) {
        uint8_t type = 0;
        uint32_t parameter = 0;
        uint64_t length = 0;
        if (!reader.Next(type, parameter, length)) {
            return -1;
        }
        bytes += static_cast<long long>(length);
        if (type == kDataEnd) {
            return bytes;
        }
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

// MB/s of a block written with MMEM:DATA and confirmed by *OPC?, best of the
// runs. The server's runs share one session, as a client uploading repeatedly
// does, so its block buffer is allocated once.
double UploadRate(uint16_t port, uint64_t blockBytes, int runs, bool raw, double* firstRun = nullptr)
{
    const std::string digits = std::to_string(blockBytes);
    const std::string prefix = "MMEM:DATA 'upload.bin',#" + std::to_string(digits.size()) + digits;
    const std::vector<char> block(1 << 20, 'u');
    Session s;
    if (!raw && !s.Open(port)) {
        return -1;
    }
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        std::unique_ptr<RawServer> sink;
        int fd = s.sync;
        uint32_t id = s.nextId;
        if (raw) {
            RawServer::Config config;
            config.kind = RawServer::Kind::Sink;
            config.streamBytes = 16 + prefix.size() + blockBytes + 1 + 16 + 6;
            config.reply = Header(kDataEnd, 0, 0xFFFFFF02u, 2) + "1\n";
            sink = std::make_unique<RawServer>(config);
            fd = ConnectLoopback(sink->Port());
            id = 0xFFFFFF00u;
        }
        const auto start = Clock::now();
        const std::string header = Header(kDataEnd, run > 0 ? 1 : 0, id, prefix.size() + blockBytes + 1);
        bool ok = SendAll(fd, header.data(), header.size()) && SendAll(fd, prefix.data(), prefix.size());
        for (uint64_t left = blockBytes; ok && left > 0;) {
            const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
            ok = SendAll(fd, block.data(), n);
            left -= n;
        }
        const std::string opc = Header(kDataEnd, 0, id + 2, 6) + "*OPC?\n";
        ok = ok && SendAll(fd, "\n", 1) && SendAll(fd, opc.data(), opc.size()) && ReadAnswer(fd) == 2;
        const double elapsed = Seconds(start);
        if (raw) {
            ::close(fd);
        } else {
            s.nextId += 4;
        }
        if (!ok) {
            return -1;
        }
        const double rate = double(blockBytes) / elapsed / 1e6;
        if (run == 0 && firstRun != nullptr) {
            *firstRun = rate;
        }
        best = std::max(best, rate);
    }
    s.Close();
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
    std::printf("| %-44s | %12.1f | %12.1f | %-6s | %5.2f | >= %.2f |\n", what, server, raw, unit,
                raw > 0 ? server / raw : 0.0, target);
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
    // Server and raw rounds alternate and the best of each counts, so that a
    // burst of other load on the machine hits both alike.
    for (const int sessions : {1, 8}) {
        double best = 0;
        double bestRaw = 0;
        constexpr int kRounds = 5;
        for (int round = 0; round < kRounds; ++round) {
            best = std::max(best, ServerRate(server.Port(), sessions, seconds / kRounds));
            bestRaw = std::max(bestRaw, RawRate(sessions, seconds / kRounds));
        }
        Row(sessions == 1 ? "*IDN? round trips, 1 session" : "*IDN? round trips, 8 sessions", best, bestRaw, "1/s",
            sessions == 1 ? 0.85 : 0.8);
    }
    }
    if (wanted("down")) {
    Row("MMEM:DATA? 256 MiB file", DownloadRate(server.Port(), fileBytes, 5), RawDownloadRate(fileBytes, 5),
        "MB/s", 0.8);
    }
    if (wanted("up")) {
    double firstUpload = 0;
    const double upload = UploadRate(server.Port(), blockBytes, 5, false, &firstUpload);
    Row("MMEM:DATA 200 MiB block", upload, UploadRate(server.Port(), blockBytes, 5, true), "MB/s", 0.7);
    std::printf("  (first MMEM:DATA of the session, new file and new block buffer: %.1f MB/s)\n", firstUpload);
    }
    if (wanted("mem")) {
        const double perSession = KiBPerIdleSession(1000);
        std::printf("\nResident memory per idle paired session (1000 sessions): %.1f KiB (target <= 64 KiB)\n",
                    perSession);
    }

    server.SendKeys("\r");
    server.WaitExit(30000);
    const std::string cleanup = std::string("rm -rf ") + directory;
    if (std::system(cleanup.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", directory);
    }
    return 0;
}
