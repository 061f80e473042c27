// consttime_driver.cc - runs the core's secret-handling code on data that
// valgrind's memcheck treats as undefined (CONSTTIME_SECRET), so that any
// branch, memory index or system-call argument derived from a secret is
// reported. Run it only under
//
//   NORVANE_FORCE_SOFTWARE=1 valgrind --error-exitcode=1 consttime_driver
//
// The software primitives are forced because memcheck cannot follow the
// AES-NI, PCLMUL and SSE2 code reliably; their constant-time software
// counterparts (bitsliced AES, carry-less multiplication by integer
// multiplies, portable ChaCha20 and Poly1305) are what is checked here.
//
// Secrets: the 128-bit key, the derived cipher key, the plaintext, and the
// decoded ciphertext field (including the received tag). Results are made
// public again (CONSTTIME_DECLASSIFY) only after the code under test has
// returned, before the driver compares them with what it expects. Inside
// the core the only values declassified are the verdict of the tag
// comparison, the validity flag of the base64url decoder and the ASCII
// check of token assembly: each is branched on by design, after the
// constant-time code.
//
// With --simd-codec the driver runs only the codec and token assembly, for a
// run without NORVANE_FORCE_SOFTWARE: that checks the SSSE3 and AVX2
// base64url kernels (each called explicitly, where the CPU has it), which
// memcheck follows (plain vector arithmetic and fixed shuffles), while the
// ciphers, which it cannot follow, stay out.
//
// The driver exits non-zero when a result is wrong or when it is not running
// under valgrind (the checks would then prove nothing).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aes_backend.h"
#include "base64url_simd.h"
#include "ct.h"
#include "hchacha20.h"
#include "norvane/aad.h"
#include "norvane/base64url.h"
#include "norvane/key.h"
#include "norvane/norvane.h"
#include "norvane/token.h"
#include "primitives.h"
#include "xchacha_backend.h"

using namespace norvane;

namespace {

int g_failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consttime_driver: FAILED: %s\n", what);
        ++g_failures;
    }
}

template <class T>
void secret(T* p, std::size_t n) {
    CONSTTIME_SECRET(p, n);
}

template <class T>
void declassify(T* p, std::size_t n) {
    CONSTTIME_DECLASSIFY(p, n);
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

// secret_text copies a base64url field and marks it secret, all but its
// last two characters: whether those are '=' is the field's public length.
std::string secret_text(std::string_view field) {
    std::string t(field);
    if (t.size() > 2) {
        secret(t.data(), t.size() - 2);
    }
    return t;
}

std::string encode_public(const std::uint8_t* p, std::size_t n) {
    std::string out(base64url::encoded_len(n), '\0');
    base64url::encode(ByteView(p, n), out.data());
    return out;
}

void check_primitives() {
    const Primitives& p = primitives();
    std::printf("primitives: %s %s %s %s\n", p.aes_name, p.ghash_name, p.chacha20_name, p.poly1305_name);
    const std::string_view aes = p.aes_name, gh = p.ghash_name, cc = p.chacha20_name, poly = p.poly1305_name;
    expect(aes == "aes_ct64" || aes == "aes_ct", "AES is the bitsliced software code (NORVANE_FORCE_SOFTWARE=1)");
    expect(gh == "ghash_ctmul64" || gh == "ghash_ctmul32", "GHASH is the constant-time software code");
    expect(cc == "chacha20_ct", "ChaCha20 is the portable code");
    expect(poly == "poly1305_ctmul", "Poly1305 is the portable code");
}

void check_equal16() {
    for (int diff_at = -1; diff_at < 16; ++diff_at) {
        auto a = pattern(16, 1), b = a;
        if (diff_at >= 0) {
            b[static_cast<std::size_t>(diff_at)] ^= 0x01;
        }
        secret(a.data(), 16);
        secret(b.data(), 16);
        bool same = ct::equal16(a.data(), b.data());
        declassify(&same, sizeof same);
        expect(same == (diff_at < 0), "equal16 tells equal from different tags");
    }
}

void check_hchacha20() {
    // The HChaCha20 test vector of the XChaCha20 draft.
    auto key = from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const auto nonce = from_hex("000000090000004a0000000031415927");
    const auto want = from_hex("82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc");
    secret(key.data(), key.size());
    std::uint8_t out[32];
    hchacha20(key.data(), nonce.data(), out);
    declassify(out, sizeof out);
    expect(std::memcmp(out, want.data(), 32) == 0, "hchacha20 gives the draft's subkey");
}

// decode_secret decodes a field with kernel k into a new buffer.
std::optional<Bytes> decode_secret(base64url::Kernel k, std::string_view text) {
    Bytes out(base64url::decoded_capacity(text.size()));
    const std::optional<std::size_t> n = base64url::decode_into_with(k, text, out.data());
    if (!n) {
        return std::nullopt;
    }
    out.resize(*n);
    return out;
}

void check_base64url(base64url::Kernel k) {
    std::printf("base64url kernel: %s\n", base64url::kernel_name(k));
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 72; ++n) {
        lengths.push_back(n);
    }
    for (const std::size_t n : {std::size_t{100}, std::size_t{200}, std::size_t{1000}}) {
        lengths.push_back(n);
    }
    for (const std::size_t n : lengths) {
        const auto data = pattern(n, static_cast<std::uint8_t>(n));
        auto sec = data;
        secret(sec.data(), sec.size());
        std::string text(base64url::encoded_len(n), '\0');
        char* end = base64url::encode_with(k, ByteView(sec.data(), n), text.data());
        expect(end == text.data() + text.size(), "encode writes encoded_len characters");
        declassify(text.data(), text.size());
        expect(text == encode_public(data.data(), n), "encoding secret bytes gives the same text");

        const std::string st = secret_text(text);
        std::optional<Bytes> back = decode_secret(k, st);
        expect(back.has_value(), "a canonical secret field decodes");
        if (back) {
            declassify(back->data(), back->size());
            expect(back->size() == n && std::equal(back->begin(), back->end(), data.begin()),
                   "decoding a secret field gives the bytes back");
        }
        // A character outside the alphabet among the secret characters is
        // refused without a branch on where it is (first and middle).
        for (const std::size_t at : {std::size_t{0}, text.size() / 2}) {
            if (at + 4 < text.size()) {
                std::string bad = text;
                bad[at] = '+';
                const std::string sb = secret_text(bad);
                expect(!decode_secret(k, sb).has_value(), "a secret field with '+' is refused");
            }
        }
    }
    // Non-zero leftover bits in the last group.
    const std::string sb = secret_text("AR==");
    expect(!decode_secret(k, sb).has_value(), "a secret non-canonical last group is refused");
}

void check_encode_token() {
    auto nonce = pattern(24, 7);
    auto context = aad::write_context(1700000000, "session");
    auto sealed = pattern(37, 9);
    const std::string want = encode_public(nonce.data(), nonce.size()) + "." +
                             encode_public(context.data(), context.size()) + "." +
                             encode_public(sealed.data(), sealed.size());
    secret(nonce.data(), nonce.size());
    secret(context.data(), context.size());
    secret(sealed.data(), sealed.size());
    std::string token = encode_token(ByteView(nonce.data(), nonce.size()), context,
                                     ByteView(sealed.data(), sealed.size()));
    declassify(token.data(), token.size());
    expect(token == want, "encode_token on secret fields");
}

// open_token decodes the ciphertext field of `token` as a secret and opens
// it with `open`; `flip` damages one bit of the decoded sealed bytes.
template <class Open>
void open_token(const std::string& token, const Bytes& context, const std::vector<std::uint8_t>& plaintext,
                bool flip, const char* what, Open open) {
    const std::size_t dot2 = token.find('.', token.find('.') + 1);
    const std::string field = secret_text(std::string_view(token).substr(dot2 + 1));
    std::optional<Bytes> sealed = base64url::decode(field);
    expect(sealed.has_value(), "the ciphertext field decodes");
    if (!sealed) {
        return;
    }
    secret(sealed->data(), sealed->size());
    if (flip) {
        (*sealed)[sealed->size() / 2] ^= 0x10;
    }
    Result<Bytes> r = open(ByteView(sealed->data(), sealed->size()), ByteView(context.data(), context.size()));
    if (flip) {
        expect(!r.ok() && r.error() == NorvaneError::Tampered, what);
        return;
    }
    expect(r.ok(), what);
    if (r.ok()) {
        declassify(r->data(), r->size());
        expect(r->size() == plaintext.size() && std::equal(r->begin(), r->end(), plaintext.begin()), what);
    }
}

void check_adapters() {
    Key key;
    const auto kb = pattern(16, 42);
    std::memcpy(key.data(), kb.data(), 16);
    secret(key.data(), key.size());
    const Bytes context = aad::write_context(0, "session");

    for (const std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16},
                                  std::size_t{17}, std::size_t{100}}) {
        const auto plaintext = pattern(len, static_cast<std::uint8_t>(len + 3));
        auto secret_pt = plaintext;
        secret(secret_pt.data(), secret_pt.size());
        const ByteView pt(secret_pt.data(), secret_pt.size());

        {
            CipherKey ck = derive_cipher_key(Backend::Aes256Gcm, key);
            secret(ck.data(), ck.size());
            const auto ctx = aes_backend::prepare(ck.view());
            const auto nonce = pattern(AES_NONCE_LEN, 5);
            const aes_backend::Nonce nv(nonce.data(), AES_NONCE_LEN);
            const Bytes sealed = aes_backend::encrypt(*ctx, nv, context, pt);
            std::string token = encode_token(ByteView(nonce.data(), nonce.size()), context, sealed);
            declassify(token.data(), token.size());
            for (const bool flip : {false, true}) {
                open_token(token, context, plaintext, flip, "aes_backend opens its own seal (and refuses a flip)",
                           [&](ByteView s, ByteView a) { return aes_backend::decrypt(*ctx, nv, s, a); });
            }
        }
        {
            CipherKey ck = derive_cipher_key(Backend::XChaCha20Poly1305, key);
            secret(ck.data(), ck.size());
            const auto nonce = pattern(XCHACHA_NONCE_LEN, 6);
            const xchacha_backend::Nonce nv(nonce.data(), XCHACHA_NONCE_LEN);
            const Bytes sealed = xchacha_backend::encrypt(ck.view(), nv, context, pt);
            std::string token = encode_token(ByteView(nonce.data(), nonce.size()), context, sealed);
            declassify(token.data(), token.size());
            for (const bool flip : {false, true}) {
                open_token(token, context, plaintext, flip,
                           "xchacha_backend opens its own seal (and refuses a flip)",
                           [&](ByteView s, ByteView a) { return xchacha_backend::decrypt(ck.view(), nv, s, a); });
            }
        }
    }
}

void check_minting() {
    // A whole mint with a secret key and plaintext: limits, context, nonce,
    // seal and assembly.
    Key key;
    const auto kb = pattern(16, 77);
    std::memcpy(key.data(), kb.data(), 16);
    secret(key.data(), key.size());
    for (const Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
        const Norvane nv = Norvane::create(b, key);
        auto data = pattern(50, 8);
        for (auto& c : data) {
            c &= 0x7F;  // ASCII: what minting's caller has checked
        }
        secret(data.data(), data.size());
        Result<std::string> token = nv.encrypt(ByteView(data.data(), data.size()), 1700000000, "api");
        expect(token.ok(), "minting with a secret key and plaintext");
        if (token.ok()) {
            declassify(token->data(), token->size());
            expect(token->size() == token_len(nonce_len(b), 13, 66), "the minted token has its length");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "consttime_driver: not running under valgrind; run scripts/consttime\n");
        return 2;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--simd-codec") {
        int checked = 0;
        for (const base64url::Kernel k : {base64url::Kernel::Ssse3, base64url::Kernel::Avx2}) {
            if (!base64url::cpu_runs(k)) {
                std::printf("consttime_driver: this CPU (as valgrind presents it) has no %s; not checked\n",
                            base64url::kernel_name(k));
                continue;
            }
            check_base64url(k);
            ++checked;
        }
        if (checked == 0) {
            std::printf("consttime_driver: no SIMD codec on this CPU; nothing to check\n");
            return 0;
        }
        std::printf("token assembly with the chosen kernel, %s\n", base64url::kernel_name(base64url::chosen_kernel()));
        check_encode_token();
        if (g_failures != 0) {
            std::fprintf(stderr, "consttime_driver: %d check(s) failed\n", g_failures);
            return 1;
        }
        std::printf("consttime_driver: SIMD codec checks passed\n");
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: consttime_driver [--simd-codec]\n");
        return 2;
    }
    check_primitives();
    check_equal16();
    check_hchacha20();
    expect(base64url::chosen_kernel() == base64url::Kernel::Scalar, "the codec runs its scalar code when forced");
    check_base64url(base64url::Kernel::Scalar);
    check_encode_token();
    check_adapters();
    check_minting();
    if (g_failures != 0) {
        std::fprintf(stderr, "consttime_driver: %d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("consttime_driver: all checks passed\n");
    return 0;
}
