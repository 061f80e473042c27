#include "backend.h"

#include <array>

#include "aes_backend.h"
#include "xchacha_backend.h"

namespace norvane {
namespace {

template <auto Prepare>
std::unique_ptr<const PreparedKey> prepare_as_key(CipherKeyView cipher_key) {
    return Prepare(cipher_key);
}

// One row per backend, in the order of their values. The names double as
// derivation labels today, but the labels are part of the token format and
// never change, while a tool could spell a name differently.
constexpr std::array<BackendRow, BACKENDS.size()> ROWS = {{
    {Backend::Aes256Gcm, "aes256gcm", "aes256gcm", AES_NONCE_LEN, &aes_backend::prepare_chosen},
    {Backend::XChaCha20Poly1305, "xchacha20poly1305", "xchacha20poly1305", XCHACHA_NONCE_LEN,
     &prepare_as_key<&xchacha_backend::prepare>},
}};

constexpr bool rows_in_order() {
    for (std::size_t i = 0; i < ROWS.size(); ++i) {
        if (ROWS[i].backend != BACKENDS[i] || static_cast<std::size_t>(BACKENDS[i]) != i ||
            ROWS[i].nonce_len > MAX_NONCE_LEN) {
            return false;
        }
    }
    return true;
}
static_assert(rows_in_order(), "one row per backend, in the order of the Backend values, nonces within MAX_NONCE_LEN");

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
// Every Backend value must have its row: a value this switch misses does
// not compile.
const BackendRow& backend_row(Backend backend) noexcept {
    switch (backend) {
        case Backend::Aes256Gcm:
        case Backend::XChaCha20Poly1305:
            return ROWS[static_cast<std::size_t>(backend)];
    }
    return ROWS[0];  // unreachable: the cases cover every value
}
#pragma GCC diagnostic pop

Bytes seal_to_bytes(const PreparedKey& key, ByteView nonce, ByteView aad, ByteView plaintext) {
    Bytes out(plaintext.size() + TAG_LEN);
    key.seal(nonce, aad, plaintext, out.data());
    return out;
}

Result<Bytes> open_to_bytes(const PreparedKey& key, ByteView nonce, ByteView sealed, ByteView aad) {
    Bytes buf(sealed.begin(), sealed.end());
    if (!key.open(nonce, aad, buf)) {
        return NorvaneError::Tampered;
    }
    buf.resize(buf.size() - TAG_LEN);
    return buf;
}

std::string_view backend_name(Backend backend) noexcept { return backend_row(backend).name; }

std::optional<Backend> backend_named(std::string_view name) noexcept {
    for (const BackendRow& row : ROWS) {
        if (row.name == name) {
            return row.backend;
        }
    }
    return std::nullopt;
}

std::size_t nonce_len(Backend backend) noexcept { return backend_row(backend).nonce_len; }

std::optional<Backend> backend_with_nonce_len(std::size_t len) noexcept {
    for (const BackendRow& row : ROWS) {
        if (row.nonce_len == len) {
            return row.backend;
        }
    }
    return std::nullopt;
}

}  // namespace norvane
