// Parts of a joined response that leave while its program message goes on.
#include "hislip/Channel.h"

namespace tarvos {

Answered SyncChannel::SendResponsePart(const void* data, uint32_t length)
{
    uint32_t messageId = 0;
    bool countIds = false;
    // Input still waiting here is the rest of the program message that this
    // part answers, not a sign that the client has moved on; whether the
    // response came too late is decided by its final part.
    if (!ClaimDataParts(1, messageId, countIds, false)) {
        return Answered::Dropped;
    }
    if (data == nullptr) {
        length = 0;
    }
    uint8_t headers[1][kHeaderSize];
    EncodeHeader(headers[0], static_cast<uint8_t>(MessageType::Data), 0, messageId, length);
    platform::SendSlice slices[2] = {{headers[0], kHeaderSize}, {data, length}};
    OutgoingMessages messages {headers, slices, 1};
    return WriterResult(SendResponseMessages(messages));
}

}  // namespace tarvos
