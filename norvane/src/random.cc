#include "random.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace norvane {
namespace {

using random_detail::Method;

std::atomic<int> g_method{static_cast<int>(Method::Unchosen)};

// The fallback descriptor slot: not opened, being opened by one thread, or
// open. Threads that find it being opened sleep on the slot until the
// opener is done. g_fd is written before the slot turns Open (release).
enum Slot : int { NotOpened = 0, Opening = 1, Open = 2 };
std::atomic<int> g_slot{NotOpened};
int g_fd = -1;

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

// open_urandom waits until /dev/random is readable (the kernel pool is
// initialised), then opens /dev/urandom, which never blocks afterwards.
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
    return open_retrying("/dev/urandom");
}

int urandom_fd() noexcept {
    for (;;) {
        int s = g_slot.load(std::memory_order_acquire);
        if (s == Open) {
            return g_fd;
        }
        if (s == NotOpened) {
            if (!g_slot.compare_exchange_strong(s, Opening, std::memory_order_acq_rel)) {
                continue;
            }
            const int fd = open_urandom();
            if (fd >= 0) {
                g_fd = fd;
            }
            // A failed open leaves the slot free, so a later call tries again.
            g_slot.store(fd >= 0 ? Open : NotOpened, std::memory_order_release);
            futex_wake_all(&g_slot);
            return fd;
        }
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

}  // namespace

namespace random_detail {

Method choose_method(long probe_result, int probe_errno) noexcept {
    if (probe_result < 0 && (probe_errno == ENOSYS || probe_errno == EPERM)) {
        return Method::Device;
    }
    return Method::Getrandom;
}

bool fill_with_getrandom(std::span<std::uint8_t> buf) noexcept {
    return fill_loop(buf, [](std::uint8_t* p, std::size_t n) { return syscall(SYS_getrandom, p, n, 0); });
}

bool fill_with_device(std::span<std::uint8_t> buf) noexcept {
    const int fd = urandom_fd();
    if (fd < 0) {
        return false;
    }
    return fill_loop(buf, [fd](std::uint8_t* p, std::size_t n) { return static_cast<long>(read(fd, p, n)); });
}

void set_method(Method m) noexcept { g_method.store(static_cast<int>(m), std::memory_order_relaxed); }

Method current_method() noexcept { return static_cast<Method>(g_method.load(std::memory_order_relaxed)); }

}  // namespace random_detail

bool fill_random(std::span<std::uint8_t> buf) noexcept {
    auto method = static_cast<Method>(g_method.load(std::memory_order_relaxed));
    if (method == Method::Unchosen) {
        // Racing first callers probe alike and store the same answer.
        errno = 0;
        const long r = syscall(SYS_getrandom, nullptr, 0, 0);
        method = random_detail::choose_method(r, errno);
        g_method.store(static_cast<int>(method), std::memory_order_relaxed);
    }
    return method == Method::Getrandom ? random_detail::fill_with_getrandom(buf)
                                       : random_detail::fill_with_device(buf);
}

}  // namespace norvane
