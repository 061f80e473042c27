#include "norvane/token.h"

#include "norvane/base64url.h"
#include "norvane/utf8.h"
#include "consttime.h"

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

}  // namespace norvane
