#include "norvane/key.h"

#include <bearssl.h>

#include <cstdlib>
#include <shared_mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "norvane/utf8.h"
#include "stack_scrub.h"

namespace norvane {
namespace {

using SecretText = std::vector<char, WipingAllocator<char>>;

// Limbs of a 128-bit value, least significant first, 32 bits each so that
// the arithmetic is the same on 32- and 64-bit targets.
struct Limbs {
    std::uint32_t w[4] = {0, 0, 0, 0};
    ~Limbs() { secure_wipe(w, sizeof w); }

    // mul_add sets value = value * 10 + digit; false on overflow past 2**128 - 1.
    bool mul_add(std::uint32_t digit) noexcept {
        std::uint64_t carry = digit;
        for (auto& limb : w) {
            const std::uint64_t t = static_cast<std::uint64_t>(limb) * 10 + carry;
            limb = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        return carry == 0;
    }
};

}  // namespace

std::shared_mutex& environment_lock() noexcept {
    static std::shared_mutex lock;
    return lock;
}

Key key_from_le_bytes(std::span<const std::uint8_t, KEY_LEN> le) noexcept {
    Key key;
    for (std::size_t i = 0; i < KEY_LEN; ++i) {
        key[i] = le[KEY_LEN - 1 - i];
    }
    return key;
}

std::optional<Key> parse_decimal_key(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    Limbs value;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        if (!value.mul_add(static_cast<std::uint32_t>(ch - '0'))) {
            return std::nullopt;
        }
    }
    Key key;
    for (std::size_t i = 0; i < KEY_LEN; ++i) {
        const std::uint32_t limb = value.w[3 - i / 4];
        key[i] = static_cast<std::uint8_t>(limb >> (24 - 8 * (i % 4)));
    }
    return key;
}

Result<Key> resolve_key(const Key* key, std::optional<std::string_view> key_env) {
    if (key != nullptr && key_env) {
        return NorvaneError::ConflictingKeys;
    }
    if (key == nullptr && !key_env) {
        return NorvaneError::MissingKey;
    }
    if (key != nullptr) {
        Key copy;
        std::copy(key->data(), key->data() + KEY_LEN, copy.data());
        return copy;
    }
    // A name with a NUL cannot be passed to getenv whole, and one with '='
    // names no variable: getenv would match it against the start of another
    // variable's entry and hand back the tail of that one's value
    // ("FOO=1" reads "<key>" out of FOO="1=<key>"). Neither is looked up.
    if (key_env->find_first_of(std::string_view("\0=", 2)) != std::string_view::npos) {
        return NorvaneError::InvalidKeyEnv;
    }
    const std::string name(*key_env);
    SecretText value;
    {
        std::shared_lock guard(environment_lock());
        const char* raw = std::getenv(name.c_str());
        if (raw == nullptr) {
            return NorvaneError::InvalidKeyEnv;
        }
        value.assign(raw, raw + std::char_traits<char>::length(raw));
    }
    const std::string_view text(value.data(), value.size());
    if (!is_valid_utf8({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) {
        return NorvaneError::InvalidKeyEnv;
    }
    auto parsed = parse_decimal_key(text);
    if (!parsed) {
        return NorvaneError::InvalidKeyEnv;
    }
    return std::move(*parsed);
}

CipherKey derive_cipher_key(Backend backend, const Key& key) noexcept {
    const std::string_view label = backend_row(backend).label;

    br_sha256_context sha;
    br_sha256_init(&sha);
    br_sha256_update(&sha, key.data(), KEY_LEN);
    br_sha256_update(&sha, label.data(), label.size());
    CipherKey out;
    br_sha256_out(&sha, out.data());
    secure_wipe(&sha, sizeof sha);
    // br_sha256_out finishes on a copy of the context in its own frame: the
    // key octets and the digest stay there unless cleared.
    scrub_stack(SETUP_SCRUB_LEN);
    return out;
}

}  // namespace norvane
