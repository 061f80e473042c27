#include "clock.h"

#include <ctime>
#include <limits>

#include "norvane/fault.h"

namespace norvanes {

std::uint64_t unix_now() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        throw norvane::InternalFault("the real-time clock could not be read");
    }
    if (now.tv_nsec < 0 || now.tv_nsec >= 1'000'000'000) {
        throw norvane::InternalFault("the real-time clock returned an invalid nanosecond field");
    }
    if (now.tv_sec < 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(now.tv_sec);
}

}  // namespace norvanes
