// random_test.cc - fill_random and its two methods, the method choice, and
// the device fallback's one-time open under concurrent first users.
#include "random.h"

#include <fcntl.h>
#include <pthread.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "norvane/norvane.h"
#include "platform.h"
#include "primitives.h"
#include "test_util.h"
#include "vdso_getrandom.h"

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

// Both routes of the getrandom method work wherever they can be taken: the
// C library's getrandom() always, the vDSO called directly where the kernel
// has it (elsewhere the same call makes the system call).
TEST(FillRandom, LibcRouteFillsBuffers) { check_filler(&random_detail::fill_with_libc_getrandom); }

TEST(FillRandom, VdsoRouteFillsBuffers) {
    check_filler(&random_detail::fill_with_vdso_getrandom);
    if (!vdso_getrandom::available()) {
        GTEST_SKIP() << "this kernel's vDSO has no getrandom: the direct route made the system call";
    }
}

TEST(FillRandom, RouteIsTheVdsoOnlyWhereTheCLibraryDoesNotUseIt) {
    const bool libc_has_it = platform::libc_getrandom_with_vdso() != nullptr;
    EXPECT_EQ(random_detail::current_route(), vdso_getrandom::available() && !libc_has_it && !software_forced()
                                                  ? random_detail::Route::Vdso
                                                  : random_detail::Route::Libc);
}

// The vDSO is found without the dynamic loader's help wherever the kernel
// offers getrandom in it: Linux 6.11 and later on x86_64, 6.12 on aarch64.
TEST(FillRandom, VdsoLookupAgreesWithTheKernel) {
    if (platform::VDSO_GETRANDOM.name == nullptr) {
        EXPECT_FALSE(vdso_getrandom::available());
        GTEST_SKIP() << "no vDSO getrandom on this architecture";
    }
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    unsigned major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(u.release, "%u.%u", &major, &minor), 2);
#if defined(__aarch64__)
    const unsigned since = 12;
#else
    const unsigned since = 11;
#endif
    if (std::getenv("NORVANE_NO_VDSO_EXPECTED") != nullptr || (major == 6 && minor < since) || major < 6) {
        GTEST_SKIP() << "kernel " << u.release << " (or an emulator) may have no vDSO getrandom";
    }
    EXPECT_TRUE(vdso_getrandom::available()) << "kernel " << u.release;
    EXPECT_EQ(platform::vdso_symbol({platform::VDSO_GETRANDOM.name, "NO_SUCH_VERSION"}), nullptr);
    EXPECT_EQ(platform::vdso_symbol({"__vdso_no_such_function", platform::VDSO_GETRANDOM.version}), nullptr);
}

using Nonce24 = std::array<std::uint8_t, 24>;

std::vector<Nonce24> draw(std::size_t n) {
    std::vector<Nonce24> out(n);
    for (Nonce24& x : out) {
        EXPECT_TRUE(fill_random(x));
    }
    return out;
}

TEST(FillRandom, SixteenThreadsDrawDistinctNonces) {
    constexpr int kThreads = 16;
    constexpr std::size_t kEach = 2000;
    std::latch start(kThreads);
    std::vector<std::vector<Nonce24>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            got[i] = draw(kEach);
        });
    }
    for (auto& t : threads) t.join();
    std::set<Nonce24> all;
    for (const auto& v : got) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), kThreads * kEach);
}

// A thread that ends gives its state back; the next new thread takes it and
// still draws bytes of its own.
TEST(FillRandom, AStateOfAnEndedThreadServesTheNextThread) {
    if (random_detail::current_route() != random_detail::Route::Vdso) {
        GTEST_SKIP() << "the C library's getrandom() keeps its own states";
    }
    std::vector<Nonce24> first, second;
    std::thread([&] { first = draw(100); }).join();
    const std::size_t pooled = vdso_getrandom::pooled_states();
    ASSERT_GE(pooled, 1u);
    std::thread([&] {
        second = draw(100);
        EXPECT_EQ(vdso_getrandom::pooled_states(), pooled - 1);  // it took the state back out
    }).join();
    EXPECT_EQ(vdso_getrandom::pooled_states(), pooled);
    std::set<Nonce24> all(first.begin(), first.end());
    all.insert(second.begin(), second.end());
    EXPECT_EQ(all.size(), 200u);
}

// drawing_alongside runs `mine` on this thread while a thread started now
// draws `each` nonces too, both after the new thread's first draw, and
// returns every nonce drawn.
std::vector<Nonce24> drawing_alongside(std::size_t each) {
    std::latch other_drew(1);
    std::vector<Nonce24> theirs, ours;
    std::thread other([&] {
        theirs = draw(1);
        other_drew.count_down();
        auto more = draw(each);
        theirs.insert(theirs.end(), more.begin(), more.end());
    });
    other_drew.wait();
    ours = draw(each);
    other.join();
    ours.insert(ours.end(), theirs.begin(), theirs.end());
    return ours;
}

std::size_t duplicates(const std::vector<Nonce24>& v) { return v.size() - std::set<Nonce24>(v.begin(), v.end()).size(); }

// A program's thread_local that is built before the thread's first mint is
// destroyed after everything the core set up for the thread, and may still
// mint (flushing tokens at thread exit), while new threads start. The
// thread's vDSO state must stay its own until it can never draw again.
struct AtThreadExit {
    std::function<void()> run;
    ~AtThreadExit() {
        if (run) run();
    }
};
thread_local AtThreadExit t_at_exit;

// Each thread produces nonces in one of two ways: minting tokens through the
// public API (the nonce field stands for the nonce), or drawing 12-byte
// nonces in a tight loop, which keeps both threads inside the vDSO call
// most of the time, so that a shared state shows as repeats at once.
using NonceSource = std::function<std::vector<std::string>(std::size_t)>;

std::vector<std::string> minted_nonces(std::size_t n) {
    static const Norvane nv = Norvane::create(Backend::Aes256Gcm, test::make_key(3, 4));
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        auto t = nv.encrypt(test::bytes_of("x"), std::nullopt, std::nullopt);
        EXPECT_TRUE(t.ok());
        out.push_back(test::fields(*t)[0]);
    }
    return out;
}

std::vector<std::string> drawn_nonces(std::size_t n) {
    std::vector<std::string> out(n, std::string(AES_NONCE_LEN, '\0'));
    for (std::string& x : out) {
        EXPECT_TRUE(fill_random(std::span(reinterpret_cast<std::uint8_t*>(x.data()), x.size())));
    }
    return out;
}

class ThreadExit : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {};

TEST_P(ThreadExit, AThreadLocalDestructorSharesNoStateWithANewThread) {
    const NonceSource nonces = std::string(GetParam().first) == "mint" ? &minted_nonces : &drawn_nonces;
    const std::size_t each = GetParam().second;
    std::latch exiting(1), other_started(1);
    std::vector<std::string> at_exit, other;
    std::thread first([&] {
        t_at_exit.run = [&] {  // built before this thread's first nonce, so destroyed after the core's state
            exiting.count_down();
            other_started.wait();
            at_exit = nonces(each);
        };
        nonces(1);
    });
    exiting.wait();
    std::thread second([&] {
        other = nonces(1);  // a new thread's first nonce: the pool hands out its most recent state
        other_started.count_down();
        auto more = nonces(each);
        other.insert(other.end(), more.begin(), more.end());
    });
    first.join();
    second.join();
    std::set<std::string> all(at_exit.begin(), at_exit.end());
    all.insert(other.begin(), other.end());
    EXPECT_EQ(at_exit.size() + other.size(), 2 * each + 1);
    EXPECT_EQ(all.size(), at_exit.size() + other.size()) << "nonces repeated";
}

INSTANTIATE_TEST_SUITE_P(Nonces, ThreadExit,
                         ::testing::Values(std::make_pair("mint", std::size_t{200000}),
                                           std::make_pair("draw", std::size_t{1000000})),
                         [](const auto& info) { return std::string(info.param.first); });

// Code that runs after the core gave the thread's state back (a pthread
// key's destructor run after the core's) draws through the system call, and
// never from the state a new thread has taken meanwhile.
TEST(FillRandom, DrawingAfterTheStateWasGivenBackUsesTheSystemCall) {
    if (random_detail::current_route() != random_detail::Route::Vdso) {
        GTEST_SKIP() << "the C library's getrandom() keeps its own states";
    }
    draw(1);  // the core's key exists before the test's, so its destructor runs first
    static std::vector<Nonce24> drawn;
    static bool held_at_exit = true;
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key,
                                 [](void*) {
                                     held_at_exit = vdso_getrandom::holds_state();
                                     drawn = drawing_alongside(20000);
                                 }),
              0);
    std::thread([&] {
        draw(1);
        EXPECT_TRUE(vdso_getrandom::holds_state());
        pthread_setspecific(key, &key);
    }).join();
    pthread_key_delete(key);
    EXPECT_FALSE(held_at_exit);
    EXPECT_EQ(drawn.size(), 2 * 20000u + 1);
    EXPECT_EQ(duplicates(drawn), 0u);
}

// children_draw forks `children` processes at one point, each drawing
// `each` nonces after the fork (the parent too), and returns every nonce
// drawn, read back through a pipe.
std::vector<Nonce24> children_draw(int children, std::size_t each) {
    std::vector<Nonce24> all;
    std::vector<int> pipes;
    for (int c = 0; c < children; ++c) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const auto mine = draw(each);
            const auto* bytes = reinterpret_cast<const char*>(mine.data());
            std::size_t left = mine.size() * sizeof(Nonce24);
            while (left > 0) {
                const ssize_t w = write(fds[1], bytes, left);
                if (w <= 0) std::_Exit(1);
                bytes += w;
                left -= static_cast<std::size_t>(w);
            }
            std::_Exit(0);
        }
        close(fds[1]);
        pipes.push_back(fds[0]);
    }
    const auto parents = draw(each);
    all.insert(all.end(), parents.begin(), parents.end());
    for (int fd : pipes) {
        std::vector<Nonce24> theirs(each);
        auto* bytes = reinterpret_cast<char*>(theirs.data());
        std::size_t got = 0;
        while (got < each * sizeof(Nonce24)) {
            const ssize_t r = read(fd, bytes + got, each * sizeof(Nonce24) - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        EXPECT_EQ(got, each * sizeof(Nonce24));
        close(fd);
        all.insert(all.end(), theirs.begin(), theirs.end());
    }
    for (int c = 0; c < children; ++c) {
        int status = 0;
        wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return all;
}

TEST(FillRandom, ForkedChildrenDrawDistinctNonces) {
    draw(10);  // the parent's state exists before the fork
    const auto all = children_draw(4, 500);
    EXPECT_EQ(std::set<Nonce24>(all.begin(), all.end()).size(), all.size());
}

TEST(FillRandom, ForkedChildrenOfAThreadedParentDrawDistinctNonces) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 3; ++i) {
        busy.emplace_back([&] {
            while (!stop.load()) draw(1);
        });
    }
    std::vector<Nonce24> all;
    for (int round = 0; round < 5; ++round) {
        const auto some = children_draw(3, 200);
        all.insert(all.end(), some.begin(), some.end());
    }
    stop = true;
    for (auto& t : busy) t.join();
    EXPECT_EQ(std::set<Nonce24>(all.begin(), all.end()).size(), all.size());
}

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

// urandom_fds lists the descriptors of this process open on /dev/urandom.
std::vector<int> urandom_fds() {
    std::vector<int> out;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[PATH_MAX];
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<std::size_t>(n)) == "/dev/urandom") {
            out.push_back(fd);
        }
    }
    return out;
}

bool all_zero(const std::vector<std::uint8_t>& b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

// The scenarios below run in a child process (their exit status is their
// verdict: 0 passes, anything else names the failed check), because they
// close descriptors and leave the process-wide slot changed. Each starts
// from a slot that was never opened.
void fresh_slot() {
    for (int fd : urandom_fds()) close(fd);
    random_detail::exchange_slot(random_detail::SlotState::NotOpened);
}

// reuse_scenario: the fallback keeps a descriptor number; a program that
// closes it and opens another file gets the same number. What that file
// holds (here /dev/zero, /dev/null or a regular file of zeros) must never
// become a nonce.
int reuse_scenario(const std::string& impostor) {
    fresh_slot();
    std::vector<std::uint8_t> first(24);
    if (!random_detail::fill_with_device(first)) return 10;
    const std::vector<int> fds = urandom_fds();
    if (fds.size() != 1) return 11;
    const int number = fds[0];
    std::string file = impostor;
    if (file == "regular") {
        char name[] = "/tmp/norvane-zeros-XXXXXX";
        const int tmp = mkstemp(name);
        if (tmp < 0 || ftruncate(tmp, 1 << 20) != 0) return 12;
        close(tmp);
        file = name;
    }
    const int other = open(file.c_str(), O_RDONLY);
    if (other < 0 || dup2(other, number) != number) return 13;
    close(other);
    std::vector<std::uint8_t> a(24);
    std::vector<std::uint8_t> b(24);
    if (!random_detail::fill_with_device(a) || !random_detail::fill_with_device(b)) return 14;
    if (all_zero(a) || all_zero(b) || a == b) return 15;
    // The impostor's number is left to its owner, still open on it.
    struct stat st;
    if (fstat(number, &st) != 0) return 16;
    const std::vector<int> now = urandom_fds();
    if (now.size() != 1 || now[0] == number) return 17;
    return 0;
}

class DeviceFallbackReuse : public ::testing::TestWithParam<const char*> {};

TEST_P(DeviceFallbackReuse, AReusedDescriptorNumberIsNotReadFrom) {
    EXPECT_EXIT(std::_Exit(reuse_scenario(GetParam())), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Impostors, DeviceFallbackReuse, ::testing::Values("/dev/zero", "/dev/null", "regular"),
                         [](const auto& info) {
                             const std::string name = info.param;
                             return name == "regular" ? std::string("RegularFile") : name.substr(5);
                         });

int standard_stream_scenario() {
    fresh_slot();
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    std::vector<std::uint8_t> b(16);
    if (!random_detail::fill_with_device(b)) return 10;
    const std::vector<int> fds = urandom_fds();
    if (fds.size() != 1 || fds[0] <= STDERR_FILENO) return 11;
    // 0 and 1 are free again: nothing of ours sits on them.
    struct stat st;
    if (fstat(STDIN_FILENO, &st) == 0 || fstat(STDOUT_FILENO, &st) == 0) return 12;
    return 0;
}

TEST(FillRandom, DeviceDescriptorNeverTakesAStandardStream) {
    EXPECT_EXIT(std::_Exit(standard_stream_scenario()), ::testing::ExitedWithCode(0), "");
}

int closed_scenario() {
    fresh_slot();
    std::vector<std::uint8_t> b(16);
    if (!random_detail::fill_with_device(b)) return 10;
    for (int fd : urandom_fds()) close(fd);
    if (!random_detail::fill_with_device(b) || urandom_fds().size() != 1) return 11;
    return 0;
}

TEST(FillRandom, ClosedDescriptorIsOpenedAgain) {
    EXPECT_EXIT(std::_Exit(closed_scenario()), ::testing::ExitedWithCode(0), "");
}

// fork_scenario: a child forked while another thread is opening the device
// has no such thread; it must open the device itself instead of waiting for
// ever (an alarm ends it if it does wait).
int fork_scenario() {
    fresh_slot();
    random_detail::exchange_slot(random_detail::SlotState::Opening);
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        std::vector<std::uint8_t> b(16);
        std::_Exit(random_detail::fill_with_device(b) && !all_zero(b) ? 0 : 20);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 10;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 30;
}

TEST(FillRandom, ForkWhileAnotherThreadOpensDoesNotHangTheChild) {
    EXPECT_EXIT(std::_Exit(fork_scenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace norvane
