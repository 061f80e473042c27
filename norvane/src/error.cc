#include "norvane/constants.h"
#include "norvane/error.h"

namespace norvane {

// The two limit messages spell out the limits the minting checks enforce.
static_assert(MAX_PURPOSE_LEN == 255 && MAX_PLAINTEXT_LEN == 16384,
              "update the limit messages together with the limits");

std::string_view message(NorvaneError e) noexcept {
    switch (e) {
        case NorvaneError::MissingKey:
            return "the key or key_env must be passed";
        case NorvaneError::InvalidKeyEnv:
            return "the value of key_env is invalid";
        case NorvaneError::ConflictingKeys:
            return "key and key_env were both provided \u2014 pass exactly one";
        case NorvaneError::InvalidToken:
            return "invalid token";
        case NorvaneError::Tampered:
            return "the data has been modified";
        case NorvaneError::Expired:
            return "token has expired";
        case NorvaneError::ZeroExpiry:
            return "expires_at must be greater than zero \u2014 pass None for no expiry";
        case NorvaneError::WrongPurpose:
            return "token was not minted for the expected purpose";
        case NorvaneError::EmptyPurpose:
            return "purpose must not be empty \u2014 pass None for the default instead";
        case NorvaneError::PurposeTooLong:
            return "purpose exceeds the 255-byte limit";
        case NorvaneError::PlaintextTooLong:
            return "plaintext exceeds the 16384-byte limit";
        case NorvaneError::InvalidUtf8:
            return "decrypted data was not valid UTF-8";
        case NorvaneError::InvalidBase64:
            return "base64 is invalid";
        case NorvaneError::RandomnessUnavailable:
            return "operating system randomness is unavailable";
    }
    return "unknown error";
}

}  // namespace norvane
