// Fuzz target: a paired session. The harness sets the session up (Initialize on
// the first connection, AsyncInitialize with the session ID it was given on the
// second), then splits the input into two streams and sends them to both
// channels at once.
//
// Input: a series of chunks, each one selector byte followed by its bytes. Bit 7
// of the selector picks the channel (0 synchronous, 1 asynchronous), bits 0 to 6
// give the chunk length minus one (1 to 128 bytes; the last chunk may be short).
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hislip/MessageHeader.h"

using namespace tarvos;

namespace {

constexpr int kSetUpTimeoutMs = 5000;

[[noreturn]] void SetUpFailed(const char* what)
{
    std::fprintf(stderr, "tarvos fuzz harness: session set-up failed: %s\n", what);
    std::abort();
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Server& server = fuzz::QuietServer();
    fuzz::EmptyWorkingDirectory();

    const fuzz::SocketPair sync = fuzz::MakeSocketPair();
    const fuzz::SocketPair async = fuzz::MakeSocketPair();
    auto* syncConnection = new Connection(server.engine);
    auto* asyncConnection = new Connection(server.engine);
    syncConnection->AttachSocket(sync.server);
    asyncConnection->AttachSocket(async.server);
    if (!syncConnection->Start() || !asyncConnection->Start()) {
        SetUpFailed("a worker did not start");
    }

    std::vector<uint8_t> message;
    static const uint8_t kSubAddress[] = {'h', 'i', 's', 'l', 'i', 'p', '0'};
    fuzz::AppendMessage(message, static_cast<uint8_t>(MessageType::Initialize), 0, 0x01005A5Au, kSubAddress,
                        sizeof(kSubAddress));
    uint8_t answer[16];
    if (!SendAll(sync.harness, message) || !fuzz::ReadHeader(sync.harness, answer, kSetUpTimeoutMs) ||
        answer[2] != static_cast<uint8_t>(MessageType::InitializeResponse)) {
        SetUpFailed("no InitializeResponse");
    }
    const uint32_t sessionId = (static_cast<uint32_t>(answer[6]) << 8) | answer[7];
    message.clear();
    fuzz::AppendMessage(message, static_cast<uint8_t>(MessageType::AsyncInitialize), 0, sessionId);
    if (!SendAll(async.harness, message) || !fuzz::ReadHeader(async.harness, answer, kSetUpTimeoutMs) ||
        answer[2] != static_cast<uint8_t>(MessageType::AsyncInitializeResponse)) {
        SetUpFailed("no AsyncInitializeResponse");
    }

    std::vector<fuzz::Feed> feeds(2);
    feeds[0].fd = sync.harness;
    feeds[1].fd = async.harness;
    // Program messages and their answers belong to the synchronous channel.
    feeds[0].name = "synchronous channel";
    feeds[1].name = "asynchronous channel";
    feeds[0].forbiddenTypes = {static_cast<uint8_t>(MessageType::AsyncInterrupted)};
    feeds[1].forbiddenTypes = {static_cast<uint8_t>(MessageType::Data), static_cast<uint8_t>(MessageType::DataEnd),
                               static_cast<uint8_t>(MessageType::Interrupted)};
    for (size_t at = 0; at < size;) {
        const uint8_t selector = data[at++];
        size_t n = static_cast<size_t>(selector & 0x7F) + 1;
        if (n > size - at) {
            n = size - at;
        }
        if (n != 0) {
            feeds[selector >> 7].chunks.emplace_back(data + at, data + at + n);
        }
        at += n;
    }

    fuzz::Pump(feeds, 100, 2000);
    fuzz::CheckLockInvariants();
    std::vector<Connection*> connections {syncConnection, asyncConnection};
    fuzz::StopAll(feeds, connections);
    delete syncConnection;
    delete asyncConnection;
    fuzz::CheckServerWideStateFree();
    return 0;
}
