// random_test.cc - fill_random and its two methods, the method choice, and
// the device fallback's one-time open under concurrent first users.
#include "random.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "norvane/norvane.h"
#include "test_util.h"

namespace norvane {
namespace {

using random_detail::Method;
using Filler = bool (*)(std::span<std::uint8_t>) noexcept;

// looks_filled is true when no 16 consecutive bytes are zero: a buffer that
// started all zero was then written everywhere (a false alarm has odds 2**-128).
bool looks_filled(const std::vector<std::uint8_t>& b) {
    std::size_t run = 0;
    for (std::uint8_t v : b) {
        run = v == 0 ? run + 1 : 0;
        if (run == 16) return false;
    }
    return true;
}

void check_filler(Filler fill) {
    std::vector<std::uint8_t> a(32), b(32);
    ASSERT_TRUE(fill(a));
    ASSERT_TRUE(fill(b));
    EXPECT_NE(a, b);
    for (std::size_t n : {1u, 12u, 24u, 4097u, 1u << 20}) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> big(n, 0);
        ASSERT_TRUE(fill(big));
        if (n >= 16) {
            EXPECT_TRUE(looks_filled(big));
        }
    }
    EXPECT_TRUE(fill(std::span<std::uint8_t>()));
}

// MethodGuard restores the process-wide method choice when it goes.
class MethodGuard {
public:
    explicit MethodGuard(Method m) : saved_(random_detail::current_method()) { random_detail::set_method(m); }
    ~MethodGuard() { random_detail::set_method(saved_); }

private:
    Method saved_;
};

TEST(FillRandom, GetrandomMethodFillsBuffers) { check_filler(&random_detail::fill_with_getrandom); }

TEST(FillRandom, DeviceMethodFillsBuffers) { check_filler(&random_detail::fill_with_device); }

TEST(FillRandom, FirstUseChoosesAndKeepsAMethod) {
    errno = 0;
    const long probe = syscall(SYS_getrandom, nullptr, 0, 0);
    const Method expected = random_detail::choose_method(probe, errno);
    check_filler(&fill_random);
    EXPECT_EQ(random_detail::current_method(), expected);
}

TEST(FillRandom, ChooseMethodMapsTheProbe) {
    EXPECT_EQ(random_detail::choose_method(-1, ENOSYS), Method::Device);
    EXPECT_EQ(random_detail::choose_method(-1, EPERM), Method::Device);
    EXPECT_EQ(random_detail::choose_method(0, 0), Method::Getrandom);
    EXPECT_EQ(random_detail::choose_method(-1, EINVAL), Method::Getrandom);
    EXPECT_EQ(random_detail::choose_method(-1, EFAULT), Method::Getrandom);
    EXPECT_EQ(random_detail::choose_method(-1, EINTR), Method::Getrandom);
    EXPECT_EQ(random_detail::choose_method(-1, EAGAIN), Method::Getrandom);
}

TEST(FillRandom, MintingWorksWithEitherMethod) {
    for (Method m : {Method::Device, Method::Getrandom}) {
        MethodGuard guard(m);
        for (Backend b : {Backend::Aes256Gcm, Backend::XChaCha20Poly1305}) {
            SCOPED_TRACE(static_cast<int>(m) * 10 + static_cast<int>(b));
            Norvane nv = Norvane::create(b, test::make_key(1, 2));
            auto t = nv.encrypt(test::bytes_of("hi"), std::nullopt, std::nullopt);
            ASSERT_TRUE(t.ok());
            auto p = nv.decrypt_for_at(*t, "session", 0);
            ASSERT_TRUE(p.ok());
            EXPECT_EQ(test::text_of(*p), "hi");
        }
        EXPECT_EQ(random_detail::current_method(), m);
    }
}

TEST(FillRandom, ThreadsRacingTheFirstDeviceOpenAllSucceed) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<std::vector<std::uint8_t>> out(kThreads, std::vector<std::uint8_t>(32));
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            ok[i] = random_detail::fill_with_device(out[i]) ? 1 : 0;
        });
    }
    for (auto& t : threads) t.join();
    std::set<std::vector<std::uint8_t>> distinct(out.begin(), out.end());
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(ok[i], 1) << "thread " << i;
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace norvane
