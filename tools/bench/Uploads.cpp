#include "tools/bench/Uploads.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/ServerProcess.h"
#include "tools/bench/BenchClient.h"

namespace tarvos::bench {

namespace {

std::string UploadPrefix(const std::string& name, uint64_t blockBytes)
{
    const std::string digits = std::to_string(blockBytes);
    return "MMEM:DATA '" + name + "',#" + std::to_string(digits.size()) + digits;
}

// Bytes on the wire of one Upload.
uint64_t UploadWireBytes(const std::string& name, uint64_t blockBytes)
{
    return 16 + UploadPrefix(name, blockBytes).size() + blockBytes + 1 + 16 + 6;
}

// MMEM:DATA of blockBytes into name as one DataEnd, then *OPC?; true once
// its answer has come.
bool Upload(int fd, uint32_t id, bool rmt, const std::string& name, uint64_t blockBytes)
{
    static const std::vector<char> block(1 << 20, 'u');
    const std::string prefix = UploadPrefix(name, blockBytes);
    const std::string header = Header(kDataEnd, rmt ? 1 : 0, id, prefix.size() + blockBytes + 1);
    bool ok = SendAll(fd, header.data(), header.size()) && SendAll(fd, prefix.data(), prefix.size());
    for (uint64_t left = blockBytes; ok && left > 0;) {
        const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
        ok = SendAll(fd, block.data(), n);
        left -= n;
    }
    const std::string opc = Header(kDataEnd, 0, id + 2, 6) + "*OPC?\n";
    return ok && SendAll(fd, "\n", 1) && SendAll(fd, opc.data(), opc.size()) && ReadAnswer(fd) == 2;
}

// One upload on the session: MB/s, or -1.
double ServerUpload(Session& s, const std::string& name, uint64_t blockBytes)
{
    const auto start = Clock::now();
    const bool ok = Upload(s.sync, s.nextId, s.rmt, name, blockBytes);
    const double elapsed = Seconds(start);
    s.nextId += 4;
    s.rmt = true;
    return ok ? double(blockBytes) / elapsed / 1e6 : -1;
}

// The same bytes into a raw loopback peer of the kind: MB/s, or -1.
double RawUpload(RawServer::Kind kind, const std::string& path, uint64_t blockBytes)
{
    RawServer::Config config;
    config.kind = kind;
    config.streamBytes = UploadWireBytes("upload.bin", blockBytes);
    config.reply = Header(kDataEnd, 0, 0xFFFFFF02u, 2) + "1\n";
    config.filePath = path;
    double rate = -1;
    {
        RawServer raw(config);
        const int fd = ConnectLoopback(raw.Port());
        const auto start = Clock::now();
        if (fd >= 0 && Upload(fd, 0xFFFFFF00u, false, "upload.bin", blockBytes)) {
            rate = double(blockBytes) / Seconds(start) / 1e6;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (!path.empty()) {
        ::unlink(path.c_str());
    }
    return rate;
}

// The best of a figure's runs; one failed run makes the figure -1.
class BestOf {
public:
    void Add(double rate)
    {
        failed_ = failed_ || rate < 0;
        best_ = std::max(best_, rate);
    }
    double Figure() const { return failed_ ? -1 : best_; }

private:
    double best_ = 0;
    bool failed_ = false;
};

// Peak resident memory of the server, sampled every 5 ms while work runs.
size_t PeakResidentKiB(const tarvos::test::ServerProcess& server, const std::function<void()>& work)
{
    std::atomic<bool> done {false};
    std::atomic<size_t> peak {server.ResidentKiB()};
    std::thread sampler([&] {
        while (!done) {
            const size_t now = server.ResidentKiB();
            if (now > peak) {
                peak = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    work();
    done = true;
    sampler.join();
    return std::max(peak.load(), server.ResidentKiB());
}

}  // namespace

UploadRates MeasureUploadRates(uint16_t port, const std::string& directory, uint64_t blockBytes, int rounds)
{
    UploadRates rates;
    Session rewriting;
    if (!rewriting.Open(port) || ServerUpload(rewriting, "upload.bin", blockBytes) < 0) {
        return rates;
    }
    BestOf first, rewrite, rawFile, rawSink;
    for (int round = 0; round < rounds; ++round) {
        // Server and raw rounds alternate, so that a burst of other load on
        // the machine hits both alike.
        const std::string fresh = "first-" + std::to_string(round) + ".bin";
        Session s;
        first.Add(s.Open(port) ? ServerUpload(s, fresh, blockBytes) : -1);
        s.Close();
        ::unlink((directory + "/" + fresh).c_str());
        rawFile.Add(RawUpload(RawServer::Kind::FileSink, directory + "/raw.bin", blockBytes));
        rewrite.Add(ServerUpload(rewriting, "upload.bin", blockBytes));
        rawFile.Add(RawUpload(RawServer::Kind::FileSink, directory + "/raw.bin", blockBytes));
        rawSink.Add(RawUpload(RawServer::Kind::Sink, "", blockBytes));
    }
    rewriting.Close();
    ::unlink((directory + "/upload.bin").c_str());
    rates.firstUpload = first.Figure();
    rates.rewrite = rewrite.Figure();
    rates.rawFile = rawFile.Figure();
    rates.rawSink = rawSink.Figure();
    return rates;
}

UploadMemory MeasureUploadMemory(const std::string& directory, uint64_t oneBytes, int sessions, uint64_t eachBytes)
{
    UploadMemory memory;
    {
        tarvos::test::ServerProcess server;
        Session s;
        if (!server.StartAndWaitReady({}, 15000, directory) || !s.Open(server.Port())) {
            return memory;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const size_t idle = server.ResidentKiB();
        bool ok = false;
        const size_t peak = PeakResidentKiB(server, [&] { ok = ServerUpload(s, "memory.bin", oneBytes) > 0; });
        if (ok) {
            memory.oneUploadKiB = double(peak) - double(idle);
        }
        s.Close();
        ::unlink((directory + "/memory.bin").c_str());
    }
    tarvos::test::ServerProcess server;
    if (!server.StartAndWaitReady({}, 15000, directory)) {
        return memory;
    }
    std::vector<Session> open(static_cast<size_t>(sessions));
    for (auto& s : open) {
        if (!s.Open(server.Port())) {
            return memory;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t idle = server.ResidentKiB();
    std::atomic<int> failures {0};
    const size_t peak = PeakResidentKiB(server, [&] {
        std::vector<std::thread> uploads;
        for (int i = 0; i < sessions; ++i) {
            uploads.emplace_back([&, i] {
                if (ServerUpload(open[static_cast<size_t>(i)], "many-" + std::to_string(i) + ".bin", eachBytes) < 0) {
                    ++failures;
                }
            });
        }
        for (auto& t : uploads) {
            t.join();
        }
    });
    if (failures == 0) {
        memory.concurrentKiB = double(peak) - double(idle);
    }
    for (int i = 0; i < sessions; ++i) {
        open[static_cast<size_t>(i)].Close();
        ::unlink((directory + "/many-" + std::to_string(i) + ".bin").c_str());
    }
    return memory;
}

}  // namespace tarvos::bench
