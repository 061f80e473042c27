// hchacha20.h - the HChaCha20 subkey function of XChaCha20.
#pragma once

#include <cstdint>

namespace norvane {

// hchacha20 derives a 32-byte subkey from a 32-byte key and the first 16
// bytes of a 24-byte nonce: 20 ChaCha rounds without the final addition,
// output words 0-3 and 12-15 little-endian. Its working state is wiped.
void hchacha20(const std::uint8_t key[32], const std::uint8_t nonce16[16],
               std::uint8_t out[32]) noexcept;

}  // namespace norvane
