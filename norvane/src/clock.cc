#include "norvane/clock.h"

#include "platform.h"

namespace norvane {

std::optional<RealTime> real_time() noexcept {
    RealTime now{};
    if (!platform::read_realtime_clock(now.seconds, now.nanoseconds)) {
        return std::nullopt;
    }
    return now;
}

}  // namespace norvane
