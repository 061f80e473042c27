// Google Benchmark of the token core: codec, adapters, minting, opening.
#include <benchmark/benchmark.h>

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
void BM_Base64EncodeKernel(benchmark::State& state) {
    const auto k = static_cast<base64url::Kernel>(state.range(0));
    if (!base64url::cpu_runs(k)) {
        state.SkipWithError("this CPU does not run the kernel");
        return;
    }
    state.SetLabel(base64url::kernel_name(k));
    const auto data = payload(static_cast<std::size_t>(state.range(1)));
    std::string out(base64url::encoded_len(data.size()), '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64url::encode_with(k, data, out.data()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(1));
}

void BM_Base64DecodeKernel(benchmark::State& state) {
    const auto k = static_cast<base64url::Kernel>(state.range(0));
    if (!base64url::cpu_runs(k)) {
        state.SkipWithError("this CPU does not run the kernel");
        return;
    }
    state.SetLabel(base64url::kernel_name(k));
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
BENCHMARK(BM_Encrypt<Backend::Aes256Gcm>)->SIZES;
BENCHMARK(BM_Encrypt<Backend::XChaCha20Poly1305>)->SIZES;
BENCHMARK(BM_DecryptForAt<Backend::Aes256Gcm>)->SIZES;
BENCHMARK(BM_DecryptForAt<Backend::XChaCha20Poly1305>)->SIZES;

}  // namespace

BENCHMARK_MAIN();
