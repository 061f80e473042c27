#include "clock.h"

#include <limits>
#include <optional>

#include "norvane/clock.h"
#include "norvane/fault.h"

namespace norvanes {

std::uint64_t unix_now() {
    const std::optional<norvane::RealTime> now = norvane::real_time();
    if (!now) {
        throw norvane::InternalFault("the real-time clock could not be read");
    }
    if (now->nanoseconds < 0 || now->nanoseconds >= 1'000'000'000) {
        throw norvane::InternalFault("the real-time clock returned an invalid nanosecond field");
    }
    if (now->seconds < 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(now->seconds);
}

}  // namespace norvanes
