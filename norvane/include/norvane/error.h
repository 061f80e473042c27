// norvane/error.h - the one error enumeration of the token core.
#pragma once

#include <cstdint>
#include <string_view>

namespace norvane {

// Every failure the core reports is exactly one of these values. Errors carry
// no payload: no offending value, no OS error, nothing secret.
enum class NorvaneError : std::uint8_t {
    MissingKey = 0,
    InvalidKeyEnv = 1,
    ConflictingKeys = 2,
    InvalidToken = 3,
    Tampered = 4,
    Expired = 5,
    ZeroExpiry = 6,
    WrongPurpose = 7,
    EmptyPurpose = 8,
    PurposeTooLong = 9,
    PlaintextTooLong = 10,
    InvalidUtf8 = 11,
    InvalidBase64 = 12,
    RandomnessUnavailable = 13,
};

inline constexpr int NORVANE_ERROR_COUNT = 14;

// message returns the fixed UTF-8 message of an error. It cannot fail; the
// view refers to static storage.
std::string_view message(NorvaneError e) noexcept;

}  // namespace norvane
