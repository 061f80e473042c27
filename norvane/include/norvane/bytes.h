// norvane/bytes.h - owned byte buffers that are wiped when released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace norvane {

// secure_wipe overwrites n bytes with zeros; the compiler may not drop the
// writes as dead stores.
void secure_wipe(void* p, std::size_t n) noexcept;

// copy_bytes copies n bytes in pieces of at most 2 KiB. Some C libraries
// switch large copies to `rep movsb`, which runs at a fraction of the
// vector copy's speed on some CPUs; pieces this size stay on the fast path
// and in the L1 cache for whatever transforms them next.
void copy_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept;

// WipingAllocator zeroes every block before it goes back to the heap, so no
// plaintext, decoded field or key byte outlives its buffer.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    // Elements are default-initialised: every buffer of the core is written
    // in full before it is read, so zero-filling it first is wasted work.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        secure_wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// Bytes is the core's owned byte string: plaintexts, sealed bytes, decoded
// fields and context records.
using Bytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

using ByteView = std::span<const std::uint8_t>;

// SecretArray is a fixed-size secret held inline (a key, a subkey). It is
// wiped when destroyed and when moved from; it is never copied.
template <std::size_t N>
class SecretArray {
public:
    SecretArray() noexcept : b_{} {}
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;
    SecretArray(SecretArray&& o) noexcept : b_(o.b_) { o.wipe(); }
    SecretArray& operator=(SecretArray&& o) noexcept {
        if (this != &o) {
            b_ = o.b_;
            o.wipe();
        }
        return *this;
    }
    ~SecretArray() { wipe(); }

    std::uint8_t* data() noexcept { return b_.data(); }
    const std::uint8_t* data() const noexcept { return b_.data(); }
    static constexpr std::size_t size() noexcept { return N; }
    std::uint8_t& operator[](std::size_t i) noexcept { return b_[i]; }
    const std::uint8_t& operator[](std::size_t i) const noexcept { return b_[i]; }
    std::span<const std::uint8_t, N> view() const noexcept { return std::span<const std::uint8_t, N>(b_); }
    void wipe() noexcept { secure_wipe(b_.data(), N); }

private:
    std::array<std::uint8_t, N> b_;
};

}  // namespace norvane
