// clock.h - the real-time clock that callers of decrypt_for_at read `at`
// from.
#pragma once

#include <cstdint>
#include <optional>

namespace norvane {

// One reading of the real-time clock (CLOCK_REALTIME): whole seconds since
// 1970-01-01 00:00:00 UTC, negative before it, and the nanoseconds within
// that second as the C library reported them (not checked here).
struct RealTime {
    std::int64_t seconds;
    std::int64_t nanoseconds;
};

// real_time reads the real-time clock with 64-bit seconds on every
// platform. On 32-bit glibc a program built against headers older than
// glibc 2.34 calls a clock_gettime with 32-bit seconds, which fails or
// wraps from 2038-01-19 03:14:08 UTC on; real_time uses the C library's
// 64-bit entry point there when the running C library has one (glibc 2.34
// and later), and the 32-bit call only when it has not. nullopt when the
// clock cannot be read.
std::optional<RealTime> real_time() noexcept;

}  // namespace norvane
