#include "norvane/token.h"

#include "norvane/base64url.h"

namespace norvane {

std::size_t token_len(std::size_t nonce_len, std::size_t context_len, std::size_t sealed_len) noexcept {
    return base64url::encoded_len(nonce_len) + 1 + base64url::encoded_len(context_len) + 1 +
           base64url::encoded_len(sealed_len);
}

std::string encode_token(ByteView nonce, ByteView context, ByteView sealed) {
    std::string out(token_len(nonce.size(), context.size(), sealed.size()), '\0');
    char* const begin = out.data();
    char* p = base64url::encode(nonce, begin);
    if (p != begin + base64url::encoded_len(nonce.size())) {
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
    if (p != ct_begin + base64url::encoded_len(sealed.size()) || p != begin + out.size()) {
        throw InternalFault("ciphertext buffer has the encoded length");
    }
    unsigned char high = 0;
    for (const char c : out) {
        high |= static_cast<unsigned char>(c);
    }
    if ((high & 0x80) != 0) {
        throw InternalFault("base64url and separators are ASCII");
    }
    return out;
}

}  // namespace norvane
