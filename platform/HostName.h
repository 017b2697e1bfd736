// The machine's own name.
#pragma once

#include <string>

namespace tarvos::platform {

// The host name without its domain part ("" when it can't be read).
std::string ShortHostName();

}  // namespace tarvos::platform
