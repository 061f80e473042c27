#include "vdso_getrandom.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform.h"

namespace norvane::vdso_getrandom {
namespace {

// Everything here is constant-initialised and takes no lock: a program's
// own static initialisers may mint before this library's run, and a lock
// held by a thread that a forked child does not have would stop the child
// for ever.

// The layout of the kernel's struct vgetrandom_opaque_params (uapi
// linux/random.h, Linux 6.11), which older kernel headers lack.
struct OpaqueParams {
    std::uint32_t size_of_opaque_state;
    std::uint32_t mmap_prot;
    std::uint32_t mmap_flags;
    std::uint32_t reserved[13];
};

using VdsoGetrandom = long (*)(void* buf, std::size_t len, unsigned int flags, void* state, std::size_t state_len);

// What the vDSO offers, looked up once. Racing first callers each look and
// store the same answer, and a child forked in the middle of a look-up
// simply looks itself.
enum VdsoState : int { Unknown = 0, Absent = 1, Present = 2 };
constinit std::atomic<int> g_state{Unknown};
constinit std::atomic<VdsoGetrandom> g_fn{nullptr};
constinit std::atomic<std::uint32_t> g_state_size{0};
constinit std::atomic<std::uint32_t> g_mmap_prot{0};
constinit std::atomic<std::uint32_t> g_mmap_flags{0};

void look_up_vdso() noexcept {
    OpaqueParams params{};
    const auto fn = reinterpret_cast<VdsoGetrandom>(platform::vdso_symbol(platform::VDSO_GETRANDOM));
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

long syscall_getrandom(void* buf, std::size_t len) noexcept { return platform::getrandom_syscall(buf, len, 0); }

// The pool of states not held by any thread: slots that each hold a state
// or null, on pages chained from a first page that needs no allocation.
// A state is put into a slot by one compare-and-swap and taken out by one
// exchange, so it is in one place at any time: in a slot, or with the one
// thread that took it. A fork in the middle of either leaves the child at
// worst one state short.
struct SlotPage {
    static constexpr std::size_t SLOTS = 255;
    std::atomic<void*> slots[SLOTS];
    std::atomic<SlotPage*> next;
};
constinit SlotPage g_first_page{};

void* take_pooled() noexcept {
    for (SlotPage* page = &g_first_page; page != nullptr; page = page->next.load(std::memory_order_acquire)) {
        for (std::atomic<void*>& slot : page->slots) {
            if (slot.load(std::memory_order_relaxed) != nullptr) {
                if (void* state = slot.exchange(nullptr, std::memory_order_acq_rel)) {
                    return state;
                }
            }
        }
    }
    return nullptr;
}

void give_back(void* state) noexcept {
    SlotPage* page = &g_first_page;
    for (;;) {
        for (std::atomic<void*>& slot : page->slots) {
            void* empty = nullptr;
            if (slot.compare_exchange_strong(empty, state, std::memory_order_acq_rel)) {
                return;
            }
        }
        SlotPage* next = page->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            void* mem = mmap(nullptr, sizeof(SlotPage), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mem == MAP_FAILED) {
                return;  // the state is lost to the pool, never handed out twice
            }
            // Anonymous memory is zero: every slot is empty, no next page.
            auto* fresh = static_cast<SlotPage*>(mem);
            if (page->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
                next = fresh;
            } else {
                munmap(mem, sizeof(SlotPage));
            }
        }
        page = next;
    }
}

// map_states maps a page of fresh states, with the protection and flags the
// kernel asks for, each aligned to a cache line and none crossing a page
// boundary; the caller keeps the first and the rest go into the pool.
void* map_states() noexcept {
    const long page_size = sysconf(_SC_PAGESIZE);
    constexpr std::size_t line = 64;
    const std::size_t size = g_state_size.load(std::memory_order_relaxed);
    const std::size_t stride = (size + line - 1) / line * line;
    if (page_size <= 0 || stride == 0 || stride > static_cast<std::size_t>(page_size)) {
        return nullptr;
    }
    const auto page = static_cast<std::size_t>(page_size);
    void* block = mmap(nullptr, page, static_cast<int>(g_mmap_prot.load(std::memory_order_relaxed)),
                       static_cast<int>(g_mmap_flags.load(std::memory_order_relaxed)), -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    auto* base = static_cast<std::uint8_t*>(block);
    for (std::size_t i = 1; i < page / stride; ++i) {
        give_back(base + i * stride);
    }
    return base;
}

// A thread's state. It is held from the thread's first draw until the very
// end of its exit: the pthread key's destructor, which runs after the
// thread's C++ thread_local destructors on glibc (they may still mint), gives
// it back. From then on the thread is Done and makes the system call: code
// that runs after that destructor (another key's destructor, or on C
// libraries that run C++ destructors through keys too) must not draw from
// a state that a new thread may already have taken. The thread-local
// variables are trivially destructible, so they stay readable to the end.
enum class Phase : unsigned char { Fresh, Holding, Done };
constinit thread_local std::atomic<void*> t_state{nullptr};
constinit thread_local Phase t_phase = Phase::Fresh;

void release_at_thread_exit(void* state) noexcept {
    t_phase = Phase::Done;
    t_state.store(nullptr, std::memory_order_relaxed);
    give_back(state);
}

// The key whose destructor releases a thread's state, created by the first
// thread that needs it. Until it exists, other threads draw through the
// system call rather than wait for it.
enum KeyState : int { NoKey = 0, MakingKey = 1, KeyReady = 2, KeyFailed = 3 };
constinit std::atomic<int> g_key_state{NoKey};
pthread_key_t g_key;

bool exit_key(pthread_key_t& key) noexcept {
    int s = g_key_state.load(std::memory_order_acquire);
    if (s == NoKey && g_key_state.compare_exchange_strong(s, MakingKey, std::memory_order_acq_rel)) {
        s = pthread_key_create(&g_key, &release_at_thread_exit) == 0 ? KeyReady : KeyFailed;
        g_key_state.store(s, std::memory_order_release);
    }
    if (s != KeyReady) {
        return false;
    }
    key = g_key;
    return true;
}

// thread_state returns this thread's state, taking one on the first draw;
// null when the system call is to serve.
void* thread_state() noexcept {
    if (void* held = t_state.load(std::memory_order_relaxed)) {
        return held;
    }
    if (t_phase != Phase::Fresh) {
        return nullptr;
    }
    pthread_key_t key;
    if (!exit_key(key)) {
        return nullptr;
    }
    void* state = take_pooled();
    if (state == nullptr && (state = map_states()) == nullptr) {
        t_phase = Phase::Done;
        return nullptr;
    }
    // A signal handler on this thread may have drawn, and taken a state,
    // since the load above: keep the one it took.
    void* none = nullptr;
    if (!t_state.compare_exchange_strong(none, state, std::memory_order_relaxed)) {
        give_back(state);
        return none;
    }
    if (pthread_setspecific(key, state) != 0) {
        // Without the key the thread's end would go unseen: no state.
        t_state.store(nullptr, std::memory_order_relaxed);
        t_phase = Phase::Done;
        give_back(state);
        return nullptr;
    }
    t_phase = Phase::Holding;
    return state;
}

}  // namespace

bool available() noexcept { return vdso_fn() != nullptr; }

long call(void* buf, std::size_t len) noexcept {
    const VdsoGetrandom fn = vdso_fn();
    void* state = fn != nullptr ? thread_state() : nullptr;
    if (state == nullptr) {
        return syscall_getrandom(buf, len);
    }
    const long r = fn(buf, len, 0, state, g_state_size.load(std::memory_order_relaxed));
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

std::size_t pooled_states() noexcept {
    std::size_t n = 0;
    for (SlotPage* page = &g_first_page; page != nullptr; page = page->next.load(std::memory_order_acquire)) {
        for (std::atomic<void*>& slot : page->slots) {
            n += slot.load(std::memory_order_relaxed) != nullptr ? 1 : 0;
        }
    }
    return n;
}

bool holds_state() noexcept { return t_state.load(std::memory_order_relaxed) != nullptr; }

}  // namespace norvane::vdso_getrandom
