// clock.h - the current time that opening compares expiries with.
#pragma once

#include <cstdint>

namespace norvanes {

// unix_now returns the real-time clock in whole seconds since the Unix
// epoch. A reading before the epoch gives 2**64 - 1, so every token with an
// expiry counts as expired. A clock that cannot be read, or reads a
// nanosecond field outside 0..999999999, is an internal fault (thrown).
std::uint64_t unix_now();

}  // namespace norvanes
