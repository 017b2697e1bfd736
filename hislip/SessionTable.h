// Synchronous channels that have their session ID and wait for their partner.
#pragma once

#include <cstdint>

namespace tarvos {

class Channel;

namespace sessions {

constexpr uint16_t kNoSessionId = 0xFFFF;

// Puts the channel into the lowest free slot 1 to 5; its number, or 0xFFFF when
// all are taken.
uint16_t AllocateSessionId(Channel* channel);
// Takes the channel out of slot id (low 16 bits); null for an empty or
// impossible slot.
Channel* TakeSession(uint32_t id);
// Gives back every slot that holds the channel (it has ended).
void Forget(Channel* channel);

}  // namespace sessions
}  // namespace tarvos
