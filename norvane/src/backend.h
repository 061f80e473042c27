// backend.h - the seam between the token core and the AEAD constructions.
//
// Every backend is one row of one table: its name, its derivation label,
// its nonce length and the function that prepares its key. The prepared key
// seals and opens. Minting, opening, key derivation and the tools read the
// row and never ask which backend they have; adding one is an adapter pair
// (its_backend.h/.cc) and a row in backend.cc, and a Backend value without
// a row does not compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "norvane/backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/result.h"

namespace norvane {

// PreparedKey is a backend's key material, prepared once from the cipher key
// and only read afterwards, by any number of threads at once. It wipes
// itself when destroyed.
class PreparedKey {
public:
    PreparedKey() = default;
    PreparedKey(const PreparedKey&) = delete;
    PreparedKey& operator=(const PreparedKey&) = delete;
    virtual ~PreparedKey() = default;

    // seal writes ciphertext || tag, plaintext.size() + TAG_LEN bytes, at
    // `out`. The nonce has the backend's length. It cannot fail.
    virtual void seal(ByteView nonce, ByteView aad, ByteView plaintext, std::uint8_t* out) const = 0;

    using Tag = std::span<const std::uint8_t, TAG_LEN>;

    // open_detached verifies `tag` over the ciphertext in constant time and
    // only then deciphers the ciphertext in place. It returns false, with
    // the ciphertext untouched, when the tag does not verify. The nonce has
    // the backend's length. The tag apart lets opening decipher into a
    // buffer of the plaintext's exact length.
    virtual bool open_detached(ByteView nonce, ByteView aad, std::span<std::uint8_t> ciphertext,
                               Tag tag) const noexcept = 0;

    // open is open_detached on ciphertext || tag in one buffer; false, with
    // the buffer untouched, also when it is shorter than a tag.
    bool open(ByteView nonce, ByteView aad, std::span<std::uint8_t> sealed) const noexcept {
        if (sealed.size() < TAG_LEN) {
            return false;
        }
        const std::size_t n = sealed.size() - TAG_LEN;
        return open_detached(nonce, aad, sealed.first(n), Tag(sealed.data() + n, TAG_LEN));
    }
};

// MAX_NONCE_LEN bounds every backend's nonce; minting draws into a buffer
// of this size on the stack.
inline constexpr std::size_t MAX_NONCE_LEN = 24;

using CipherKeyView = std::span<const std::uint8_t, CIPHER_KEY_LEN>;

struct BackendRow {
    Backend backend;
    std::string_view name;   // what tools show and take
    std::string_view label;  // appended to the key octets to derive the cipher key; fixed by the token format
    std::size_t nonce_len;
    std::unique_ptr<const PreparedKey> (*prepare)(CipherKeyView cipher_key);
};

// seal_to_bytes and open_to_bytes are a prepared key's operations on owned
// buffers: the sealed bytes in a new buffer; the plaintext in a new buffer,
// or Tampered. Tests, tools and benchmarks use them.
Bytes seal_to_bytes(const PreparedKey& key, ByteView nonce, ByteView aad, ByteView plaintext);
Result<Bytes> open_to_bytes(const PreparedKey& key, ByteView nonce, ByteView sealed, ByteView aad);

// backend_row returns the row of a backend.
const BackendRow& backend_row(Backend backend) noexcept;

}  // namespace norvane
