// Printable rendering of payload bytes for traces.
#pragma once

#include <cstdint>
#include <string>

namespace tarvos {

// Printable ASCII stays as it is (a backslash is doubled); NUL, LF and CR become
// \0, \n and \r; every other byte becomes \xHH with upper-case digits.
std::string EscapeForLog(const void* bytes, long length);

}  // namespace tarvos
