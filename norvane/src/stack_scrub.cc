#include "stack_scrub.h"

#include <algorithm>

#include "norvane/bytes.h"
#include "platform.h"

namespace norvane {
namespace {

// Room left below the cleared region for the scrub's own call to the
// wiping function and that function's frame.
constexpr std::uintptr_t HEADROOM = 512;

constinit thread_local std::uintptr_t t_last_floor = 0;

std::uintptr_t room_above(std::uintptr_t floor, std::uintptr_t sp) noexcept {
    return sp > floor + HEADROOM ? sp - floor - HEADROOM : 0;
}

}  // namespace

__attribute__((noinline)) void scrub_stack(std::size_t len) noexcept {
    volatile unsigned char here = 0;
    const auto sp = reinterpret_cast<std::uintptr_t>(&here);
    if (const std::uintptr_t floor = platform::stack_floor(sp); floor != 0) {
        len = static_cast<std::size_t>(std::min<std::uintptr_t>(len, room_above(floor, sp)));
    }
    if (len == 0) {
        return;
    }
    // The area starts right below this frame, which sits right below the
    // caller's.
    auto* area = static_cast<unsigned char*>(__builtin_alloca(len));
    secure_wipe(area, len);
    // The area's address escapes: the allocation and the writes stay.
    __asm__ __volatile__("" : : "r"(area) : "memory");
    t_last_floor = reinterpret_cast<std::uintptr_t>(area);
}

std::uintptr_t last_scrub_floor() noexcept { return t_last_floor; }

}  // namespace norvane
