// random.h - fill_random, the operating system's randomness: the only
// source of nonces.
#pragma once

#include <cstdint>
#include <span>

namespace norvane {

// fill_random fills the whole buffer or fails. It uses getrandom(2) when the
// kernel offers it and otherwise a process-wide /dev/urandom descriptor that
// is opened after /dev/random has become readable, kept on a number above
// the standard streams, and checked to still be that device around every
// read (it is opened again if the program closed it). The choice of method
// is made once per process. Failures carry no OS detail.
bool fill_random(std::span<std::uint8_t> buf) noexcept;

namespace random_detail {

enum class Method : int { Unchosen = 0, Getrandom = 1, Device = 2 };

// choose_method maps the outcome of the probing getrandom(nullptr, 0, 0)
// call to a method: ENOSYS and EPERM mean the device fallback.
Method choose_method(long probe_result, int probe_errno) noexcept;

// The two methods, callable directly so that tests reach the fallback.
bool fill_with_getrandom(std::span<std::uint8_t> buf) noexcept;
bool fill_with_device(std::span<std::uint8_t> buf) noexcept;

// The getrandom method takes one of two routes, chosen once: the C
// library's getrandom() where it goes through the vDSO itself (glibc 2.41
// and later) or where the kernel's vDSO has no getrandom, else the vDSO
// called directly. Both routes are callable directly for tests.
enum class Route : int { Libc = 0, Vdso = 1 };
Route current_route() noexcept;
bool fill_with_libc_getrandom(std::span<std::uint8_t> buf) noexcept;
bool fill_with_vdso_getrandom(std::span<std::uint8_t> buf) noexcept;

// set_method replaces the process-wide choice. Tests only.
void set_method(Method m) noexcept;
Method current_method() noexcept;

// The fallback descriptor slot's states. exchange_slot sets the state and
// returns the previous one, so that a test can stand in for a thread that
// is in the middle of opening the device. Tests only.
enum class SlotState : int { NotOpened = 0, Opening = 1, Open = 2 };
SlotState exchange_slot(SlotState s) noexcept;

}  // namespace random_detail
}  // namespace norvane
