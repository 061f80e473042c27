#include <string.h>

#include "norvane/bytes.h"

namespace norvane {

void secure_wipe(void* p, std::size_t n) noexcept {
    if (p != nullptr && n != 0) {
        explicit_bzero(p, n);
    }
}

}  // namespace norvane
