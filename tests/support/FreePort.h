// Free TCP ports for the servers that tests start.
#pragma once

#include <cstdint>

namespace tarvos::test {

// A TCP port that is free on both 127.0.0.1 and ::1 right now, from 10000 to
// 32767 (where no client connection gets its local port). Ports handed out
// earlier by this process, or held by another test process, are not handed out
// again. Returns 0 if no port could be found (practically never).
uint16_t FreePort();

}  // namespace tarvos::test
