// Internal consistency checks. They cost a walk over shared state, so they are
// compiled in only where that is wanted (Debug, fuzzing and sanitizer builds:
// the CMake option TARVOS_CHECKS); a failed check aborts with its message.
#pragma once

#include <string>

#ifndef TARVOS_CHECKS
#define TARVOS_CHECKS 0
#endif

namespace tarvos {

inline constexpr bool kChecksEnabled = TARVOS_CHECKS != 0;

// Writes "Tarvos: check failed at file:line: what" to standard error and aborts.
[[noreturn]] void CheckFailed(const char* file, int line, const std::string& what);

}  // namespace tarvos

// Aborts with the text that failing() returns when it returns one (a non-empty
// string); does nothing, and evaluates nothing, when checks are off.
#define TARVOS_CHECK_EMPTY(failing)                                              \
    do {                                                                         \
        if constexpr (::tarvos::kChecksEnabled) {                                \
            const std::string tarvosCheckWhy = (failing);                        \
            if (!tarvosCheckWhy.empty()) {                                       \
                ::tarvos::CheckFailed(__FILE__, __LINE__, tarvosCheckWhy);       \
            }                                                                    \
        }                                                                        \
    } while (false)
