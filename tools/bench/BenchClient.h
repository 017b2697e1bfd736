// The benchmark's own HiSLIP client: a buffered message reader and a session
// of two raw sockets, as light as a client library can be.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/HislipClient.h"
#include "tools/bench/RawPeers.h"

namespace tarvos::bench {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kDataEnd = 7;

inline double Seconds(Clock::time_point since)
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

inline std::string Header(uint8_t type, uint8_t control, uint32_t parameter, uint64_t length)
{
    return tarvos::test::EncodeHeader(type, control, parameter, length);
}

struct Session {
    int sync = -1;
    int async = -1;
    uint32_t nextId = 0xFFFFFF00u;
    bool rmt = false;

    bool Open(uint16_t port, const std::string& sub = "hislip0")
    {
        sync = ConnectLoopback(port);
        if (sync < 0) {
            return false;
        }
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

inline // Reads one whole response; the number of payload bytes, or -1.
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

}  // namespace tarvos::bench
