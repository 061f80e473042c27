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

Result<DecodedToken> decode_token(std::string_view token) {
    // The size test bounds every allocation below.
    if (token.size() > MAX_TOKEN_LEN) {
        return NorvaneError::InvalidToken;
    }
    const std::size_t dot1 = token.find('.');
    const std::size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) {
        return NorvaneError::InvalidToken;
    }
    auto nonce = base64url::decode(token.substr(0, dot1));
    if (!nonce) {
        return NorvaneError::InvalidBase64;
    }
    auto context = base64url::decode(token.substr(dot1 + 1, dot2 - dot1 - 1));
    if (!context) {
        return NorvaneError::InvalidBase64;
    }
    auto sealed = base64url::decode(token.substr(dot2 + 1));
    if (!sealed) {
        return NorvaneError::InvalidBase64;
    }
    return DecodedToken{std::move(*nonce), std::move(*context), std::move(*sealed)};
}

}  // namespace norvane
