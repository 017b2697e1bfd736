// HislipSession: the synchronous and asynchronous channel of one session and
// the request/response exchanges tests use on them.
#include <chrono>

#include "tests/support/HislipClient.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;

// Upper bounds on a single response so that a misbehaving server streaming
// endlessly cannot keep a test spinning.
constexpr size_t kMaxResponseBytes = size_t{4} << 30;
constexpr size_t kMaxResponseMessages = size_t{1} << 24;

int MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool HislipSession::Fail(const std::string& why)
{
    lastError = why;
    return false;
}

uint8_t HislipSession::TakeRmt(bool rmtDelivered)
{
    const bool rmt = rmtDelivered || rmtPending;
    rmtPending = false;
    return rmt ? 1 : 0;
}

bool HislipSession::Open(uint16_t port, const std::string& host, const std::string& subaddress, int timeoutMs)
{
    Close();
    nextMessageId = kFirstMessageId;
    rmtPending = false;
    if (!sync.Connect(port, host, timeoutMs, localAddress)) return Fail("sync connect: " + sync.LastError());
    const uint32_t offer = (uint32_t{clientVersion} << 16) | clientVendor;
    if (!sync.Send(Msg::Initialize, 0, offer, subaddress)) return Fail("send Initialize: " + sync.LastError());
    Message m;
    if (!sync.ReceiveType(m, Msg::InitializeResponse, timeoutMs)) {
        return Fail("Initialize: " + sync.LastError());
    }
    serverOverlap = m.control;
    serverVersion = static_cast<uint16_t>(m.param >> 16);
    sessionId = static_cast<uint16_t>(m.param & 0xFFFF);

    if (!async.Connect(port, host, timeoutMs, localAddress)) return Fail("async connect: " + async.LastError());
    if (!async.Send(Msg::AsyncInitialize, 0, sessionId)) return Fail("send AsyncInitialize: " + async.LastError());
    if (!async.ReceiveType(m, Msg::AsyncInitializeResponse, timeoutMs)) {
        return Fail("AsyncInitialize: " + async.LastError());
    }
    serverVendor = m.param;
    lastError.clear();
    return true;
}

uint32_t HislipSession::Write(const std::string& text, bool rmtDelivered)
{
    const uint32_t id = nextMessageId;
    nextMessageId += 2;
    if (!sync.Send(Msg::DataEnd, TakeRmt(rmtDelivered), id, text)) Fail("send DataEnd: " + sync.LastError());
    return id;
}

uint32_t HislipSession::WriteChunked(const std::string& text, size_t chunk, bool rmtDelivered)
{
    if (chunk == 0) chunk = 1;
    uint8_t rmt = TakeRmt(rmtDelivered);
    size_t pos = 0;
    while (text.size() - pos > chunk) {
        const uint32_t id = nextMessageId;
        nextMessageId += 2;
        if (!sync.Send(Msg::Data, rmt, id, text.substr(pos, chunk))) Fail("send Data: " + sync.LastError());
        rmt = 0;
        pos += chunk;
    }
    const uint32_t id = nextMessageId;
    nextMessageId += 2;
    if (!sync.Send(Msg::DataEnd, rmt, id, text.substr(pos))) Fail("send DataEnd: " + sync.LastError());
    return id;
}

uint32_t HislipSession::Trigger(bool rmtDelivered)
{
    const uint32_t id = nextMessageId;
    nextMessageId += 2;
    if (!sync.Send(Msg::Trigger, TakeRmt(rmtDelivered), id)) Fail("send Trigger: " + sync.LastError());
    return id;
}

bool HislipSession::Query(const std::string& text, std::string& answer, int timeoutMs)
{
    answer.clear();
    lastError.clear();
    Write(text);
    if (!lastError.empty()) return false;
    return ReadResponse(answer, nullptr, timeoutMs);
}

bool HislipSession::ReadResponse(std::string& answer, std::vector<Message>* parts, int timeoutMs)
{
    answer.clear();
    for (size_t count = 0; count < kMaxResponseMessages; ++count) {
        Message m;
        if (!sync.Receive(m, timeoutMs)) return Fail("response: " + sync.LastError());
        const uint8_t type = m.type;
        const bool data = type == +Msg::Data || type == +Msg::DataEnd;
        if (parts != nullptr) {
            if (data) answer += m.payload;
            parts->push_back(std::move(m));
        } else if (data) {
            if (answer.empty()) {
                answer = std::move(m.payload);  // large single-message responses are not copied
            } else {
                answer += m.payload;
            }
        }
        if (!data) return Fail("response: unexpected " + Describe(parts != nullptr ? parts->back() : m));
        if (type == +Msg::DataEnd) {
            rmtPending = true;
            lastError.clear();
            return true;
        }
        if (answer.size() > kMaxResponseBytes) break;
    }
    return Fail("response: no DataEnd within the response limits");
}

bool HislipSession::ReceiveAsync(Message& m, uint8_t type, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!async.Receive(m, MsUntil(deadline))) return Fail("async: " + async.LastError());
        if (m.type == type) return true;
        if (m.type != +Msg::AsyncServiceRequest)
            return Fail("async: expected " + MsgName(type) + ", got " + Describe(m));
        serviceRequests.push_back(m);
    }
}

bool HislipSession::DeviceClear(bool overlapped, uint8_t* asyncAckCode, uint8_t* syncAckCode, int timeoutMs)
{
    skipped.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!async.Send(Msg::AsyncDeviceClear, 0, 0)) return Fail("send AsyncDeviceClear: " + async.LastError());
    Message m;
    for (;;) {
        if (!async.Receive(m, MsUntil(deadline))) return Fail("AsyncDeviceClear: " + async.LastError());
        if (m.type == +Msg::AsyncDeviceClearAcknowledge) break;
        if (m.type == +Msg::AsyncServiceRequest || m.type == +Msg::AsyncInterrupted) {
            skipped.push_back(m);
            continue;
        }
        return Fail("AsyncDeviceClear: unexpected " + Describe(m));
    }
    if (asyncAckCode != nullptr) *asyncAckCode = m.control;

    if (!sync.Send(Msg::DeviceClearComplete, overlapped ? 1 : 0, 0)) {
        return Fail("send DeviceClearComplete: " + sync.LastError());
    }
    for (;;) {
        if (!sync.Receive(m, MsUntil(deadline))) return Fail("DeviceClearComplete: " + sync.LastError());
        if (m.type == +Msg::DeviceClearAcknowledge) break;
        if (m.type == +Msg::Data || m.type == +Msg::DataEnd || m.type == +Msg::Interrupted) {
            skipped.push_back(std::move(m));
            continue;
        }
        return Fail("DeviceClearComplete: unexpected " + Describe(m));
    }
    if (syncAckCode != nullptr) *syncAckCode = m.control;
    serverOverlap = m.control;
    nextMessageId = kFirstMessageId;
    rmtPending = false;
    lastError.clear();
    return true;
}

bool HislipSession::StatusQuery(uint8_t& status, uint8_t control, int timeoutMs)
{
    if (!async.Send(Msg::AsyncStatusQuery, control, LastMessageId())) {
        return Fail("send AsyncStatusQuery: " + async.LastError());
    }
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncStatusResponse, timeoutMs)) return false;
    status = m.control;
    return true;
}

bool HislipSession::Lock(uint8_t& response, uint32_t timeoutMs, const std::string& shareKey, int waitMs)
{
    if (!async.Send(Msg::AsyncLock, 1, timeoutMs, shareKey)) return Fail("send AsyncLock: " + async.LastError());
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncLockResponse, waitMs)) return false;
    response = m.control;
    return true;
}

bool HislipSession::Unlock(uint8_t& response, int waitMs)
{
    if (!async.Send(Msg::AsyncLock, 0, LastMessageId())) return Fail("send AsyncLock: " + async.LastError());
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncLockResponse, waitMs)) return false;
    response = m.control;
    return true;
}

bool HislipSession::LockInfo(uint8_t& exclusive, uint32_t& count, int timeoutMs)
{
    if (!async.Send(Msg::AsyncLockInfo, 0, 0)) return Fail("send AsyncLockInfo: " + async.LastError());
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncLockInfoResponse, timeoutMs)) return false;
    exclusive = m.control;
    count = m.param;
    return true;
}

bool HislipSession::RemoteLocal(uint8_t request, uint8_t* responseControl, int timeoutMs)
{
    if (!async.Send(Msg::AsyncRemoteLocalControl, request, LastMessageId())) {
        return Fail("send AsyncRemoteLocalControl: " + async.LastError());
    }
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncRemoteLocalResponse, timeoutMs)) return false;
    if (responseControl != nullptr) *responseControl = m.control;
    return true;
}

bool HislipSession::MaxMessageSize(uint64_t clientMax, uint64_t& serverMax, int timeoutMs)
{
    if (!async.Send(Msg::AsyncMaximumMessageSize, 0, 0, EncodeU64(clientMax))) {
        return Fail("send AsyncMaximumMessageSize: " + async.LastError());
    }
    Message m;
    if (!ReceiveAsync(m, +Msg::AsyncMaximumMessageSizeResponse, timeoutMs)) return false;
    if (m.payload.size() != 8)
        return Fail("AsyncMaximumMessageSizeResponse: payload of " + std::to_string(m.payload.size()) + " bytes");
    serverMax = DecodeU64(m.payload);
    return true;
}

void HislipSession::Close()
{
    sync.Close();
    async.Close();
}

}  // namespace tarvos::test
