// Parts of a joined response that leave while its program message goes on.
#include "console/Server.h"
#include "hislip/Channel.h"
#include "log/Log.h"

namespace tarvos {

int Channel::SendResponsePart(const void* data, uint32_t length)
{
    uint32_t messageId;
    {
        ScopedLock guard(lock);
        if (discard) {
            LogVerbose(server, "INFO: message discarded");
            return 1;
        }
        // Input still waiting here is the rest of the program message that this
        // part answers, not a sign that the client has moved on; whether the
        // response came too late is decided by its final part.
        responseSent = true;
        SetMav(true);
        if (overlapped) {
            lastResponseId += 2;
            messageId = lastResponseId;
        } else {
            messageId = header.messageParameter;
        }
    }
    return SendMessage(MessageType::Data, 0, messageId, length, data);
}

}  // namespace tarvos
