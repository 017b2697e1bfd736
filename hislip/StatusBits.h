// The bits of the instrument's status byte and event status register, as the
// instrument sets them and the protocol engine reports them.
#pragma once

#include <cstdint>

namespace tarvos {

// Status byte (*STB?, AsyncStatusResponse, AsyncServiceRequest).
constexpr uint8_t kArmedRequestBit = 0x01;   // a test request armed by DIAG:ARM:SRQ has fired
constexpr uint8_t kErrorQueueBit = 0x04;     // the error queue is not empty
constexpr uint8_t kMavBit = 0x10;            // a response message is available
constexpr uint8_t kEventSummaryBit = 0x20;   // the event status register is not 0
constexpr uint8_t kRequestServiceBit = 0x40; // a service request is outstanding

// Event status register (*ESR?, *ESE).
constexpr uint8_t kOperationCompleteBit = 0x01;

}  // namespace tarvos
