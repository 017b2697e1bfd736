// Message codec and the single-channel HislipSocket.
#include "tests/support/HislipClient.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kCoalesceLimit = 64 * 1024;

int MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

constexpr std::array<const char*, 26> kNames = {
    "Initialize",
    "InitializeResponse",
    "FatalError",
    "Error",
    "AsyncLock",
    "AsyncLockResponse",
    "Data",
    "DataEnd",
    "DeviceClearComplete",
    "DeviceClearAcknowledge",
    "AsyncRemoteLocalControl",
    "AsyncRemoteLocalResponse",
    "Trigger",
    "Interrupted",
    "AsyncInterrupted",
    "AsyncMaximumMessageSize",
    "AsyncMaximumMessageSizeResponse",
    "AsyncInitialize",
    "AsyncInitializeResponse",
    "AsyncDeviceClear",
    "AsyncServiceRequest",
    "AsyncStatusQuery",
    "AsyncStatusResponse",
    "AsyncDeviceClearAcknowledge",
    "AsyncLockInfo",
    "AsyncLockInfoResponse",
};

// Binds s to localAddress (any port) before it connects.
bool BindLocal(NativeSocket s, int family, const std::string& localAddress, std::string& why)
{
    sockaddr_storage local{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&local);
        a->sin_family = AF_INET;
        length = sizeof(*a);
        if (::inet_pton(AF_INET, localAddress.c_str(), &a->sin_addr) != 1) {
            why = "local address " + localAddress + " is not IPv4";
            return false;
        }
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&local);
        a->sin6_family = AF_INET6;
        length = sizeof(*a);
        if (::inet_pton(AF_INET6, localAddress.c_str(), &a->sin6_addr) != 1) {
            why = "local address " + localAddress + " is not IPv6";
            return false;
        }
    }
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), length) != 0) {
        why = "bind " + localAddress + ": " + SocketErrorText(SocketErrorCode());
        return false;
    }
    return true;
}

}  // namespace

std::string MsgName(uint8_t type)
{
    if (type < kNames.size()) return kNames[type];
    return "Type" + std::to_string(type);
}

std::string Describe(const Message& m)
{
    char head[96];
    std::snprintf(head, sizeof(head), "(ctl=%u param=0x%08x len=%llu", static_cast<unsigned>(m.control),
        static_cast<unsigned>(m.param), static_cast<unsigned long long>(m.length));
    std::string out = MsgName(m.type) + head;
    if (!m.payload.empty()) {
        out += " \"";
        const size_t shown = m.payload.size() < 48 ? m.payload.size() : 48;
        for (size_t i = 0; i < shown; ++i) {
            const unsigned char c = static_cast<unsigned char>(m.payload[i]);
            if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
                out += static_cast<char>(c);
            } else {
                char esc[8];
                std::snprintf(esc, sizeof(esc), "\\x%02x", c);
                out += esc;
            }
        }
        out += shown < m.payload.size() ? "\"..." : "\"";
    }
    return out + ")";
}

std::string EncodeU64(uint64_t v)
{
    std::string out(8, '\0');
    for (int i = 7; i >= 0; --i, v >>= 8) out[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
    return out;
}

uint64_t DecodeU64(const std::string& bytes, size_t offset)
{
    uint64_t v = 0;
    for (size_t i = 0; i < 8 && offset + i < bytes.size(); ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

std::string EncodeHeader(uint8_t type, uint8_t control, uint32_t param, uint64_t length)
{
    std::string h(kHeaderSize, '\0');
    h[0] = 'H';
    h[1] = 'S';
    h[2] = static_cast<char>(type);
    h[3] = static_cast<char>(control);
    for (int i = 0; i < 4; ++i) h[static_cast<size_t>(4 + i)] = static_cast<char>((param >> (24 - 8 * i)) & 0xFF);
    const std::string len = EncodeU64(length);
    h.replace(8, 8, len);
    return h;
}

std::string EncodeMessage(uint8_t type, uint8_t control, uint32_t param, const std::string& payload)
{
    return EncodeHeader(type, control, param, payload.size()) + payload;
}

HislipSocket::~HislipSocket()
{
    Close();
}

bool HislipSocket::Fail(const std::string& why)
{
    error_ = why;
    return false;
}

bool HislipSocket::Connect(uint16_t port, const std::string& host, int timeoutMs, const std::string& localAddress)
{
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0) {
        return Fail(std::string("resolve ") + host + ": " + ::gai_strerror(rc));
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string why = "no address";
    for (addrinfo* ai = res; ai != nullptr && fd_ == kNoSocket; ai = ai->ai_next) {
        NativeSocket s = OpenStreamSocket(ai->ai_family);
        if (s == kNoSocket) {
            why = "socket: " + SocketErrorText(SocketErrorCode());
            continue;
        }
        if (!localAddress.empty() && !BindLocal(s, ai->ai_family, localAddress, why)) {
            CloseSocket(s);
            continue;
        }
        int rc = ::connect(s, ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen));
        std::string failure;
        if (rc != 0 && WouldBlock(SocketErrorCode())) {
            int pr;
            do {
                pr = PollSocket(s, POLLOUT, MsUntil(deadline));
            } while (pr < 0 && Interrupted(SocketErrorCode()));
            if (pr == 0) {
                failure = "timed out";
            } else {
                int soErr = 0;
                socklen_t len = sizeof(soErr);
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
                rc = soErr == 0 ? 0 : -1;
                if (soErr != 0) failure = SocketErrorText(soErr);
            }
        } else if (rc != 0) {
            failure = SocketErrorText(SocketErrorCode());
        }
        if (rc != 0) {
            why = "connect: " + failure;
            CloseSocket(s);
            continue;
        }
        UseForClient(s);
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
        fd_ = s;
    }
    ::freeaddrinfo(res);
    if (fd_ == kNoSocket) return Fail(why);
    error_.clear();
    return true;
}

bool HislipSocket::SendAll(const char* data, size_t len)
{
    if (fd_ == kNoSocket) return Fail("not connected");
    size_t done = 0;
    while (done < len) {
        const long n = SendNow(fd_, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int code = SocketErrorCode();
        if (n < 0 && Interrupted(code)) continue;
        if (n < 0 && WouldBlock(code)) {
            int pr = PollSocket(fd_, POLLOUT, sendTimeoutMs_);
            if (pr == 0) return Fail("send timeout (peer not reading)");
            if (pr < 0 && !Interrupted(SocketErrorCode())) return Fail("poll: " + SocketErrorText(SocketErrorCode()));
            continue;
        }
        return Fail("send: " + SocketErrorText(code));
    }
    return true;
}

bool HislipSocket::Send(uint8_t type, uint8_t control, uint32_t param, const std::string& payload)
{
    if (payload.size() <= kCoalesceLimit) {
        const std::string msg = EncodeMessage(type, control, param, payload);
        return SendAll(msg.data(), msg.size());
    }
    const std::string header = EncodeHeader(type, control, param, payload.size());
    return SendAll(header.data(), header.size()) && SendAll(payload.data(), payload.size());
}

bool HislipSocket::SendRaw(const std::string& bytes)
{
    return SendAll(bytes.data(), bytes.size());
}

bool HislipSocket::ReadInto(char* dst, size_t want, size_t& have, int timeoutMs)
{
    while (have < want) {
        int pr = PollSocket(fd_, POLLIN, timeoutMs);
        if (pr < 0 && Interrupted(SocketErrorCode())) continue;
        if (pr < 0) return Fail("poll: " + SocketErrorText(SocketErrorCode()));
        if (pr == 0) return Fail("timeout");
        const long n = ReceiveNow(fd_, dst + have, want - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
        } else if (n == 0) {
            return Fail("closed by peer");
        } else if (const int code = SocketErrorCode(); !Interrupted(code) && !WouldBlock(code)) {
            return Fail("recv: " + SocketErrorText(code));
        }
    }
    return true;
}

bool HislipSocket::Receive(Message& m, int timeoutMs)
{
    if (fd_ == kNoSocket) return Fail("not connected");
    if (!inPayload_) {
        if (!ReadInto(header_, kHeaderSize, headerHave_, timeoutMs)) return false;
        headerHave_ = 0;
        const auto* b = reinterpret_cast<const unsigned char*>(header_);
        partial_ = Message{};
        partial_.type = b[2];
        partial_.control = b[3];
        partial_.param = (uint32_t{b[4]} << 24) | (uint32_t{b[5]} << 16) | (uint32_t{b[6]} << 8) | uint32_t{b[7]};
        partial_.length = DecodeU64(std::string(header_ + 8, 8));
        if (b[0] != 'H' || b[1] != 'S') {
            m = partial_;
            char why[64];
            std::snprintf(why, sizeof(why), "bad header prefix 0x%02x 0x%02x", b[0], b[1]);
            return Fail(why);
        }
        if (partial_.length > maxPayload_) {
            m = partial_;
            return Fail("payload length " + std::to_string(partial_.length) + " exceeds limit");
        }
        partial_.payload.resize(static_cast<size_t>(partial_.length));
        payloadHave_ = 0;
        inPayload_ = true;
    }
    if (!ReadInto(partial_.payload.data(), partial_.payload.size(), payloadHave_, timeoutMs)) return false;
    inPayload_ = false;
    m = std::move(partial_);
    partial_ = Message{};
    error_.clear();
    return true;
}

bool HislipSocket::ReceiveType(Message& m, uint8_t type, int timeoutMs)
{
    if (!Receive(m, timeoutMs)) return false;
    if (m.type != type) return Fail("expected " + MsgName(type) + ", got " + Describe(m));
    return true;
}

bool HislipSocket::ExpectSilence(int ms)
{
    if (fd_ == kNoSocket) return Fail("not connected");
    if (headerHave_ > 0 || inPayload_) return Fail("part of a message is already buffered");
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int pr = PollSocket(fd_, POLLIN, MsUntil(deadline));
        if (pr < 0 && Interrupted(SocketErrorCode())) continue;
        if (pr < 0) return Fail("poll: " + SocketErrorText(SocketErrorCode()));
        if (pr == 0) return true;
        char c;
        const long n = ReceiveNow(fd_, &c, 1, true);
        if (n > 0) return Fail("data arrived");
        if (n == 0) return Fail("closed by peer");
        if (const int code = SocketErrorCode(); !Interrupted(code) && !WouldBlock(code)) {
            return Fail("recv: " + SocketErrorText(code));
        }
        if (MsUntil(deadline) == 0) return true;
    }
}

bool HislipSocket::WaitClosed(int timeoutMs)
{
    if (fd_ == kNoSocket) return Fail("not connected");
    headerHave_ = 0;
    inPayload_ = false;
    partial_ = Message{};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        int pr = PollSocket(fd_, POLLIN, MsUntil(deadline));
        if (pr < 0 && Interrupted(SocketErrorCode())) continue;
        if (pr < 0) return Fail("poll: " + SocketErrorText(SocketErrorCode()));
        if (pr == 0) return Fail("still open");
        const long n = ReceiveNow(fd_, buf, sizeof(buf));
        if (n == 0) return true;
        if (n < 0) {
            const int code = SocketErrorCode();
            if (!Interrupted(code) && !WouldBlock(code)) return true;  // reset counts as closed
        }
        if (MsUntil(deadline) == 0) return Fail("still open (data kept arriving)");
    }
}

void HislipSocket::Adopt(NativeSocket fd)
{
    Close();
    fd_ = fd;
    if (fd_ != kNoSocket) UseForClient(fd_);
    error_.clear();
}

void HislipSocket::ShutdownWrite()
{
    if (fd_ != kNoSocket) ShutdownSending(fd_);
}

void HislipSocket::CloseWithReset()
{
    if (fd_ != kNoSocket) SetAbortiveClose(fd_);
    Close();
}

void HislipSocket::Close()
{
    if (fd_ != kNoSocket) {
        CloseSocket(fd_);
        fd_ = kNoSocket;
    }
    headerHave_ = 0;
    inPayload_ = false;
    payloadHave_ = 0;
    partial_ = Message{};
}

}  // namespace tarvos::test
