// Free TCP ports for the servers that tests start.
#pragma once

#include <cstdint>

namespace tarvos::test {

// A TCP port that is free on both 127.0.0.1 and ::1 right now. Ports handed
// out earlier by this process are not handed out again. Returns 0 if no port
// could be found (practically never).
uint16_t FreePort();

}  // namespace tarvos::test
