#include "norvane/token.h"

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
    const std::size_t sealed_room = base64url::decoded_capacity(sealed_text.size());
    std::uint8_t* const sealed_at = sink.reserve(sealed_room);
    const auto sealed_len = base64url::decode_into(sealed_text, sealed_at);
    if (!sealed_len) {
        // Whatever was decoded before the bad character is taken back.
        secure_wipe(sealed_at, sealed_room);
        return NorvaneError::InvalidBase64;
    }
    return TokenFields{ByteView(at, *nonce_len), ByteView(at + *nonce_len, *context_len),
                       std::span<std::uint8_t>(sealed_at, *sealed_len), std::span<std::uint8_t>(sealed_at, sealed_room)};
}

}  // namespace norvane
