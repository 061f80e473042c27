// token_info.h - what a token tells anyone who holds it, without the key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "norvane/backend.h"
#include "norvane/constants.h"
#include "norvane/result.h"

namespace norvane_cli {

// TokenInfo is read from a token's fields. None of it is authenticated:
// only opening, with the key, verifies the tag that covers the context.
struct TokenInfo {
    norvane::Backend backend;    // from the nonce length
    std::uint64_t expires_at;    // Unix seconds; 0 = never
    std::string purpose;         // UTF-8
    std::size_t plaintext_len;   // sealed length - 16
};

// read_token_info takes a token apart in the order opening does, and refuses
// what opening would refuse under every key, with the same errors:
// InvalidToken for an oversized token, fewer than three fields or a nonce of
// neither backend's length; InvalidBase64 for a field that is not canonical
// padded base64url; Tampered for a ciphertext field shorter than the tag;
// InvalidToken for a context record that does not parse (opening reports
// that only after the tag verifies, and Tampered when it does not).
norvane::Result<TokenInfo> read_token_info(std::string_view token);

// format_utc writes Unix seconds as ISO 8601 in UTC, "YYYY-MM-DDThh:mm:ssZ";
// years past 9999 take the expanded form with a "+" sign.
std::string format_utc(std::uint64_t seconds);

// has_expired tells whether the expiry has passed at `now` (Unix seconds),
// by the rule opening applies: from second expires_at on, never for 0.
bool has_expired(const TokenInfo& info, std::uint64_t now) noexcept;

// describe renders the information for people, one "name: value" line
// each; describe_json renders it as one JSON object. Both say whether the
// expiry has passed at `now`.
std::string describe(const TokenInfo& info, std::uint64_t now);
std::string describe_json(const TokenInfo& info, std::uint64_t now);

}  // namespace norvane_cli
