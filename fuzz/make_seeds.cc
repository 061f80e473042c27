// make_seeds.cc - writes the seed corpora of the fuzz targets.
//
//   make_seeds OUTDIR   writes OUTDIR/{open,base64,context,roundtrip}/NAME
//
// The seeds are the inputs each target's layout gives meaning to: valid and
// damaged tokens of both backends under the fixed key of the harness,
// canonical and non-canonical base64url, records that parse and records
// that do not, and minting requests on both sides of every limit. Tokens
// carry random nonces, so a new run writes different (equally good) files.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"

using namespace norvane;
using namespace norvane::fuzz;

namespace {

std::filesystem::path g_root;

void put(const std::string& target, const std::string& name, const std::string& content) {
    const auto dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    FUZZ_CHECK(out.good());
}

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

std::string be64(std::uint64_t v) {
    std::string s;
    for (int shift = 56; shift >= 0; shift -= 8) {
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
    return s;
}

std::string mint(Backend b, std::string_view data, std::optional<std::uint64_t> exp,
                 std::optional<std::string_view> purpose) {
    const Result<std::string> r = norvane_for(b).encrypt(
        ByteView(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), exp, purpose);
    FUZZ_CHECK(r.ok());
    return *r;
}

std::string context_text(const std::vector<std::uint8_t>& rec) { return std::string(rec.begin(), rec.end()); }

void open_seeds() {
    // Text mode: mode byte (bit 0 clear; purpose index in bits 1-3, time
    // index in bits 4-6, other keys too with bit 7), stretch byte, then the
    // token.
    const std::string aes = mint(Backend::Aes256Gcm, "hello", std::nullopt, std::nullopt);
    const std::string xch = mint(Backend::XChaCha20Poly1305, "hello", std::nullopt, std::nullopt);
    put("open", "text-aes-valid", bytes({0x00, 0}) + aes);
    put("open", "text-xchacha-valid", bytes({0x00, 0}) + xch);
    put("open", "text-aes-valid-otherkeys", bytes({0x80, 0}) + aes);
    put("open", "text-aes-expired", bytes({0x20, 0}) + mint(Backend::Aes256Gcm, "x", 1700000000, std::nullopt));
    put("open", "text-xchacha-wrong-purpose", bytes({0x00, 0}) + mint(Backend::XChaCha20Poly1305, "", std::nullopt, "api"));
    put("open", "text-aes-purpose-api", bytes({0x0A, 0}) + mint(Backend::Aes256Gcm, "{}", 4102444800, "api"));
    put("open", "text-aes-not-utf8", bytes({0x00, 0}) + mint(Backend::Aes256Gcm, "\xff\xfe", std::nullopt, std::nullopt));
    put("open", "text-xchacha-long", bytes({0x00, 0}) + mint(Backend::XChaCha20Poly1305, std::string(300, 'z'),
                                                          std::nullopt, std::string(255, 'q')));
    put("open", "text-empty", bytes({0x00, 0}));
    put("open", "text-dots", bytes({0x00, 0}) + "..");
    put("open", "text-one-dot", bytes({0x00, 0}) + "AAAA.AAAA");
    put("open", "text-fourth-field", bytes({0x00, 0}) + aes + ".x");
    std::string plus = aes;
    for (char& c : plus) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    put("open", "text-std-alphabet", bytes({0x00, 0}) + plus);
    put("open", "text-space", bytes({0x00, 0}) + aes.substr(0, 5) + " " + aes.substr(6));
    put("open", "text-unpadded", bytes({0x00, 0}) + "AAAAAAAAAAAAAAAA.AQAAAAAAAAAAB3Nlc3Npb24.AAAAAAAAAAAAAAAAAAAAAA");
    put("open", "text-limit", bytes({0x00, 128}) + aes);
    put("open", "text-oversized", bytes({0x00, 129}) + aes);

    // Authentic mode: mode byte (bit 0 set; bit 1 XChaCha, bit 2 flip a
    // bit, bit 3 well-formed context, bit 4 expect its own purpose), then
    // at, nonce (24), flip position (2), flip bit (1), context, expected
    // purpose, plaintext.
    const std::string nonce(24, '\x42');
    const std::string structured = be64(1700000000) + bytes({7}) + "session";
    put("open", "auth-aes-opens", bytes({0x19}) + be64(1699999999) + nonce + bytes({0, 0, 0}) + structured + "hello");
    put("open", "auth-xchacha-expired", bytes({0x1B}) + be64(1700000000) + nonce + bytes({0, 0, 0}) + structured + "hi");
    put("open", "auth-aes-not-utf8", bytes({0x19}) + be64(0) + nonce + bytes({0, 0, 0}) + structured + "\xc0\x80");
    put("open", "auth-xchacha-flip", bytes({0x1F}) + be64(0) + nonce + bytes({0, 40, 3}) + structured + "hello");
    put("open", "auth-aes-raw-context", bytes({0x01}) + be64(0) + nonce + bytes({0, 0, 0}) + bytes({0, 11}) +
                                            bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'a'}) + bytes({1}) + "a" + "text");
    put("open", "auth-aes-raw-context-v2", bytes({0x01}) + be64(0) + nonce + bytes({0, 0, 0}) + bytes({0, 10}) +
                                               bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + bytes({0}) + "text");
}

void base64_seeds() {
    const char* texts[] = {"", "AQ==", "AR==", "AQI=", "AQM=", "AQID", "A===", "====", "AA=A", "-_-_", "+/+/",
                           "AQ=\n", "AQAAAAAAAAAAB3Nlc3Npb24=", "AQAAAABlU_EAB3Nlc3Npb24=", "QUJD", "QUI", "QUJDRA===",
                           "AQN=", "AQJ=", "AB==", "AP=="};
    int i = 0;
    for (const char* t : texts) {
        put("base64", "text-" + std::to_string(i++), t);
    }
    put("base64", "bytes-all", [] {
        std::string s;
        for (int b = 0; b < 256; ++b) {
            s.push_back(static_cast<char>(b));
        }
        return s;
    }());
}

void context_seeds() {
    put("context", "default", context_text(ref_write_context(0, "session")));
    put("context", "expiry", context_text(ref_write_context(1700000000, "session")));
    put("context", "empty-purpose", context_text(ref_write_context(0, "")));
    put("context", "max-expiry", context_text(ref_write_context(~std::uint64_t{0}, "x")));
    put("context", "purpose-255", context_text(ref_write_context(5, std::string(255, 'p'))));
    put("context", "purpose-utf8", context_text(ref_write_context(5, "\xc3\xa9t\xc3\xa9")));
    std::string v0 = context_text(ref_write_context(0, "session"));
    v0[0] = 0;
    put("context", "version-0", v0);
    v0[0] = 2;
    put("context", "version-2", v0);
    put("context", "trailing", context_text(ref_write_context(0, "session")) + "!");
    std::string longlen = context_text(ref_write_context(0, "session"));
    longlen[9] = 8;
    put("context", "length-past-end", longlen);
    put("context", "purpose-ff", context_text(ref_write_context(0, "\xff")));
    put("context", "short", bytes({1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

void roundtrip_seeds() {
    // flags (bit 0 XChaCha, bit 1 expiry, bit 2 purpose, bit 3 stretch data,
    // bit 4 stretch purpose), expiry, at, stretch, purpose length, purpose,
    // plaintext.
    put("roundtrip", "aes-default", bytes({0x00}) + be64(0) + be64(1700000000) + bytes({0, 0}) + "hello");
    put("roundtrip", "xchacha-default", bytes({0x01}) + be64(0) + be64(0) + bytes({0, 0}) + "");
    put("roundtrip", "aes-expiry-purpose", bytes({0x06}) + be64(1700000000) + be64(1699999999) + bytes({0, 3}) +
                                               "api" + "{\"user\":1}");
    put("roundtrip", "xchacha-zero-expiry", bytes({0x03}) + be64(0) + be64(0) + bytes({0, 0}) + "x");
    put("roundtrip", "aes-empty-purpose", bytes({0x04}) + be64(0) + be64(0) + bytes({0, 0}) + "x");
    put("roundtrip", "xchacha-purpose-limit", bytes({0x15}) + be64(0) + be64(0) + bytes({127, 0}) + "x");
    put("roundtrip", "xchacha-purpose-over", bytes({0x15}) + be64(0) + be64(0) + bytes({128, 0}) + "x");
    put("roundtrip", "aes-data-limit", bytes({0x08}) + be64(0) + be64(0) + bytes({128, 0}) + "d");
    put("roundtrip", "aes-data-over", bytes({0x08}) + be64(0) + be64(0) + bytes({129, 0}) + "d");
    put("roundtrip", "xchacha-max-expiry", bytes({0x07}) + be64(~std::uint64_t{0}) + be64(~std::uint64_t{0}) +
                                               bytes({0, 2}) + "\xc3\xa9" + "\xf0\x9f\x94\x91");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    g_root = argv[1];
    open_seeds();
    base64_seeds();
    context_seeds();
    roundtrip_seeds();
    return 0;
}
