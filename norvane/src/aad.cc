#include "norvane/aad.h"

#include <cstring>

#include "norvane/constants.h"
#include "norvane/utf8.h"

namespace norvane::aad {

std::size_t write_context_into(std::uint64_t expires_at, std::string_view purpose, std::uint8_t* out) noexcept {
    out[0] = CONTEXT_VERSION;
    for (int i = 0; i < 8; ++i) {
        out[1 + i] = static_cast<std::uint8_t>(expires_at >> (56 - 8 * i));
    }
    out[9] = static_cast<std::uint8_t>(purpose.size());
    if (!purpose.empty()) {
        std::memcpy(out + HEADER_LEN, purpose.data(), purpose.size());
    }
    return HEADER_LEN + purpose.size();
}

Bytes write_context(std::uint64_t expires_at, std::string_view purpose) {
    Bytes rec(HEADER_LEN + purpose.size());
    write_context_into(expires_at, purpose, rec.data());
    return rec;
}

std::optional<ContextView> parse_context(ByteView record) noexcept {
    const std::size_t len = record.size();
    if (len < HEADER_LEN || record[0] != CONTEXT_VERSION) {
        return std::nullopt;
    }
    const std::size_t p = record[9];
    if (len != HEADER_LEN + p) {
        return std::nullopt;
    }
    const ByteView purpose = record.subspan(HEADER_LEN, p);
    if (!is_valid_utf8(purpose)) {
        return std::nullopt;
    }
    ContextView ctx;
    for (int i = 0; i < 8; ++i) {
        ctx.expires_at = ctx.expires_at << 8 | record[1 + i];
    }
    ctx.purpose = std::string_view(reinterpret_cast<const char*>(purpose.data()), purpose.size());
    return ctx;
}

std::optional<Context> Context::from_bytes(ByteView record) {
    const auto view = parse_context(record);
    if (!view) {
        return std::nullopt;
    }
    return Context{view->expires_at, std::string(view->purpose)};
}

}  // namespace norvane::aad
