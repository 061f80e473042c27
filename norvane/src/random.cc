#include "random.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "norvane/bytes.h"
#include "platform.h"
#include "primitives.h"
#include "vdso_getrandom.h"

namespace norvane {
namespace {

using random_detail::Method;

std::atomic<int> g_method{static_cast<int>(Method::Unchosen)};

// The fallback descriptor slot: not opened, being opened by one thread, or
// open. Threads that find it being opened sleep on the slot until the
// opener is done.
using random_detail::SlotState;
constexpr int NotOpened = static_cast<int>(SlotState::NotOpened);
constexpr int Opening = static_cast<int>(SlotState::Opening);
constexpr int Open = static_cast<int>(SlotState::Open);
std::atomic<int> g_slot{NotOpened};

// The open descriptor and the identity of the device it was opened on,
// written only by the thread that holds the slot in Opening. A descriptor
// number alone proves nothing: the program may close it (a daemonising
// helper, os.closerange) and the next open() takes the same number for
// another file. Every read is therefore bracketed by a check that the
// number still refers to this device; a reader that sees an old number
// with a new identity, or the reverse, fails the check and goes through
// the slot again.
std::atomic<int> g_fd{-1};
std::atomic<std::uint64_t> g_dev{0};
std::atomic<std::uint64_t> g_ino{0};
std::atomic<std::uint64_t> g_rdev{0};

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the futex waits on the slot's own word");

void futex_wait(std::atomic<int>* word, int expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_all(std::atomic<int>* word) noexcept {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

int open_retrying(const char* path) noexcept {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// above_standard_streams moves a descriptor that landed on 0, 1 or 2 (the
// program had closed a standard stream) to a number above them, so that the
// program's next open of a standard stream cannot take its place.
int above_standard_streams(int fd) noexcept {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// is_recorded_device tells whether `fd` is open on the character device
// recorded when the slot was last opened.
bool is_recorded_device(int fd) noexcept {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    return static_cast<std::uint64_t>(st.st_rdev) == g_rdev.load(std::memory_order_relaxed) &&
           static_cast<std::uint64_t>(st.st_ino) == g_ino.load(std::memory_order_relaxed) &&
           static_cast<std::uint64_t>(st.st_dev) == g_dev.load(std::memory_order_relaxed);
}

// open_urandom waits until /dev/random is readable (the kernel pool is
// initialised), then opens /dev/urandom, which never blocks afterwards, and
// records which device it is. Anything but a character device is refused.
int open_urandom() noexcept {
    const int rnd = open_retrying("/dev/random");
    if (rnd < 0) {
        return -1;
    }
    pollfd pfd{rnd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, -1);
    } while (r < 0 && errno == EINTR);
    close(rnd);
    if (r < 0) {
        return -1;
    }
    const int fd = above_standard_streams(open_retrying("/dev/urandom"));
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    g_dev.store(static_cast<std::uint64_t>(st.st_dev), std::memory_order_relaxed);
    g_ino.store(static_cast<std::uint64_t>(st.st_ino), std::memory_order_relaxed);
    g_rdev.store(static_cast<std::uint64_t>(st.st_rdev), std::memory_order_relaxed);
    return fd;
}

// A child forked while another thread held the slot in Opening has no such
// thread: it would wait for it forever. The child starts that slot afresh.
void reset_slot_in_child() noexcept {
    int opening = Opening;
    g_slot.compare_exchange_strong(opening, NotOpened, std::memory_order_relaxed);
}

// The handler is registered when the library is loaded, before any thread
// can use the slot: a one-time registration on first use would itself be a
// lock that a fork could leave held.
const bool fork_handler_registered = pthread_atfork(nullptr, nullptr, &reset_slot_in_child) == 0;

// open_slot fills the slot, which the caller has taken into Opening, and
// releases it to Open or, on failure, back to NotOpened so that a later
// call tries again.
int open_slot() noexcept {
    const int fd = open_urandom();
    if (fd >= 0) {
        g_fd.store(fd, std::memory_order_relaxed);
    }
    g_slot.store(fd >= 0 ? Open : NotOpened, std::memory_order_release);
    futex_wake_all(&g_slot);
    return fd;
}

int urandom_fd() noexcept {
    for (;;) {
        int s = g_slot.load(std::memory_order_acquire);
        if (s == Open) {
            return g_fd.load(std::memory_order_relaxed);
        }
        if (s == NotOpened) {
            if (!g_slot.compare_exchange_strong(s, Opening, std::memory_order_acq_rel)) {
                continue;
            }
            return open_slot();
        }
        futex_wait(&g_slot, Opening);
    }
}

// replace_stale opens the device anew through the slot when `stale`, the
// number a reader found, no longer refers to it. The number itself is left
// alone: it belongs to whoever opened it last. If another thread has
// already replaced it, there is nothing to do.
void replace_stale(int stale) noexcept {
    int s = Open;
    if (g_slot.compare_exchange_strong(s, Opening, std::memory_order_acq_rel)) {
        if (g_fd.load(std::memory_order_relaxed) == stale && !is_recorded_device(stale)) {
            open_slot();
        } else {
            g_slot.store(Open, std::memory_order_release);
            futex_wake_all(&g_slot);
        }
    } else if (s == Opening) {
        futex_wait(&g_slot, Opening);
    }
}

// fill_loop calls `step(pos, missing)` until the buffer is full. EINTR is
// retried; 0, any other error, or more bytes than asked for fail.
template <class Step>
bool fill_loop(std::span<std::uint8_t> buf, Step step) noexcept {
    std::size_t done = 0;
    while (done < buf.size()) {
        const std::size_t missing = buf.size() - done;
        const long r = step(buf.data() + done, missing);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0 || static_cast<unsigned long>(r) > missing) {
            return false;
        }
        done += static_cast<std::size_t>(r);
    }
    return true;
}

// The C library's getrandom() where it goes through the vDSO itself, else
// null for the system call; looked up once (racing first callers find the
// same).
constinit std::atomic<platform::GetrandomFunction> g_libc_getrandom{nullptr};
constinit std::atomic<bool> g_libc_looked_up{false};

long libc_getrandom(std::uint8_t* p, std::size_t n) noexcept {
    if (!g_libc_looked_up.load(std::memory_order_acquire)) {
        g_libc_getrandom.store(platform::libc_getrandom_with_vdso(), std::memory_order_relaxed);
        g_libc_looked_up.store(true, std::memory_order_release);
    }
    const platform::GetrandomFunction fn = g_libc_getrandom.load(std::memory_order_relaxed);
    return fn != nullptr ? static_cast<long>(fn(p, n, 0)) : platform::getrandom_syscall(p, n, 0);
}

}  // namespace

namespace random_detail {

Method choose_method(long probe_result, int probe_errno) noexcept {
    if (probe_result < 0 && (probe_errno == ENOSYS || probe_errno == EPERM)) {
        return Method::Device;
    }
    return Method::Getrandom;
}

bool fill_with_libc_getrandom(std::span<std::uint8_t> buf) noexcept { return fill_loop(buf, &libc_getrandom); }

bool fill_with_vdso_getrandom(std::span<std::uint8_t> buf) noexcept {
    return fill_loop(buf, [](std::uint8_t* p, std::size_t n) { return vdso_getrandom::call(p, n); });
}

Route choose_route() noexcept {
    // NORVANE_FORCE_SOFTWARE leaves the vDSO alone too, for tests of the
    // portable route.
    if (software_forced() || platform::libc_getrandom_with_vdso() != nullptr || !vdso_getrandom::available()) {
        return Route::Libc;
    }
    return Route::Vdso;
}

// Chosen on first use without a lock, as the method is: racing first
// callers choose alike.
std::atomic<int> g_route{-1};

Route current_route() noexcept {
    int route = g_route.load(std::memory_order_relaxed);
    if (route < 0) {
        route = static_cast<int>(choose_route());
        g_route.store(route, std::memory_order_relaxed);
    }
    return static_cast<Route>(route);
}

bool fill_with_getrandom(std::span<std::uint8_t> buf) noexcept {
    return current_route() == Route::Vdso ? fill_with_vdso_getrandom(buf) : fill_with_libc_getrandom(buf);
}

bool fill_with_device(std::span<std::uint8_t> buf) noexcept {
    // A few rounds cover a descriptor replaced between two checks; a
    // program that keeps replacing it gets a failure, never bytes from
    // another file.
    for (int round = 0; round < 4; ++round) {
        const int fd = urandom_fd();
        if (fd < 0) {
            return false;
        }
        if (!is_recorded_device(fd)) {
            replace_stale(fd);
            continue;
        }
        const bool filled =
            fill_loop(buf, [fd](std::uint8_t* p, std::size_t n) { return static_cast<long>(read(fd, p, n)); });
        // The number may have been closed and reused while it was read.
        if (!is_recorded_device(fd)) {
            secure_wipe(buf.data(), buf.size());
            replace_stale(fd);
            continue;
        }
        return filled;
    }
    return false;
}

void set_method(Method m) noexcept { g_method.store(static_cast<int>(m), std::memory_order_relaxed); }

Method current_method() noexcept { return static_cast<Method>(g_method.load(std::memory_order_relaxed)); }

SlotState exchange_slot(SlotState s) noexcept {
    const int previous = g_slot.exchange(static_cast<int>(s), std::memory_order_acq_rel);
    futex_wake_all(&g_slot);
    return static_cast<SlotState>(previous);
}

}  // namespace random_detail

bool fill_random(std::span<std::uint8_t> buf) noexcept {
    auto method = static_cast<Method>(g_method.load(std::memory_order_relaxed));
    if (method == Method::Unchosen) {
        // Racing first callers probe alike and store the same answer.
        errno = 0;
        const long r = platform::getrandom_syscall(nullptr, 0, 0);
        method = random_detail::choose_method(r, errno);
        g_method.store(static_cast<int>(method), std::memory_order_relaxed);
    }
    return method == Method::Getrandom ? random_detail::fill_with_getrandom(buf)
                                       : random_detail::fill_with_device(buf);
}

}  // namespace norvane
