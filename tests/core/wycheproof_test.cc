// wycheproof_test.cc - every case of the Wycheproof AEAD vectors in
// NORVANE_TESTDATA_DIR, one test per tcId, through the two adapters on
// every engine this build and CPU can run (the XChaCha20-Poly1305 one also
// through its public calls, each engine whatever the payload's length): valid cases seal to exactly
// ct || tag and open to msg; invalid cases are Tampered.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "aes_backend.h"
#include "test_util.h"
#include "xchacha_backend.h"

namespace norvane {
namespace {

using test::from_hex;
using test::to_hex;

struct Vector {
    int tc_id = 0;
    std::string comment;
    Bytes key, iv, aad, msg, ct, tag;
    bool valid = false;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << "tcId " << v.tc_id << " (" << v.comment << ")"; }

const std::filesystem::path testdata_dir{NORVANE_TESTDATA_DIR};

struct VectorFile {
    bool loaded = false;
    long number_of_tests = -1;
    std::vector<Vector> vectors;
};

// load reads one file; a missing or unreadable file gives an empty list,
// which the count test below reports.
VectorFile load(const char* name) {
    VectorFile f;
    std::ifstream in(testdata_dir / name);
    if (!in) return f;
    try {
        const nlohmann::json doc = nlohmann::json::parse(in);
        f.number_of_tests = doc.at("numberOfTests").get<long>();
        for (const auto& group : doc.at("testGroups")) {
            for (const auto& t : group.at("tests")) {
                Vector v;
                v.tc_id = t.at("tcId").get<int>();
                v.comment = t.value("comment", "");
                v.key = from_hex(t.at("key").get<std::string>());
                v.iv = from_hex(t.at("iv").get<std::string>());
                v.aad = from_hex(t.at("aad").get<std::string>());
                v.msg = from_hex(t.at("msg").get<std::string>());
                v.ct = from_hex(t.at("ct").get<std::string>());
                v.tag = from_hex(t.at("tag").get<std::string>());
                v.valid = t.at("result").get<std::string>() == "valid";
                f.vectors.push_back(std::move(v));
            }
        }
        f.loaded = true;
    } catch (const nlohmann::json::exception&) {
        f.vectors.clear();
    }
    return f;
}

const VectorFile& aes_file() {
    static const VectorFile f = load("aes256gcm_vectors.json");
    return f;
}

const VectorFile& xchacha_file() {
    static const VectorFile f = load("xchacha20poly1305_vectors.json");
    return f;
}

std::string case_name(const ::testing::TestParamInfo<Vector>& info) {
    return "tc" + std::to_string(info.param.tc_id);
}

Bytes sealed_of(const Vector& v) {
    Bytes s = v.ct;
    s.insert(s.end(), v.tag.begin(), v.tag.end());
    return s;
}

TEST(WycheproofFiles, EveryCaseIsPresent) {
    if (!std::filesystem::is_directory(testdata_dir)) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << "the vectors folder " << testdata_dir << " is missing";
        }
        GTEST_SKIP() << "the vectors folder " << testdata_dir << " is missing";
    }
    const std::pair<const VectorFile*, std::size_t> files[] = {{&aes_file(), 66}, {&xchacha_file(), 306}};
    for (auto [file, count] : files) {
        ASSERT_TRUE(file->loaded);
        EXPECT_EQ(file->vectors.size(), count);
        EXPECT_EQ(file->number_of_tests, static_cast<long>(count));
        std::set<int> ids;
        for (const Vector& v : file->vectors) ids.insert(v.tc_id);
        EXPECT_EQ(ids.size(), count) << "tcIds are not unique, so test names would clash";
    }
}

class WycheproofAes : public ::testing::TestWithParam<Vector> {};
class WycheproofXChaCha : public ::testing::TestWithParam<Vector> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WycheproofAes);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WycheproofXChaCha);

// check_case runs one vector through an adapter's seal and open.
void check_case(const Vector& v, const auto& seal, const auto& open) {
    ASSERT_EQ(v.tag.size(), TAG_LEN);
    const Bytes want = sealed_of(v);
    const Bytes sealed = seal();
    Result<Bytes> opened = open(want);
    if (v.valid) {
        EXPECT_EQ(to_hex(sealed), to_hex(want));
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(to_hex(*opened), to_hex(v.msg));
    } else {
        EXPECT_NE(to_hex(sealed), to_hex(want));
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error(), NorvaneError::Tampered);
    }
}

TEST_P(WycheproofAes, Case) {
    const Vector& v = GetParam();
    ASSERT_EQ(v.key.size(), CIPHER_KEY_LEN);
    ASSERT_EQ(v.iv.size(), AES_NONCE_LEN);
    const aes_backend::Nonce nonce(v.iv.data(), AES_NONCE_LEN);
    for (const aes_backend::Engine e : aes_backend::engines()) {
        SCOPED_TRACE(aes_backend::engine_name(e));
        auto key = aes_backend::prepare_with(e, CipherKeyView(v.key.data(), CIPHER_KEY_LEN));
        check_case(
            v, [&] { return aes_backend::encrypt(*key, nonce, v.aad, v.msg); },
            [&](const Bytes& sealed) -> Result<Bytes> {
                Bytes buf = sealed;
                if (!key->open(nonce, v.aad, buf)) {
                    // A refusal leaves the sealed bytes as they came.
                    EXPECT_EQ(to_hex(buf), to_hex(sealed));
                    return NorvaneError::Tampered;
                }
                buf.resize(buf.size() - TAG_LEN);
                return buf;
            });
    }
}

TEST_P(WycheproofXChaCha, Case) {
    const Vector& v = GetParam();
    ASSERT_EQ(v.key.size(), CIPHER_KEY_LEN);
    ASSERT_EQ(v.iv.size(), XCHACHA_NONCE_LEN);
    const xchacha_backend::KeyView key(v.key.data(), CIPHER_KEY_LEN);
    const xchacha_backend::Nonce nonce(v.iv.data(), XCHACHA_NONCE_LEN);
    check_case(
        v, [&] { return xchacha_backend::encrypt(key, nonce, v.aad, v.msg); },
        [&](const Bytes& sealed) { return xchacha_backend::decrypt(key, nonce, sealed, v.aad); });
    const XChaChaKey prepared(key);
    for (const xchacha_backend::Engine e : xchacha_backend::kAllEngines) {
        SCOPED_TRACE(xchacha_backend::engine_name(e));
        check_case(
            v,
            [&] {
                Bytes out(v.msg.size() + TAG_LEN);
                prepared.seal_with(e, nonce, v.aad, v.msg, out.data());
                return out;
            },
            [&](const Bytes& sealed) -> Result<Bytes> {
                Bytes buf = sealed;
                if (!prepared.open_with(e, nonce, v.aad, buf)) {
                    // A refusal leaves the sealed bytes as they came.
                    EXPECT_EQ(to_hex(buf), to_hex(sealed));
                    return NorvaneError::Tampered;
                }
                buf.resize(buf.size() - TAG_LEN);
                return buf;
            });
    }
}

INSTANTIATE_TEST_SUITE_P(Aes256Gcm, WycheproofAes, ::testing::ValuesIn(aes_file().vectors), case_name);
INSTANTIATE_TEST_SUITE_P(XChaCha20Poly1305, WycheproofXChaCha, ::testing::ValuesIn(xchacha_file().vectors),
                         case_name);

}  // namespace
}  // namespace norvane
