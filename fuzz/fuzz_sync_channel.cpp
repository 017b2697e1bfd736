// Fuzz target: a synchronous channel's worker. The harness opens the session
// with a valid Initialize and then sends the input bytes as they are: headers,
// payloads, program messages, whatever they hold.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hislip/MessageHeader.h"

using namespace tarvos;

namespace {

constexpr size_t kChunkSize = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Server& server = fuzz::QuietServer();
    fuzz::EmptyWorkingDirectory();

    const fuzz::SocketPair pair = fuzz::MakeSocketPair();
    auto* connection = new Connection(server.engine);
    connection->AttachSocket(pair.server);
    if (!connection->Start()) {
        std::abort();
    }

    std::vector<fuzz::Feed> feeds(1);
    feeds[0].fd = pair.harness;
    std::vector<uint8_t> initialize;
    static const uint8_t kSubAddress[] = {'h', 'i', 's', 'l', 'i', 'p', '0'};
    fuzz::AppendMessage(initialize, static_cast<uint8_t>(MessageType::Initialize), 0, 0x01005A5Au, kSubAddress,
                        sizeof(kSubAddress));
    feeds[0].chunks.push_back(initialize);
    for (size_t at = 0; at < size; at += kChunkSize) {
        const size_t n = size - at < kChunkSize ? size - at : kChunkSize;
        feeds[0].chunks.emplace_back(data + at, data + at + n);
    }

    fuzz::Pump(feeds, 100, 2000);
    std::vector<Connection*> connections {connection};
    fuzz::StopAll(feeds, connections);
    delete connection;
    fuzz::CheckServerWideStateFree();
    return 0;
}
