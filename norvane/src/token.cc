#include "norvane/token.h"

#include <cstring>

#include "ct.h"
#include "norvane/base64url.h"
#include "norvane/constants.h"
#include "norvane/fault.h"
#include "norvane/utf8.h"

namespace norvane {

std::size_t token_len(std::size_t nonce_len, std::size_t context_len, std::size_t sealed_len) noexcept {
    return base64url::encoded_len(nonce_len) + 1 + base64url::encoded_len(context_len) + 1 +
           base64url::encoded_len(sealed_len);
}

std::string encode_token(ByteView nonce, ByteView context, ByteView sealed) {
    std::string out(token_len(nonce.size(), context.size(), sealed.size()), '\0');
    encode_token_into(nonce, context, sealed, out.data());
    return out;
}

void encode_token_into(ByteView nonce, ByteView context, ByteView sealed, char* out) {
    char* const end = out + token_len(nonce.size(), context.size(), sealed.size());
    char* p = base64url::encode(nonce, out);
    if (p != out + base64url::encoded_len(nonce.size())) {
        throw InternalFault("nonce buffer has the encoded length");
    }
    *p++ = '.';
    char* const ctx_begin = p;
    p = base64url::encode(context, p);
    if (p != ctx_begin + base64url::encoded_len(context.size())) {
        throw InternalFault("context buffer has the encoded length");
    }
    *p++ = '.';
    char* const ct_begin = p;
    p = base64url::encode(sealed, p);
    if (p != ct_begin + base64url::encoded_len(sealed.size()) || p != end) {
        throw InternalFault("ciphertext buffer has the encoded length");
    }
    bool ascii = is_ascii({reinterpret_cast<const std::uint8_t*>(out), static_cast<std::size_t>(end - out)});
    // The token text is public once written.
    CONSTTIME_DECLASSIFY(&ascii, sizeof ascii);
    if (!ascii) {
        throw InternalFault("base64url and separators are ASCII");
    }
}

namespace {

// The tag is the last 16 bytes; whatever the ciphertext's length, they and
// the ciphertext's last 0 to 2 bytes make up the field's last 6 groups.
constexpr std::size_t TAIL_TEXT_LEN = 24;
constexpr std::size_t TAIL_BYTES_MAX = 18;

// decode_sealed decodes the sealed field: the groups that hold only
// ciphertext straight into the sink's storage, reserved at the
// ciphertext's exact length, and the last groups through a small buffer,
// the tag into the FieldStorage. Both parts together are canonical exactly
// when the whole field is: the first part must decode to whole groups,
// unpadded.
bool decode_sealed(std::string_view text, FieldStorage& fields, SealedSink& sink, TokenFields& out) {
    std::size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') {
        ++pad;
    }
    const std::size_t groups_len = base64url::decoded_capacity(text.size());
    if (text.size() % 4 != 0 || groups_len < pad) {
        return false;
    }
    const std::size_t total = groups_len - pad;
    if (total < TAG_LEN) {
        // Too short for a tag: only its base64 is checked here; opening
        // refuses it as modified.
        std::uint8_t scratch[TAIL_BYTES_MAX];
        const auto len = text.size() <= TAIL_TEXT_LEN ? base64url::decode_into(text, scratch) : std::nullopt;
        out.sealed_len = len.value_or(0);
        return len.has_value();
    }
    const std::size_t ct_len = total - TAG_LEN;
    const std::size_t head_len = ct_len / 3 * 3;
    const std::string_view head = text.substr(0, head_len / 3 * 4), tail = text.substr(head_len / 3 * 4);
    std::uint8_t* const ct = sink.reserve(ct_len);
    std::uint8_t tail_bytes[TAIL_BYTES_MAX];
    const auto head_got = head.empty() ? std::optional<std::size_t>(0) : base64url::decode_into(head, ct);
    const auto tail_got = tail.size() == TAIL_TEXT_LEN ? base64url::decode_into(tail, tail_bytes) : std::nullopt;
    if (head_got != head_len || tail_got != total - head_len) {
        // Whatever was decoded before the bad character is taken back.
        secure_wipe(ct, ct_len);
        return false;
    }
    if (ct_len > head_len) {
        std::memcpy(ct + head_len, tail_bytes, ct_len - head_len);
    }
    std::memcpy(fields.tag(), tail_bytes + (ct_len - head_len), TAG_LEN);
    out.sealed_len = total;
    out.ciphertext = std::span<std::uint8_t>(ct, ct_len);
    out.tag = ByteView(fields.tag(), TAG_LEN);
    return true;
}

}  // namespace

Result<TokenFields> decode_token(std::string_view token, FieldStorage& fields, SealedSink& sink) {
    // The size test bounds every allocation below.
    if (token.size() > MAX_TOKEN_LEN) {
        return NorvaneError::InvalidToken;
    }
    const std::size_t dot1 = token.find('.');
    const std::size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) {
        return NorvaneError::InvalidToken;
    }
    const std::string_view nonce_text = token.substr(0, dot1);
    const std::string_view context_text = token.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string_view sealed_text = token.substr(dot2 + 1);

    std::uint8_t* const at = fields.reserve(base64url::decoded_capacity(nonce_text.size()) +
                                            base64url::decoded_capacity(context_text.size()));
    // Decoded in the token's order, so that the first bad field is the one
    // reported.
    const auto nonce_len = base64url::decode_into(nonce_text, at);
    if (!nonce_len) {
        return NorvaneError::InvalidBase64;
    }
    const auto context_len = base64url::decode_into(context_text, at + *nonce_len);
    if (!context_len) {
        return NorvaneError::InvalidBase64;
    }
    TokenFields out{ByteView(at, *nonce_len), ByteView(at + *nonce_len, *context_len), 0, {}, {}};
    if (!decode_sealed(sealed_text, fields, sink, out)) {
        return NorvaneError::InvalidBase64;
    }
    return out;
}

}  // namespace norvane
