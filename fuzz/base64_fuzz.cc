// base64_fuzz.cc - the strict padded base64url codec.
//
// The input is used twice. As text: the decoder must accept it exactly when
// encoding the decoded bytes gives the text back, must agree with the
// reference decoder on both the verdict and the bytes, and decode_into must
// stay inside a buffer of exactly decoded_capacity bytes. As bytes: the
// encoder must write exactly encoded_len characters, agree with the
// reference encoder, and its output must decode to the input again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "norvane/base64url.h"

using namespace norvane;
using namespace norvane::fuzz;

namespace {

std::string encode(ByteView b) {
    // Exact-size heap output: a write past encoded_len is caught.
    const std::size_t n = base64url::encoded_len(b.size());
    auto out = std::make_unique<char[]>(n);
    char* end = base64url::encode(b, out.get());
    FUZZ_CHECK(end == out.get() + n);
    return std::string(out.get(), n);
}

void check_decode(std::string_view text) {
    const HeapCopy in(text);
    const std::optional<Bytes> got = base64url::decode(in.text());
    const auto ref = ref_decode(text);

    FUZZ_CHECK(got.has_value() == ref.has_value());
    if (got) {
        FUZZ_CHECK(got->size() == ref->size());
        FUZZ_CHECK(std::equal(got->begin(), got->end(), ref->begin()));
        FUZZ_CHECK(got->size() <= base64url::decoded_capacity(text.size()));
        // Accepted exactly when the encoding of the result is the text.
        FUZZ_CHECK(encode(*got) == text);
    } else if (text.size() % 4 == 0) {
        // Refused: no byte string encodes to this text. Decoding leniently
        // (alphabet characters only, padding dropped) and re-encoding must
        // give a different text.
        std::string lenient;
        std::vector<std::uint8_t> bytes;
        std::uint32_t acc = 0;
        int bits = 0;
        for (const char c : text) {
            const int v = ref_value(c);
            if (v < 0) {
                continue;
            }
            acc = (acc << 6) | static_cast<std::uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(static_cast<std::uint8_t>(acc >> bits));
            }
        }
        FUZZ_CHECK(encode(ByteView(bytes.data(), bytes.size())) != text);
    }

    // decode_into writes no more than decoded_capacity bytes and, when it
    // accepts, the same bytes as decode.
    const std::size_t cap = base64url::decoded_capacity(text.size());
    auto buf = std::make_unique<std::uint8_t[]>(cap);
    const std::optional<std::size_t> n = base64url::decode_into(in.text(), buf.get());
    FUZZ_CHECK(n.has_value() == got.has_value());
    if (n) {
        FUZZ_CHECK(*n == got->size());
        FUZZ_CHECK(std::equal(got->begin(), got->end(), buf.get()));
    }
}

void check_encode(const std::uint8_t* data, std::size_t size) {
    const HeapCopy in(data, size);
    const std::string text = encode(in.bytes());
    FUZZ_CHECK(text.size() == base64url::encoded_len(size));
    FUZZ_CHECK(text == ref_encode(data, size));
    const HeapCopy t(text);
    const std::optional<Bytes> back = base64url::decode(t.text());
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(back->size() == size);
    FUZZ_CHECK(std::equal(back->begin(), back->end(), data));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_decode(std::string_view(reinterpret_cast<const char*>(data), size));
    check_encode(data, size);
    return 0;
}
