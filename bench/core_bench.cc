// Google Benchmark of the token core: codec, adapters, minting, opening.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "aes_backend.h"
#include "base64url_simd.h"
#include "norvane/base64url.h"
#include "norvane/norvane.h"
#include "random.h"
#include "xchacha_backend.h"

namespace {

using namespace norvane;

Key bench_key() { return *parse_decimal_key("170141183460469231731687303715884105727"); }

std::vector<std::uint8_t> payload(std::size_t n) { return std::vector<std::uint8_t>(n, 'a'); }

const Bytes& bench_aad() {
    static const Bytes aad = aad::write_context(0, DEFAULT_PURPOSE);
    return aad;
}

void BM_Base64Encode(benchmark::State& state) {
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    std::string out(base64url::encoded_len(data.size()), '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64url::encode(data, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    std::string text(base64url::encoded_len(data.size()), '\0');
    base64url::encode(data, text.data());
    std::vector<std::uint8_t> out(base64url::decoded_capacity(text.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64url::decode_into(text, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same with each kernel the CPU runs (0 scalar, 1 SSSE3, 2 AVX2).
// kernel_of names the benchmark's kernel, or skips it where the CPU lacks it.
std::optional<base64url::Kernel> kernel_of(benchmark::State& state) {
    const auto k = static_cast<base64url::Kernel>(state.range(0));
    if (!base64url::cpu_runs(k)) {
        state.SkipWithError("this CPU does not run the kernel");
        return std::nullopt;
    }
    state.SetLabel(base64url::kernel_name(k));
    return k;
}

void BM_Base64EncodeKernel(benchmark::State& state) {
    const auto kernel = kernel_of(state);
    if (!kernel) {
        return;
    }
    const base64url::Kernel k = *kernel;
    const auto data = payload(static_cast<std::size_t>(state.range(1)));
    std::string out(base64url::encoded_len(data.size()), '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64url::encode_with(k, data, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(1));
}

void BM_Base64DecodeKernel(benchmark::State& state) {
    const auto kernel = kernel_of(state);
    if (!kernel) {
        return;
    }
    const base64url::Kernel k = *kernel;
    const auto data = payload(static_cast<std::size_t>(state.range(1)));
    std::string text(base64url::encoded_len(data.size()), '\0');
    base64url::encode(data, text.data());
    std::vector<std::uint8_t> out(base64url::decoded_capacity(text.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64url::decode_into_with(k, text, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(1));
}

void BM_AesSeal(benchmark::State& state) {
    const auto ck = derive_cipher_key(Backend::Aes256Gcm, bench_key());
    const auto ctx = aes_backend::prepare(ck.view());
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    const std::uint8_t nonce[AES_NONCE_LEN] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(aes_backend::encrypt(*ctx, aes_backend::Nonce(nonce, AES_NONCE_LEN), bench_aad(), data));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_AesOpen(benchmark::State& state) {
    const auto ck = derive_cipher_key(Backend::Aes256Gcm, bench_key());
    const auto ctx = aes_backend::prepare(ck.view());
    const std::uint8_t nonce[AES_NONCE_LEN] = {};
    const Bytes sealed = aes_backend::encrypt(*ctx, aes_backend::Nonce(nonce, AES_NONCE_LEN), bench_aad(),
                                              payload(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(aes_backend::decrypt(*ctx, aes_backend::Nonce(nonce, AES_NONCE_LEN), sealed, bench_aad()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_XChaChaSeal(benchmark::State& state) {
    const auto ck = derive_cipher_key(Backend::XChaCha20Poly1305, bench_key());
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    const std::uint8_t nonce[XCHACHA_NONCE_LEN] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            xchacha_backend::encrypt(ck.view(), xchacha_backend::Nonce(nonce, XCHACHA_NONCE_LEN), bench_aad(), data));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_XChaChaOpen(benchmark::State& state) {
    const auto ck = derive_cipher_key(Backend::XChaCha20Poly1305, bench_key());
    const std::uint8_t nonce[XCHACHA_NONCE_LEN] = {};
    const Bytes sealed = xchacha_backend::encrypt(ck.view(), xchacha_backend::Nonce(nonce, XCHACHA_NONCE_LEN),
                                                  bench_aad(), payload(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            xchacha_backend::decrypt(ck.view(), xchacha_backend::Nonce(nonce, XCHACHA_NONCE_LEN), sealed, bench_aad()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The XChaCha20-Poly1305 adapter on each engine (0 BearSSL, 1 libsodium)
// whatever the length, at many lengths: where the two cross is where
// xchacha_backend::SODIUM_MIN_LEN lies. Sealing writes into a buffer made
// once; opening deciphers in place, so each iteration first copies the
// sealed bytes back (the same copy for both engines).
void BM_XChaChaSealWith(benchmark::State& state) {
    const auto engine = static_cast<xchacha_backend::Engine>(state.range(0));
    state.SetLabel(xchacha_backend::engine_name(engine));
    const auto ck = derive_cipher_key(Backend::XChaCha20Poly1305, bench_key());
    const XChaChaKey key(ck.view());
    const auto data = payload(static_cast<std::size_t>(state.range(1)));
    const std::uint8_t nonce[XCHACHA_NONCE_LEN] = {};
    Bytes out(data.size() + TAG_LEN);
    for (auto _ : state) {
        key.seal_with(engine, ByteView(nonce, XCHACHA_NONCE_LEN), bench_aad(), data, out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(1));
}

void BM_XChaChaOpenWith(benchmark::State& state) {
    const auto engine = static_cast<xchacha_backend::Engine>(state.range(0));
    state.SetLabel(xchacha_backend::engine_name(engine));
    const auto ck = derive_cipher_key(Backend::XChaCha20Poly1305, bench_key());
    const XChaChaKey key(ck.view());
    const std::uint8_t nonce[XCHACHA_NONCE_LEN] = {};
    const Bytes sealed = seal_to_bytes(key, ByteView(nonce, XCHACHA_NONCE_LEN), bench_aad(),
                                       payload(static_cast<std::size_t>(state.range(1))));
    Bytes buf(sealed.size());
    for (auto _ : state) {
        std::copy(sealed.begin(), sealed.end(), buf.begin());
        if (!key.open_with(engine, ByteView(nonce, XCHACHA_NONCE_LEN), bench_aad(), buf)) {
            state.SkipWithError("the sealed bytes did not open");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(1));
}

template <Backend B>
void BM_Encrypt(benchmark::State& state) {
    const auto n = Norvane::create(B, bench_key());
    const auto data = payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(n.encrypt(data, std::nullopt, std::nullopt));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <Backend B>
void BM_DecryptForAt(benchmark::State& state) {
    const auto n = Norvane::create(B, bench_key());
    const auto token = n.encrypt(payload(static_cast<std::size_t>(state.range(0))), std::nullopt, std::nullopt);
    for (auto _ : state) {
        benchmark::DoNotOptimize(n.decrypt_for_at(*token, DEFAULT_PURPOSE, 1'700'000'000));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The nonce: the system call through the C library, the vDSO called
// directly (the system call where the kernel has no vDSO getrandom), and
// fill_random with the route it chose.
void BM_FillRandom(benchmark::State& state) {
    static constexpr bool (*fillers[])(std::span<std::uint8_t>) noexcept = {
        &random_detail::fill_with_libc_getrandom, &random_detail::fill_with_vdso_getrandom, &fill_random};
    const auto fill = fillers[state.range(0)];
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(state.range(1)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fill(buf));
    }
    state.SetLabel(state.range(0) == 0 ? "libc" : state.range(0) == 1 ? "vdso" : "chosen");
}

#define SIZES Arg(0)->Arg(64)->Arg(1024)->Arg(16384)
BENCHMARK(BM_FillRandom)->ArgsProduct({{0, 1, 2}, {12, 24}});
BENCHMARK(BM_Base64Encode)->SIZES;
BENCHMARK(BM_Base64Decode)->SIZES;
BENCHMARK(BM_Base64EncodeKernel)->ArgsProduct({{0, 1, 2}, {64, 16384}});
BENCHMARK(BM_Base64DecodeKernel)->ArgsProduct({{0, 1, 2}, {64, 16384}});
BENCHMARK(BM_AesSeal)->SIZES;
BENCHMARK(BM_AesOpen)->SIZES;
BENCHMARK(BM_XChaChaSeal)->SIZES;
BENCHMARK(BM_XChaChaOpen)->SIZES;
#define ENGINE_SIZES                                                                                          \
    ArgsProduct({{0, 1},                                                                                      \
                 {0, 1, 8, 16, 32, 48, 64, 80, 96, 128, 160, 192, 224, 256, 320, 384, 448, 512, 640, 768, 896, 1024, 1536, 2048, 4096, 8192, 16384}})
BENCHMARK(BM_XChaChaSealWith)->ENGINE_SIZES;
BENCHMARK(BM_XChaChaOpenWith)->ENGINE_SIZES;
BENCHMARK(BM_Encrypt<Backend::Aes256Gcm>)->SIZES;
BENCHMARK(BM_Encrypt<Backend::XChaCha20Poly1305>)->SIZES;
BENCHMARK(BM_DecryptForAt<Backend::Aes256Gcm>)->SIZES;
BENCHMARK(BM_DecryptForAt<Backend::XChaCha20Poly1305>)->SIZES;

}  // namespace

BENCHMARK_MAIN();
