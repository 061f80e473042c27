#include <cstring>

#include "norvane/bytes.h"
#include "platform.h"

namespace norvane {

void secure_wipe(void* p, std::size_t n) noexcept { platform::wipe(p, n); }

void copy_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    constexpr std::size_t piece = 2048;
    while (n > piece) {
        std::memcpy(dst, src, piece);
        dst += piece;
        src += piece;
        n -= piece;
    }
    if (n != 0) {
        std::memcpy(dst, src, n);
    }
}

}  // namespace norvane
