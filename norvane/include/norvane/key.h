// norvane/key.h - the 128-bit key, where it comes from, and the cipher key
// derived from it.
#pragma once

#include <optional>
#include <shared_mutex>
#include <string_view>

#include "norvane/backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/result.h"

namespace norvane {

// Key holds the 128-bit key as its 16 key octets, most significant byte
// first. It is wiped when released.
using Key = SecretArray<KEY_LEN>;

// CipherKey is the 32-byte AEAD key derived from a Key for one backend.
using CipherKey = SecretArray<CIPHER_KEY_LEN>;

// key_from_le_bytes builds a Key from 16 little-endian bytes (the form an
// integer export produces). It does not wipe its input; the caller does.
Key key_from_le_bytes(std::span<const std::uint8_t, KEY_LEN> le) noexcept;

// parse_decimal_key parses an optional single "+" followed by one or more
// ASCII digits, with a value below 2**128. Nothing else is accepted: no
// whitespace, no "-", no separators. Failure carries no detail.
std::optional<Key> parse_decimal_key(std::string_view text) noexcept;

// resolve_key picks the key source: exactly one of `key` and `key_env` must
// be present. `key_env` names an environment variable holding the key in
// decimal; it is read once, here. Errors: ConflictingKeys, MissingKey,
// InvalidKeyEnv (which never says which check failed).
Result<Key> resolve_key(const Key* key, std::optional<std::string_view> key_env);

// environment_lock guards the process environment between resolve_key,
// which looks a variable up and copies its value under a shared hold, and
// the program's own writers. The C library's setenv, putenv and unsetenv
// may reallocate the environment while getenv reads it; a C++ program that
// changes its environment while other threads build Norvane values takes
// this lock exclusively around those calls. (Python's os.environ writes do
// not take it; they run under the interpreter lock, as construction does.
// A free-threaded interpreter has no such lock: a program there sets its key
// variables before other threads build Norvane objects from them.)
std::shared_mutex& environment_lock() noexcept;

// derive_cipher_key returns SHA-256(key octets || backend label). It cannot
// fail.
CipherKey derive_cipher_key(Backend backend, const Key& key) noexcept;

}  // namespace norvane
