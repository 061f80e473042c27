#include "vdso_getrandom.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace norvane::vdso_getrandom {
namespace {

// The layout of the kernel's struct vgetrandom_opaque_params (uapi
// linux/random.h, Linux 6.11), which older kernel headers lack.
struct OpaqueParams {
    std::uint32_t size_of_opaque_state;
    std::uint32_t mmap_prot;
    std::uint32_t mmap_flags;
    std::uint32_t reserved[13];
};

using VdsoGetrandom = long (*)(void* buf, std::size_t len, unsigned int flags, void* state, std::size_t state_len);

// What the vDSO offers, looked up once. No lock guards the lookup: racing
// first callers each look and store the same answer, and a child forked in
// the middle of a lookup simply looks itself (a lock held by a thread that
// the child does not have would stop it for ever).
enum VdsoState : int { Unknown = 0, Absent = 1, Present = 2 };
std::atomic<int> g_state{Unknown};
std::atomic<VdsoGetrandom> g_fn{nullptr};
std::atomic<std::uint32_t> g_state_size{0};
std::atomic<std::uint32_t> g_mmap_prot{0};
std::atomic<std::uint32_t> g_mmap_flags{0};

// The symbol's name and version on each architecture that has it; the
// others (32-bit ARM among them) make the system call.
#if defined(__x86_64__) || defined(__i386__)
#define NORVANE_VDSO_GETRANDOM "__vdso_getrandom", "LINUX_2.6"
#elif defined(__aarch64__)
#define NORVANE_VDSO_GETRANDOM "__kernel_getrandom", "LINUX_2.6.39"
#endif

VdsoGetrandom find_symbol() noexcept {
#if defined(NORVANE_VDSO_GETRANDOM)
    // glibc lists the vDSO among the loaded objects under this name; other C
    // libraries may not, and then the system call serves.
    void* vdso = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (vdso == nullptr) {
        return nullptr;
    }
    auto fn = reinterpret_cast<VdsoGetrandom>(dlvsym(vdso, NORVANE_VDSO_GETRANDOM));
    dlclose(vdso);
    return fn;
#else
    return nullptr;
#endif
}

void look_up_vdso() noexcept {
    OpaqueParams params{};
    const VdsoGetrandom fn = find_symbol();
    // A null buffer, zero length and a state length of all ones ask for the
    // state parameters.
    if (fn == nullptr || fn(nullptr, 0, 0, &params, ~std::size_t{0}) != 0 || params.size_of_opaque_state == 0) {
        g_state.store(Absent, std::memory_order_release);
        return;
    }
    g_state_size.store(params.size_of_opaque_state, std::memory_order_relaxed);
    g_mmap_prot.store(params.mmap_prot, std::memory_order_relaxed);
    g_mmap_flags.store(params.mmap_flags, std::memory_order_relaxed);
    g_fn.store(fn, std::memory_order_relaxed);
    g_state.store(Present, std::memory_order_release);
}

// vdso_fn returns the vDSO's getrandom, or null without one.
VdsoGetrandom vdso_fn() noexcept {
    int state = g_state.load(std::memory_order_acquire);
    if (state == Unknown) {
        look_up_vdso();
        state = g_state.load(std::memory_order_acquire);
    }
    return state == Present ? g_fn.load(std::memory_order_relaxed) : nullptr;
}

long syscall_getrandom(void* buf, std::size_t len) noexcept { return syscall(SYS_getrandom, buf, len, 0); }

// Pool hands out states and takes back those of ended threads. Its lock is
// taken around fork, so that a child never inherits it held by a thread it
// does not have.
class Pool {
public:
    static Pool& get() noexcept { return *instance; }

    void* take() noexcept {
        std::lock_guard guard(lock_);
        if (free_.empty() && !grow()) {
            return nullptr;
        }
        void* state = free_.back();
        free_.pop_back();
        return state;
    }

    void give_back(void* state) noexcept {
        std::lock_guard guard(lock_);
        // The vector keeps its capacity: a state taken from it always has a
        // place to come back to.
        free_.push_back(state);
    }

    std::size_t size() noexcept {
        std::lock_guard guard(lock_);
        return free_.size();
    }

    // The pool is made when the library is loaded, before any thread can
    // use it (no lock guards its creation, so none can be held across a
    // fork), and never destroyed: threads may end after the program's static
    // objects are gone, and still give their states back.
    Pool() noexcept { pthread_atfork(&before_fork, &after_fork, &after_fork); }

private:
    static Pool* const instance;

    static void before_fork() noexcept { get().lock_.lock(); }
    static void after_fork() noexcept { get().lock_.unlock(); }

    // grow maps a block of states: one page's worth or more, each state
    // aligned to a cache line and none crossing a page boundary.
    bool grow() noexcept {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        constexpr std::size_t line = 64;
        const std::size_t size = g_state_size.load(std::memory_order_relaxed);
        const std::size_t stride = (size + line - 1) / line * line;
        if (stride == 0 || stride > page) {
            return false;
        }
        const std::size_t per_page = page / stride;
        const std::size_t pages = 1;
        void* block = mmap(nullptr, pages * page, static_cast<int>(g_mmap_prot.load(std::memory_order_relaxed)),
                           static_cast<int>(g_mmap_flags.load(std::memory_order_relaxed)), -1, 0);
        if (block == MAP_FAILED) {
            return false;
        }
        try {
            free_.reserve(made_ + per_page * pages);
        } catch (const std::bad_alloc&) {
            munmap(block, pages * page);
            return false;
        }
        auto* base = static_cast<std::uint8_t*>(block);
        for (std::size_t pg = 0; pg < pages; ++pg) {
            for (std::size_t i = 0; i < per_page; ++i) {
                free_.push_back(base + pg * page + i * stride);
            }
        }
        made_ += per_page * pages;
        return true;
    }

    std::mutex lock_;
    std::vector<void*> free_;
    std::size_t made_ = 0;  // states made so far: the pool has room for all of them
};

alignas(Pool) unsigned char pool_storage[sizeof(Pool)];
Pool* const Pool::instance = new (pool_storage) Pool();

// ThreadState is this thread's state, taken on first use and given back to
// the pool when the thread ends.
struct ThreadState {
    void* state = nullptr;
    bool tried = false;
    ~ThreadState() {
        if (state != nullptr) {
            Pool::get().give_back(state);
        }
    }
};

thread_local ThreadState t_state;

}  // namespace

bool available() noexcept { return vdso_fn() != nullptr; }

long call(void* buf, std::size_t len) noexcept {
    const VdsoGetrandom fn = vdso_fn();
    if (fn == nullptr) {
        return syscall_getrandom(buf, len);
    }
    ThreadState& mine = t_state;
    if (mine.state == nullptr) {
        if (mine.tried) {
            return syscall_getrandom(buf, len);
        }
        mine.tried = true;
        mine.state = Pool::get().take();
        if (mine.state == nullptr) {
            return syscall_getrandom(buf, len);
        }
    }
    const long r = fn(buf, len, 0, mine.state, g_state_size.load(std::memory_order_relaxed));
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

std::size_t pooled_states() noexcept { return Pool::get().size(); }

}  // namespace norvane::vdso_getrandom
