#include "tools/bench/RawPeers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tarvos::bench {

int ConnectLoopback(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return fd;
}

bool SendAll(int fd, const void* data, size_t length)
{
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool SendTwo(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength)
{
    iovec parts[2] = {{const_cast<void*>(first), firstLength}, {const_cast<void*>(second), secondLength}};
    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0) {
        return false;
    }
    const size_t sent = static_cast<size_t>(n);
    if (sent < firstLength) {
        return SendAll(fd, static_cast<const char*>(first) + sent, firstLength - sent) &&
               SendAll(fd, second, secondLength);
    }
    return SendAll(fd, static_cast<const char*>(second) + (sent - firstLength), secondLength - (sent - firstLength));
}

bool RecvExact(int fd, void* data, size_t length)
{
    auto* bytes = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t n = ::recv(fd, bytes, length, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

RawServer::RawServer(const Config& config) : config_(config)
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listenFd_, 64);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

RawServer::~RawServer()
{
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listenFd_);
    for (const int fd : fds_) {
        ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_) {
        worker.join();
    }
    for (const int fd : fds_) {
        ::close(fd);
    }
}

void RawServer::AcceptLoop()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        fds_.push_back(fd);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

void RawServer::Serve(int fd)
{
    switch (config_.kind) {
    case Kind::PingPong: {
        std::vector<char> request(config_.requestBytes);
        const auto work = std::chrono::nanoseconds(config_.workNanoseconds);
        while (RecvExact(fd, request.data(), request.size())) {
            if (work.count() > 0) {
                const auto start = std::chrono::steady_clock::now();
                while (std::chrono::steady_clock::now() - start < work) {
                }
            }
            if (!SendAll(fd, config_.reply.data(), config_.reply.size())) {
                break;
            }
        }
        break;
    }
    case Kind::Source: {
        char start = 0;
        if (!RecvExact(fd, &start, 1)) {
            break;
        }
        std::vector<char> chunk(config_.writeSize, 'x');
        uint64_t left = config_.streamBytes;
        while (left > 0) {
            const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            if (!SendAll(fd, chunk.data(), n)) {
                break;
            }
            left -= n;
        }
        ::shutdown(fd, SHUT_WR);
        break;
    }
    case Kind::Sink: {
        std::vector<char> chunk(1 << 20);
        uint64_t left = config_.streamBytes;
        while (left > 0) {
            const size_t want = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            const ssize_t n = ::recv(fd, chunk.data(), want, 0);
            if (n <= 0) {
                return;
            }
            left -= static_cast<uint64_t>(n);
        }
        SendAll(fd, config_.reply.data(), config_.reply.size());
        break;
    }
    case Kind::FileSink:
        ServeFileSink(fd);
        break;
    }
}

void RawServer::ServeFileSink(int fd)
{
    const int file = ::open(config_.filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file < 0) {
        return;
    }
    constexpr size_t kWrite = 1 << 20;
    std::vector<char> buffer(kWrite);
    size_t filled = 0;
    bool ok = true;
    for (uint64_t left = config_.streamBytes; ok && left > 0;) {
        const size_t want = std::min<uint64_t>(left, kWrite - filled);
        const ssize_t n = ::recv(fd, buffer.data() + filled, want, 0);
        if (n <= 0) {
            ok = false;
            break;
        }
        filled += static_cast<size_t>(n);
        left -= static_cast<uint64_t>(n);
        if (filled == kWrite || left == 0) {
            ok = ::write(file, buffer.data(), filled) == static_cast<ssize_t>(filled);
            filled = 0;
        }
    }
    ::close(file);
    if (ok) {
        SendAll(fd, config_.reply.data(), config_.reply.size());
    }
}

}  // namespace tarvos::bench
