// Plain loopback TCP peers that move the same bytes as the server, for the
// baselines of the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tarvos::bench {

// Blocking socket helpers shared by the HiSLIP client and the raw peers.
int ConnectLoopback(uint16_t port);
bool SendAll(int fd, const void* data, size_t length);
bool SendTwo(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength);
bool RecvExact(int fd, void* data, size_t length);

// A listening socket on 127.0.0.1 with an accept thread; every accepted
// connection is served by `serve` on a thread of its own.
class RawServer {
public:
    enum class Kind {
        // Reads one request of requestBytes, answers replyBytes, forever.
        PingPong,
        // Sends streamBytes in writes of writeSize bytes, then closes.
        Source,
        // Reads streamBytes, then answers replyBytes.
        Sink,
        // As Sink, but writes what it reads into a new file at filePath, in
        // writes of 1 MiB.
        FileSink,
    };
    struct Config {
        Kind kind = Kind::PingPong;
        size_t requestBytes = 0;
        std::string reply;
        uint64_t streamBytes = 0;
        size_t writeSize = 0;
        std::string filePath;
        // PingPong: time spent before each answer, busy on the core, as a
        // server spends it on reading and executing the request.
        uint32_t workNanoseconds = 0;
    };

    explicit RawServer(const Config& config);
    ~RawServer();
    uint16_t Port() const { return port_; }

private:
    void AcceptLoop();
    void Serve(int fd);
    void ServeFileSink(int fd);

    Config config_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::vector<int> fds_;
};

}  // namespace tarvos::bench
