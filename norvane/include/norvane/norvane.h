// norvane/norvane.h - the Norvane value: prepared key material for one
// backend, minting and opening tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "norvane/aad.h"
#include "norvane/backend.h"
#include "norvane/bytes.h"
#include "norvane/constants.h"
#include "norvane/error.h"
#include "norvane/key.h"
#include "norvane/result.h"
#include "norvane/token.h"

namespace norvane {

class PreparedKey;
struct BackendRow;

// TokenSink provides the storage a token is written into, once its exact
// length is known and nothing can fail any more; the caller may hand out its
// own string storage so that the token is written only once.
class TokenSink {
public:
    virtual char* reserve(std::size_t len) = 0;

protected:
    ~TokenSink() = default;
};

// Norvane is built once, fully prepared (the AES key schedule and GHASH key
// are computed here, never per token), and is only read afterwards: any
// number of threads may mint and open with one object at once, without
// locks. It is moved, never copied, and wipes its key material when
// destroyed.
class Norvane {
public:
    // create derives the cipher key for `backend` and prepares it. It cannot
    // fail; the derived key is wiped once prepared.
    static Norvane create(Backend backend, const Key& key);

    Norvane(Norvane&&) noexcept;
    Norvane& operator=(Norvane&&) noexcept;
    Norvane(const Norvane&) = delete;
    Norvane& operator=(const Norvane&) = delete;
    ~Norvane();

    Backend backend() const noexcept;

    // encrypt mints a token for `data` (UTF-8, which the caller has checked),
    // an optional expiry (Unix seconds) and an optional purpose ("session"
    // when absent). Errors, first failing check wins: PlaintextTooLong,
    // ZeroExpiry, EmptyPurpose, PurposeTooLong, RandomnessUnavailable.
    Result<std::string> encrypt(ByteView data, std::optional<std::uint64_t> expires_at,
                                std::optional<std::string_view> purpose) const;

    // encrypt_into is encrypt writing the token into storage from `sink`,
    // reserved only after every check has passed; it returns the token's
    // length.
    Result<std::size_t> encrypt_into(ByteView data, std::optional<std::uint64_t> expires_at,
                                     std::optional<std::string_view> purpose, TokenSink& sink) const;

    // decrypt_for_at opens a token for an expected purpose at time `at`
    // (Unix seconds). Authenticity is verified before the context is read;
    // then the purpose, then the expiry. Errors: InvalidToken,
    // InvalidBase64, Tampered, WrongPurpose, Expired, InvalidUtf8.
    Result<Bytes> decrypt_for_at(std::string_view token, std::string_view purpose,
                                 std::uint64_t at) const;

    // decrypt_for_at_into is decrypt_for_at deciphering in storage from
    // `sink`: the ciphertext is decoded into it and opened in place, and
    // on success the plaintext is at its start; the result is its length.
    // On any failure after the storage was reserved, it is wiped before the
    // error is returned (it may hold plaintext by then).
    Result<std::size_t> decrypt_for_at_into(std::string_view token, std::string_view purpose, std::uint64_t at,
                                            SealedSink& sink) const;

private:
    Norvane(const BackendRow& row, std::unique_ptr<const PreparedKey> key) noexcept;

    const BackendRow* row_;
    std::unique_ptr<const PreparedKey> key_;
};

}  // namespace norvane
