// test_util.h - small helpers shared by the core tests: hex, keys, fields.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/bytes.h"
#include "norvane/key.h"

namespace norvane::test {

inline Bytes from_hex(std::string_view hex) {
    auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
        return static_cast<std::uint8_t>(c - 'A' + 10);
    };
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> arr(std::string_view hex) {
    Bytes b = from_hex(hex);
    std::array<std::uint8_t, N> a{};
    std::copy_n(b.begin(), std::min(N, b.size()), a.begin());
    return a;
}

// for_each_bit_flip calls f with a copy of b in which one bit is flipped,
// once for every bit.
template <class Buf, class F>
void for_each_bit_flip(const Buf& b, F f) {
    for (std::size_t bit = 0; bit < b.size() * 8; ++bit) {
        Buf c = b;
        c[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        f(c);
    }
}

inline std::string to_hex(ByteView b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t v : b) {
        s.push_back(digits[v >> 4]);
        s.push_back(digits[v & 15]);
    }
    return s;
}

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline std::string text_of(ByteView b) { return std::string(b.begin(), b.end()); }

// make_key builds the key hi * 2**64 + lo.
inline Key make_key(std::uint64_t hi, std::uint64_t lo) {
    Key k;
    for (int i = 0; i < 8; ++i) {
        k[7 - i] = static_cast<std::uint8_t>(hi >> (8 * i));
        k[15 - i] = static_cast<std::uint8_t>(lo >> (8 * i));
    }
    return k;
}

inline std::string key_hex(const Key& k) { return to_hex(ByteView(k.data(), k.size())); }

// fields splits a token at its first two '.'; the test tokens always have them.
inline std::array<std::string, 3> fields(const std::string& token) {
    auto a = token.find('.');
    auto b = token.find('.', a + 1);
    return {token.substr(0, a), token.substr(a + 1, b - a - 1), token.substr(b + 1)};
}

inline std::string join(const std::array<std::string, 3>& f) { return f[0] + "." + f[1] + "." + f[2]; }

inline constexpr std::uint64_t U64_MAX = ~std::uint64_t{0};

// cpu_flag tells whether the kernel lists flag ("aes", "avx2", ...) among
// the first CPU's flags in /proc/cpuinfo: a view of the CPU that shares no
// code with the core's or the compiler's own detection.
inline bool cpu_flag(const std::string& flag) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::string word;
        while (words >> word) {
            if (word == flag) return true;
        }
        return false;
    }
    return false;
}

}  // namespace norvane::test
