// Volume and waits of the hostile and load tests. Under AddressSanitizer or
// ThreadSanitizer every byte and every thread costs many times more (and
// ThreadSanitizer caps the threads a process may create), so those builds run
// the same cases with smaller counts and allow for the sanitizers' own memory.
// A server under Wine gets the smaller counts as well (ScaledForServer).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/ServerProcess.h"

namespace tarvos::test {

// Milliseconds since start.
inline double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Polls condition every 20 ms until it holds (true) or timeoutMs pass (false).
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// count in a normal build, count / divisor (at least 1) in a sanitized one.
constexpr size_t Scaled(size_t count, size_t divisor)
{
    return kSanitizedBuild ? (count / divisor > 0 ? count / divisor : 1) : count;
}

// Scaled, and scaled down the same way when the server under test runs under
// Wine, whose socket calls cost many times what they cost here.
inline size_t ScaledForServer(size_t count, size_t divisor)
{
    return UnderWine() ? (count / divisor > 0 ? count / divisor : 1) : Scaled(count, divisor);
}

// Growth of the server's resident memory that still counts as bounded.
inline constexpr size_t kMemorySlackKiB = kSanitizedBuild ? 96 * 1024 : 24 * 1024;

// AddressSanitizer keeps freed blocks in a quarantine of 256 MiB, which
// would hide whether the server holds on to what it received. Servers
// started after this call get a small one (a later option wins).
inline void ShrinkSanitizerQuarantine()
{
    if (!kSanitizedBuild) return;
    const char* options = std::getenv("ASAN_OPTIONS");
    std::string merged = options != nullptr ? options : "";
    merged += merged.empty() ? "quarantine_size_mb=4" : ":quarantine_size_mb=4";
    ::setenv("ASAN_OPTIONS", merged.c_str(), 1);
}

}  // namespace tarvos::test
