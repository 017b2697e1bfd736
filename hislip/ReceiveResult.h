// The result of a message case that lets the receive loop go on reading.
#pragma once

#include <climits>

namespace tarvos {

// Any other result of a case ends the current ReadChannel call with that value.
constexpr long kGoOn = LONG_MAX;

}  // namespace tarvos
