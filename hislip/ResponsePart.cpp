// Parts of a joined response that leave while its program message goes on.
#include "hislip/Channel.h"

namespace tarvos {

Answered Channel::SendResponsePart(const void* data, uint32_t length, const ResponseFault& fault)
{
    uint32_t messageId = 0;
    bool countIds = false;
    // Input still waiting here is the rest of the program message that this
    // part answers, not a sign that the client has moved on; whether the
    // response came too late is decided by its final part.
    if (!ClaimDataParts(1, messageId, countIds, false, fault.staleId)) {
        return Answered::Dropped;
    }
    return WriterResult(SendResponseMessage(MessageType::Data, messageId, length, data, fault));
}

}  // namespace tarvos
