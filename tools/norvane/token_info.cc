#include "token_info.h"

#include <cstdio>

#include "command_line.h"
#include "norvane/aad.h"
#include "norvane/backend.h"
#include "norvane/token.h"

namespace norvane_cli {
namespace {

using norvane::NorvaneError;

constexpr std::uint64_t kSecondsPerDay = 86400;
constexpr std::uint64_t kFirstSecondOfYear10000 = 253402300800;  // 10000-01-01T00:00:00Z

// Civil date of a day count since 1970-01-01 in the proleptic Gregorian
// calendar, by whole 400-year eras of 146097 days counted from 0000-03-01.
struct CivilDate {
    std::uint64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civil_from_days(std::uint64_t days_since_epoch) noexcept {
    const std::uint64_t z = days_since_epoch + 719468;  // days since 0000-03-01
    const std::uint64_t era = z / 146097;
    const std::uint64_t doe = z - era * 146097;                                     // [0, 146096]
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);              // [0, 365]
    const std::uint64_t mp = (5 * doy + 2) / 153;                                   // March = 0
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

void append_escaped_char(std::string& out, unsigned code, bool json) {
    char buf[8];
    if (json) {
        std::snprintf(buf, sizeof buf, "\\u%04x", code);
    } else if (code < 0x80) {
        std::snprintf(buf, sizeof buf, "\\x%02x", code);
    } else {
        std::snprintf(buf, sizeof buf, "\\u%04x", code);
    }
    out += buf;
}

// quote writes a UTF-8 text in double quotes with backslash escapes for the
// quote, the backslash and every control character (C0, DEL, C1), so that a
// purpose can neither break the output's lines nor drive a terminal.
std::string quote(std::string_view text, bool json) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || (c == 0x7F && !json)) {
            append_escaped_char(out, c, json);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080 to U+009F (the text is valid UTF-8, so the next byte is
            // a continuation byte 80..BF).
            append_escaped_char(out, static_cast<unsigned char>(text[i + 1]), json);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

}  // namespace

norvane::Result<TokenInfo> read_token_info(std::string_view token) {
    norvane::FieldStorage storage;
    norvane::BytesSink sealed;
    const auto fields = norvane::decode_token(token, storage, sealed);
    if (!fields) {
        return fields.error();
    }
    const std::optional<norvane::Backend> backend = norvane::backend_with_nonce_len(fields->nonce.size());
    if (!backend) {
        return NorvaneError::InvalidToken;
    }
    if (fields->sealed_len < norvane::TAG_LEN) {
        return NorvaneError::Tampered;
    }
    auto parsed = norvane::aad::Context::from_bytes(fields->context);
    if (!parsed) {
        return NorvaneError::InvalidToken;
    }
    return TokenInfo{*backend, parsed->expires_at, std::move(parsed->purpose),
                     fields->sealed_len - norvane::TAG_LEN};
}

std::string format_utc(std::uint64_t seconds) {
    const CivilDate date = civil_from_days(seconds / kSecondsPerDay);
    const std::uint64_t in_day = seconds % kSecondsPerDay;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%04llu-%02u-%02uT%02u:%02u:%02uZ", date.year > 9999 ? "+" : "",
                  static_cast<unsigned long long>(date.year), date.month, date.day,
                  static_cast<unsigned>(in_day / 3600), static_cast<unsigned>(in_day / 60 % 60),
                  static_cast<unsigned>(in_day % 60));
    return buf;
}

bool has_expired(const TokenInfo& info, std::uint64_t now) noexcept {
    return info.expires_at != 0 && now >= info.expires_at;
}

std::string describe(const TokenInfo& info, std::uint64_t now) {
    std::string out;
    out += "backend: ";
    out += norvane::backend_name(info.backend);
    out += " (" + std::to_string(norvane::nonce_len(info.backend)) + "-byte nonce)\n";
    out += "expires: ";
    if (info.expires_at == 0) {
        out += "never\n";
    } else {
        out += std::to_string(info.expires_at) + " (" + format_utc(info.expires_at) + ")";
        out += has_expired(info, now) ? ", already expired\n" : "\n";
    }
    out += "purpose: " + quote(info.purpose, /*json=*/false) + "\n";
    out += "plaintext length: " + std::to_string(info.plaintext_len) + (info.plaintext_len == 1 ? " byte\n" : " bytes\n");
    out += "tag: unverified (only opening with the key checks it)\n";
    return out;
}

std::string describe_json(const TokenInfo& info, std::uint64_t now) {
    std::string out = "{\"backend\": \"";
    out += norvane::backend_name(info.backend);
    out += "\", \"nonce_length\": " + std::to_string(norvane::nonce_len(info.backend));
    if (info.expires_at == 0) {
        out += ", \"expires_at\": null, \"expires\": null";
    } else {
        out += ", \"expires_at\": " + std::to_string(info.expires_at);
        // ISO 8601 text only where it has four-digit years, which is what
        // JSON readers parse (Python's datetime.fromisoformat, for one);
        // expires_at holds every expiry exactly.
        out += info.expires_at < kFirstSecondOfYear10000
                   ? ", \"expires\": \"" + format_utc(info.expires_at) + "\""
                   : std::string(", \"expires\": null");
    }
    out += has_expired(info, now) ? ", \"expired\": true" : ", \"expired\": false";
    out += ", \"purpose\": " + quote(info.purpose, /*json=*/true);
    out += ", \"plaintext_length\": " + std::to_string(info.plaintext_len);
    out += ", \"verified\": false}\n";
    return out;
}

}  // namespace norvane_cli
