// How a faulted response leaves the channel: the part of a test fault that
// only the protocol engine can apply, chosen per response by the instrument's
// fault filter. A default value is a normal response.
#pragma once

namespace tarvos {

struct ResponseFault {
    // The response carries the MessageID two below its own: in synchronized
    // mode that of the client's message before the one it answers.
    bool staleId = false;
    // About half of the bytes of the response's first send leave, then both
    // channels of the session are shut down.
    bool cut = false;
    // Leaves at full speed even while the session's sending is paced.
    bool unpaced = false;
};

}  // namespace tarvos
