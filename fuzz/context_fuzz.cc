// context_fuzz.cc - the context record.
//
// The input is used twice. As a record: Context::from_bytes must accept it
// exactly when writing the parsed context (aad::write_context) gives the same
// bytes back, and must agree with the reference parser on the verdict, the
// expiry and the purpose. As fields (8 bytes of expiry, then a purpose of at
// most 255 bytes): a record written from UTF-8 fields must be the reference
// layout and must parse back to the same fields.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "norvane/aad.h"

using namespace norvane;
using namespace norvane::fuzz;

namespace {

void check_parse(const std::uint8_t* data, std::size_t size) {
    const HeapCopy rec(data, size);
    const std::optional<aad::Context> got = aad::Context::from_bytes(rec.bytes());
    const auto ref = ref_parse_context(data, size);

    FUZZ_CHECK(got.has_value() == ref.has_value());
    if (got) {
        FUZZ_CHECK(got->expires_at == ref->expires_at);
        FUZZ_CHECK(got->purpose == ref->purpose);
        FUZZ_CHECK(got->purpose.size() <= MAX_PURPOSE_LEN);
        const Bytes again = aad::write_context(got->expires_at, got->purpose);
        FUZZ_CHECK(again.size() == size);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), data));
    } else if (size >= aad::HEADER_LEN) {
        // Refused: the record written from its own header fields and
        // the purpose bytes it claims is not this record.
        const std::size_t p = std::min<std::size_t>(data[9], size - aad::HEADER_LEN);
        std::uint64_t e = 0;
        for (int i = 1; i <= 8; ++i) {
            e = e << 8 | data[i];
        }
        const std::string claimed(reinterpret_cast<const char*>(data + aad::HEADER_LEN), p);
        const bool is_written = ref_utf8(claimed) && ref_write_context(e, claimed) ==
                                                          std::vector<std::uint8_t>(data, data + size);
        FUZZ_CHECK(!is_written);
    }
}

void check_write(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint64_t expires_at = in.u64();
    const auto p = in.take(MAX_PURPOSE_LEN);
    const std::string purpose(p.begin(), p.end());
    if (!ref_utf8(purpose)) {
        return;  // minting only ever writes UTF-8 purposes
    }
    const HeapCopy pur(purpose);
    const Bytes rec = aad::write_context(expires_at, pur.text());
    const auto ref = ref_write_context(expires_at, purpose);
    FUZZ_CHECK(rec.size() == ref.size());
    FUZZ_CHECK(std::equal(rec.begin(), rec.end(), ref.begin()));
    const HeapCopy exact(rec.data(), rec.size());
    const std::optional<aad::Context> back = aad::Context::from_bytes(exact.bytes());
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(back->expires_at == expires_at);
    FUZZ_CHECK(back->purpose == purpose);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_parse(data, size);
    check_write(data, size);
    return 0;
}
