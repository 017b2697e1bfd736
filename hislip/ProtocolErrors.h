// The texts of the HiSLIP error codes: the payload of every FatalError and
// Error the server sends.
#pragma once

#include <cstdint>

namespace tarvos {

// The text for a FatalError (fatal) or Error code: the protocol's own text for
// 0 to 4, "Reserved error code" for the codes the protocol keeps for later
// (5 to 127), "Device defined error" for 128 to 255. Never fails.
const char* ProtocolErrorText(bool fatal, uint8_t code);

}  // namespace tarvos
