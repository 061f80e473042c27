// Python.h comes first, as the C API asks.
#include <Python.h>

#include "utf8.h"

#include <cstdint>
#include <cstring>

namespace norvanes {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The range allowed for the second byte after a lead byte; the narrower
// ranges after E0, ED, F0 and F4 exclude overlong forms, surrogates and
// code points above U+10FFFF.
struct Range {
    std::uint8_t lo;
    std::uint8_t hi;
};

Range second_byte_range(std::uint8_t lead) noexcept {
    switch (lead) {
        case 0xE0:
            return {0xA0, 0xBF};
        case 0xED:
            return {0x80, 0x9F};
        case 0xF0:
            return {0x90, 0xBF};
        case 0xF4:
            return {0x80, 0x8F};
        default:
            return {0x80, 0xBF};
    }
}

// sequence_length is the total length a lead byte announces, or 0 for a
// byte that cannot begin a sequence (80..C1, F5..FF).
std::size_t sequence_length(std::uint8_t lead) noexcept {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

}  // namespace

std::optional<Utf8Error> find_utf8_error(norvane::ByteView data) noexcept {
    const std::uint8_t* p = data.data();
    const std::size_t n = data.size();
    std::size_t i = 0;
    while (i < n) {
        // Most payloads are ASCII: skip eight bytes at a time while no high
        // bit is set.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, sizeof word);
            if ((word & kHighBits) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const std::uint8_t lead = p[i];
        const std::size_t len = sequence_length(lead);
        if (len == 1) {
            ++i;
            continue;
        }
        if (len == 0) {
            return Utf8Error{i, 1};
        }
        if (i + 1 >= n) {
            return Utf8Error{i, 0};
        }
        const Range second = second_byte_range(lead);
        if (p[i + 1] < second.lo || p[i + 1] > second.hi) {
            return Utf8Error{i, 1};
        }
        for (std::size_t k = 2; k < len; ++k) {
            if (i + k >= n) {
                return Utf8Error{i, 0};
            }
            if (!is_continuation(p[i + k])) {
                return Utf8Error{i, k};
            }
        }
        i += len;
    }
    return std::nullopt;
}

bool check_utf8(norvane::ByteView data) noexcept {
    const std::optional<Utf8Error> error = find_utf8_error(data);
    if (!error) {
        return true;
    }
    if (error->length == 0) {
        PyErr_Format(PyExc_ValueError, "incomplete utf-8 byte sequence from index %zu", error->index);
    } else {
        PyErr_Format(PyExc_ValueError, "invalid utf-8 sequence of %zu bytes from index %zu", error->length,
                     error->index);
    }
    return false;
}

}  // namespace norvanes
