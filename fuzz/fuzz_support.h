// fuzz_support.h - what the fuzz targets share: a failing-check macro that
// aborts (a finding for libFuzzer, a failed test for the replay), exact-size
// heap copies so that a read past the end of an input is caught by ASan,
// fixed keys, and small reference implementations of the token format that
// are written independently of the core (bit accumulators and plain loops
// where the core uses word arithmetic and masks) to compare it against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/constants.h"
#include "norvane/error.h"
#include "norvane/key.h"
#include "norvane/norvane.h"

// FUZZ_CHECK aborts with the failed condition. libFuzzer records the input
// that got here as a crash; the corpus replay fails.
#define FUZZ_CHECK(cond)                                                                                    \
    do {                                                                                                    \
        if (!(cond)) {                                                                                      \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond);             \
            std::abort();                                                                                   \
        }                                                                                                   \
    } while (0)

namespace norvane::fuzz {

// HeapCopy owns an exact-size heap copy of some bytes: no slack after the
// last byte, so any read past the end lands in ASan's redzone.
class HeapCopy {
public:
    HeapCopy(const std::uint8_t* p, std::size_t n) : n_(n), buf_(std::make_unique<std::uint8_t[]>(n)) {
        if (n != 0) {
            std::memcpy(buf_.get(), p, n);
        }
    }
    explicit HeapCopy(std::string_view s) : HeapCopy(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()) {}

    const std::uint8_t* data() const noexcept { return buf_.get(); }
    std::uint8_t* data() noexcept { return buf_.get(); }
    std::size_t size() const noexcept { return n_; }
    ByteView bytes() const noexcept { return ByteView(buf_.get(), n_); }
    std::string_view text() const noexcept { return std::string_view(reinterpret_cast<const char*>(buf_.get()), n_); }

private:
    std::size_t n_;
    std::unique_ptr<std::uint8_t[]> buf_;
};

// Reader hands out the fuzz input piece by piece; past the end it yields
// zero bytes and empty pieces, so every input has one interpretation.
class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) noexcept : p_(p), n_(n) {}
    std::uint8_t u8() noexcept { return pos_ < n_ ? p_[pos_++] : 0; }
    std::uint64_t u64() noexcept {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = v << 8 | u8();
        }
        return v;
    }
    std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
    // take returns up to n bytes.
    std::vector<std::uint8_t> take(std::size_t n) {
        const std::size_t k = n < n_ - pos_ ? n : n_ - pos_;
        std::vector<std::uint8_t> out(p_ + pos_, p_ + pos_ + k);
        pos_ += k;
        return out;
    }
    std::vector<std::uint8_t> rest() { return take(n_ - pos_); }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

// fixed_key returns one of two fixed 128-bit keys.
inline Key fixed_key(int which) {
    Key k;
    for (std::size_t i = 0; i < KEY_LEN; ++i) {
        k[i] = static_cast<std::uint8_t>(which == 0 ? 0xA0 + i : 0x11 * (i + 1));
    }
    return k;
}

// norvane_for returns a process-wide Norvane for a backend under key 0 (or
// key 1 when `other_key` is set), built once.
inline const Norvane& norvane_for(Backend b, bool other_key = false) {
    static const Norvane aes0 = Norvane::create(Backend::Aes256Gcm, fixed_key(0));
    static const Norvane xch0 = Norvane::create(Backend::XChaCha20Poly1305, fixed_key(0));
    static const Norvane aes1 = Norvane::create(Backend::Aes256Gcm, fixed_key(1));
    static const Norvane xch1 = Norvane::create(Backend::XChaCha20Poly1305, fixed_key(1));
    if (b == Backend::Aes256Gcm) {
        return other_key ? aes1 : aes0;
    }
    return other_key ? xch1 : xch0;
}

inline bool is_opening_error(NorvaneError e) noexcept {
    switch (e) {
        case NorvaneError::InvalidToken:
        case NorvaneError::InvalidBase64:
        case NorvaneError::Tampered:
        case NorvaneError::WrongPurpose:
        case NorvaneError::Expired:
        case NorvaneError::InvalidUtf8:
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// Reference implementations.

inline constexpr std::string_view REF_ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// ref_value is the 6-bit value of an alphabet character, or -1.
inline int ref_value(char c) noexcept {
    static const auto table = [] {
        std::array<int, 256> t{};
        t.fill(-1);
        for (std::size_t i = 0; i < REF_ALPHABET.size(); ++i) {
            t[static_cast<unsigned char>(REF_ALPHABET[i])] = static_cast<int>(i);
        }
        return t;
    }();
    return table[static_cast<unsigned char>(c)];
}

// ref_encode: padded URL-safe base64 through a bit accumulator.
inline std::string ref_encode(const std::uint8_t* p, std::size_t n) {
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | p[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(REF_ALPHABET[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) {
        out.push_back(REF_ALPHABET[(acc << (6 - bits)) & 63]);
    }
    while (out.size() % 4 != 0) {
        out.push_back('=');
    }
    return out;
}

// ref_decode: strict padded URL-safe base64. A text is accepted when its
// length is a multiple of 4, '=' appears only as the last one or two
// characters of the text (never a whole group of padding), every other
// character is in the alphabet, and the bits left over after the last whole
// byte are zero.
inline std::optional<std::vector<std::uint8_t>> ref_decode(std::string_view s) {
    if (s.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t pad = 0;
    while (pad < s.size() && s[s.size() - 1 - pad] == '=') {
        ++pad;
    }
    if (pad > 2) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < s.size() - pad; ++i) {
        const int v = ref_value(s[i]);
        if (v < 0) {
            return std::nullopt;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    if (acc != 0) {  // left-over bits that carry no byte
        return std::nullopt;
    }
    return out;
}

// ref_utf8: decodes code points one at a time and refuses overlong forms,
// surrogates and values above U+10FFFF.
inline bool ref_utf8(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        std::size_t len;
        std::uint32_t cp;
        std::uint32_t min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

inline bool ref_utf8(std::string_view s) { return ref_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

struct RefContext {
    std::uint64_t expires_at;
    std::string purpose;
};

// ref_parse_context: version 1, 8-byte big-endian expiry, length byte,
// exactly that many UTF-8 purpose bytes and nothing after them.
inline std::optional<RefContext> ref_parse_context(const std::uint8_t* p, std::size_t n) {
    if (n < 10 || p[0] != 1) {
        return std::nullopt;
    }
    const std::size_t len = p[9];
    if (n - 10 != len) {
        return std::nullopt;
    }
    if (!ref_utf8(p + 10, len)) {
        return std::nullopt;
    }
    RefContext c{0, std::string(reinterpret_cast<const char*>(p + 10), len)};
    for (int i = 1; i <= 8; ++i) {
        c.expires_at = c.expires_at * 256 + p[i];
    }
    return c;
}

// ref_write_context: the record minting writes (purpose at most 255 bytes).
inline std::vector<std::uint8_t> ref_write_context(std::uint64_t expires_at, std::string_view purpose) {
    std::vector<std::uint8_t> r;
    r.push_back(1);
    for (int shift = 56; shift >= 0; shift -= 8) {
        r.push_back(static_cast<std::uint8_t>((expires_at >> shift) & 0xFF));
    }
    r.push_back(static_cast<std::uint8_t>(purpose.size()));
    r.insert(r.end(), purpose.begin(), purpose.end());
    return r;
}

// ref_expired: a nonzero expiry E is reached at second E.
inline bool ref_expired(std::uint64_t expires_at, std::uint64_t at) noexcept {
    return expires_at != 0 && at >= expires_at;
}

struct RefFields {
    std::vector<std::uint8_t> nonce, context, sealed;
};

// ref_open_prefix runs the steps of opening that come before any
// cryptography: size, split, decode, nonce length. It returns the error
// they produce, or the decoded fields when they all pass.
struct RefPrefix {
    std::optional<NorvaneError> error;
    RefFields fields;
};

inline RefPrefix ref_open_prefix(std::string_view token, Backend backend) {
    RefPrefix r;
    if (token.size() > MAX_TOKEN_LEN) {
        r.error = NorvaneError::InvalidToken;
        return r;
    }
    std::size_t dots[2];
    int found = 0;
    for (std::size_t i = 0; i < token.size() && found < 2; ++i) {
        if (token[i] == '.') {
            dots[found++] = i;
        }
    }
    if (found < 2) {
        r.error = NorvaneError::InvalidToken;
        return r;
    }
    auto n = ref_decode(token.substr(0, dots[0]));
    auto c = n ? ref_decode(token.substr(dots[0] + 1, dots[1] - dots[0] - 1)) : std::nullopt;
    auto s = c ? ref_decode(token.substr(dots[1] + 1)) : std::nullopt;
    if (!n || !c || !s) {
        r.error = NorvaneError::InvalidBase64;
        return r;
    }
    if (n->size() != (backend == Backend::Aes256Gcm ? 12u : 24u)) {
        r.error = NorvaneError::InvalidToken;
        return r;
    }
    r.fields = RefFields{std::move(*n), std::move(*c), std::move(*s)};
    return r;
}

// ref_after_auth is the outcome of opening once the tag has verified: the
// error of the first failing check of context, purpose, expiry and text,
// or nothing when the plaintext is returned.
inline std::optional<NorvaneError> ref_after_auth(const std::vector<std::uint8_t>& context,
                                                  const std::uint8_t* plaintext, std::size_t plaintext_len,
                                                  std::string_view purpose, std::uint64_t at) {
    const auto ctx = ref_parse_context(context.data(), context.size());
    if (!ctx) {
        return NorvaneError::InvalidToken;
    }
    if (ctx->purpose != purpose) {
        return NorvaneError::WrongPurpose;
    }
    if (ref_expired(ctx->expires_at, at)) {
        return NorvaneError::Expired;
    }
    if (!ref_utf8(plaintext, plaintext_len)) {
        return NorvaneError::InvalidUtf8;
    }
    return std::nullopt;
}

}  // namespace norvane::fuzz
