// A small blocking HiSLIP client for integration tests: the message codec, a
// single TCP channel (HislipSocket) and a two-channel session (HislipSession).
//
// Every message on the wire is a 16-byte header followed by its payload:
//   byte 0..1  'H' 'S'
//   byte 2     message type (Msg)
//   byte 3     control code
//   byte 4..7  message parameter, big-endian
//   byte 8..15 payload length, big-endian
// All operations are bounded by timeouts; nothing here can block forever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSocket.h"

namespace tarvos::test {

enum class Msg : uint8_t {
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    AsyncMaximumMessageSize = 15,
    AsyncMaximumMessageSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
};

constexpr uint8_t operator+(Msg m)
{
    return static_cast<uint8_t>(m);
}

constexpr size_t kHeaderSize = 16;
constexpr uint32_t kFirstMessageId = 0xFFFFFF00u;

struct Message {
    uint8_t type = 0;
    uint8_t control = 0;
    uint32_t param = 0;
    uint64_t length = 0;
    std::string payload;
};

// "DataEnd" etc.; "Type<n>" for codes outside the table.
std::string MsgName(uint8_t type);
// One-line summary for assertion messages, e.g. "DataEnd(ctl=1 param=0xffffff00 len=5)".
std::string Describe(const Message& m);

std::string EncodeHeader(uint8_t type, uint8_t control, uint32_t param, uint64_t length);
std::string EncodeMessage(uint8_t type, uint8_t control, uint32_t param, const std::string& payload = "");
// Big-endian 64-bit value as 8 bytes (the maximum-message-size payload) and back.
std::string EncodeU64(uint64_t v);
uint64_t DecodeU64(const std::string& bytes, size_t offset = 0);

class HislipSocket {
public:
    HislipSocket() = default;
    HislipSocket(const HislipSocket&) = delete;
    HislipSocket& operator=(const HislipSocket&) = delete;
    ~HislipSocket();

    // Connects to host:port ("127.0.0.1" or "::1") with TCP_NODELAY on. A
    // non-empty localAddress (e.g. "127.0.0.2") is bound before connecting, so
    // the server sees the connection come from that address.
    bool Connect(uint16_t port, const std::string& host = "127.0.0.1", int timeoutMs = 5000,
        const std::string& localAddress = "");
    // Sends one message; false if the peer is gone or stops reading for
    // longer than the send timeout.
    bool Send(uint8_t type, uint8_t control, uint32_t param, const std::string& payload = "");
    bool Send(Msg type, uint8_t control, uint32_t param, const std::string& payload = "")
    {
        return Send(+type, control, param, payload);
    }
    bool SendRaw(const std::string& bytes);

    // Receives one whole message. timeoutMs bounds the wait for the message to
    // begin and any stall while it is arriving (so very large payloads are not
    // cut off while they keep flowing). False on timeout, close, a header not
    // starting with "HS" (m then holds the decoded header) or a payload larger
    // than the payload limit. A message cut off by a timeout is resumed by the
    // next Receive.
    bool Receive(Message& m, int timeoutMs = 5000);
    // Receive() and require the type; on a different type m holds what came.
    bool ReceiveType(Message& m, uint8_t type, int timeoutMs = 5000);
    bool ReceiveType(Message& m, Msg type, int timeoutMs = 5000) { return ReceiveType(m, +type, timeoutMs); }

    // True if nothing arrives within ms and the peer has not closed. Does not
    // consume anything.
    bool ExpectSilence(int ms);
    // True if the peer closes (EOF or reset) within timeoutMs; data arriving
    // meanwhile is discarded.
    bool WaitClosed(int timeoutMs);

    // Takes ownership of an already connected descriptor (e.g. one accepted
    // by a test that plays the server side).
    void Adopt(NativeSocket fd);
    void ShutdownWrite();
    // Closes with a reset (RST) instead of an orderly close.
    void CloseWithReset();
    void Close();
    NativeSocket Fd() const { return fd_; }
    bool IsOpen() const { return fd_ != kNoSocket; }

    // Why the last failing call failed ("timeout", "closed", ...).
    const std::string& LastError() const { return error_; }
    void SetSendTimeout(int ms) { sendTimeoutMs_ = ms; }
    void SetMaxPayload(uint64_t bytes) { maxPayload_ = bytes; }

private:
    bool SendAll(const char* data, size_t len);
    // Reads into dst until `want` bytes are there; false on timeout/close/error.
    bool ReadInto(char* dst, size_t want, size_t& have, int timeoutMs);
    bool Fail(const std::string& why);

    NativeSocket fd_ = kNoSocket;
    int sendTimeoutMs_ = 10000;
    uint64_t maxPayload_ = uint64_t{1} << 30;
    std::string error_;
    // State of a message whose arrival was cut off by a timeout.
    char header_[kHeaderSize] = {};
    size_t headerHave_ = 0;
    bool inPayload_ = false;
    Message partial_;
    size_t payloadHave_ = 0;
};

// Both channels of one session. A session object is driven from one thread;
// a test that needs the two channels concurrently (e.g. a device clear while
// a read is pending) uses `sync` and `async` directly from separate threads.
class HislipSession {
public:
    HislipSocket sync, async;
    uint16_t sessionId = 0;
    uint8_t serverOverlap = 0;                 // control code of InitializeResponse / last DeviceClearAcknowledge
    uint16_t serverVersion = 0;                // upper half of the InitializeResponse parameter
    uint32_t serverVendor = 0;                 // AsyncInitializeResponse parameter
    uint16_t clientVersion = 0x0100;           // protocol version offered in Initialize (1.0)
    uint16_t clientVendor = 0x5456;            // "TV"
    uint32_t nextMessageId = kFirstMessageId;  // ID of the next Data/DataEnd/Trigger; +2 after each
    bool rmtPending = false;                   // a complete response was read; next Write carries RMT-delivered
    std::string localAddress;                  // bound by both channels before connecting ("" = any)
    std::string lastError;                     // why the last failing call failed
    std::vector<Message> skipped;              // messages passed over by the last DeviceClear
    std::vector<Message> serviceRequests;      // AsyncServiceRequest messages seen while waiting on async

    // Initialize/InitializeResponse on sync, then AsyncInitialize/
    // AsyncInitializeResponse on async.
    bool Open(uint16_t port, const std::string& host = "127.0.0.1", const std::string& subaddress = "hislip0",
        int timeoutMs = 5000);

    // Sends text as one DataEnd with nextMessageId; the RMT-delivered control
    // bit is set if rmtDelivered or rmtPending (which is then cleared). Returns
    // the MessageID used.
    uint32_t Write(const std::string& text, bool rmtDelivered = false);
    // Same, but as Data messages of at most chunk bytes followed by a final
    // DataEnd (each with its own MessageID; RMT-delivered on the first).
    // Returns the MessageID of the DataEnd.
    uint32_t WriteChunked(const std::string& text, size_t chunk, bool rmtDelivered = false);
    // Sends a Trigger with nextMessageId (RMT-delivered as for Write).
    uint32_t Trigger(bool rmtDelivered = false);

    // Write() then ReadResponse().
    bool Query(const std::string& text, std::string& answer, int timeoutMs = 5000);
    // Collects Data/DataEnd payloads from sync until a DataEnd; each message is
    // appended to parts if given. Sets rmtPending on success. False on timeout
    // or any other message type (which is then the last entry of parts).
    bool ReadResponse(std::string& answer, std::vector<Message>* parts = nullptr, int timeoutMs = 5000);

    // AsyncDeviceClear -> AsyncDeviceClearAcknowledge, then
    // DeviceClearComplete(control = overlapped) -> DeviceClearAcknowledge,
    // passing over (into `skipped`) anything else arriving on sync first.
    // Updates serverOverlap; resets nextMessageId and rmtPending.
    bool DeviceClear(bool overlapped = false, uint8_t* asyncAckCode = nullptr, uint8_t* syncAckCode = nullptr,
        int timeoutMs = 10000);
    // AsyncStatusQuery (param = last MessageID sent) -> status byte.
    bool StatusQuery(uint8_t& status, uint8_t control = 0, int timeoutMs = 5000);
    // AsyncLock request (control 1, param = timeoutMs, payload = shareKey);
    // response is the AsyncLockResponse control code.
    bool Lock(uint8_t& response, uint32_t timeoutMs, const std::string& shareKey = "", int waitMs = 10000);
    // AsyncLock release (control 0, param = last MessageID sent).
    bool Unlock(uint8_t& response, int waitMs = 5000);
    // AsyncLockInfo -> exclusive (control code) and count (parameter).
    bool LockInfo(uint8_t& exclusive, uint32_t& count, int timeoutMs = 5000);
    // AsyncRemoteLocalControl(request, param = last MessageID sent).
    bool RemoteLocal(uint8_t request, uint8_t* responseControl = nullptr, int timeoutMs = 5000);
    // AsyncMaximumMessageSize(clientMax) -> server's maximum.
    bool MaxMessageSize(uint64_t clientMax, uint64_t& serverMax, int timeoutMs = 5000);

    uint32_t LastMessageId() const { return nextMessageId - 2; }
    void Close();

    // Receives on async, collecting AsyncServiceRequest messages on the way.
    bool ReceiveAsync(Message& m, uint8_t type, int timeoutMs);

private:
    bool Fail(const std::string& why);
    uint8_t TakeRmt(bool rmtDelivered);
};

}  // namespace tarvos::test
