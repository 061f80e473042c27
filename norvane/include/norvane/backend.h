// norvane/backend.h - the AEAD constructions a Norvane can use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace norvane {

// The AEAD construction of a Norvane. The numeric values are stable: the
// Python module exposes them through int(Backend.X).
enum class Backend : std::uint8_t {
    Aes256Gcm = 0,
    XChaCha20Poly1305 = 1,
};

// BACKENDS lists every backend, in the order of their values.
inline constexpr std::array<Backend, 2> BACKENDS = {Backend::Aes256Gcm, Backend::XChaCha20Poly1305};

// backend_name is the backend's name as tools show and take it
// ("aes256gcm", "xchacha20poly1305"); backend_named is its inverse.
std::string_view backend_name(Backend backend) noexcept;
std::optional<Backend> backend_named(std::string_view name) noexcept;

// nonce_len is the nonce length a backend draws and expects; a token's
// backend shows only in it, which backend_with_nonce_len reads back.
std::size_t nonce_len(Backend backend) noexcept;
std::optional<Backend> backend_with_nonce_len(std::size_t len) noexcept;

}  // namespace norvane
