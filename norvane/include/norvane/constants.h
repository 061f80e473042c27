// norvane/constants.h - limits and sizes of the token format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace norvane {

inline constexpr std::size_t MAX_PLAINTEXT_LEN = 16384;
inline constexpr std::size_t MAX_PURPOSE_LEN = 255;
inline constexpr std::size_t MAX_TOKEN_LEN = 32768;
inline constexpr std::string_view DEFAULT_PURPOSE = "session";
inline constexpr std::uint8_t CONTEXT_VERSION = 1;
inline constexpr std::size_t AES_NONCE_LEN = 12;
inline constexpr std::size_t XCHACHA_NONCE_LEN = 24;
inline constexpr std::size_t TAG_LEN = 16;
inline constexpr std::size_t KEY_LEN = 16;         // the 128-bit key, as octets
inline constexpr std::size_t CIPHER_KEY_LEN = 32;  // the derived AEAD key

}  // namespace norvane
