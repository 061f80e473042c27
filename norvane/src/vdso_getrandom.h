// vdso_getrandom.h - the kernel's getrandom in the vDSO, called directly.
//
// Linux 6.11 and later offer getrandom in the vDSO: the kernel's ChaCha20
// generator run in user space on a per-thread state that the kernel reseeds
// (through a generation counter) and wipes on fork. glibc 2.41 calls it from
// its getrandom(); older C libraries make the system call, which costs ten
// times as much. For those, the core calls the vDSO itself.
//
// Each thread gets its own state on first use, mapped with exactly the
// protection and flags the kernel asks for and never crossing a page. It
// goes back to a process-wide pool for the next new thread at the very end
// of the thread's exit, after its C++ thread_local destructors; anything
// the thread draws after that makes the system call. A state is never
// shared by two threads: after a fork the child keeps the forking thread's
// state and leaves the others where they are. Nothing here takes a lock or
// needs a constructor to have run, so a program may mint from its static
// initialisers and from forked children of threaded parents.
#pragma once

#include <cstddef>

namespace norvane::vdso_getrandom {

// available tells whether the running kernel's vDSO offers getrandom and
// answered the query for its state parameters; decided once per process.
bool available() noexcept;

// call behaves as getrandom(buf, len, 0): the number of bytes written, or
// -1 with errno set. Without a state for this thread (no vDSO, or no memory
// for one) it makes the system call instead.
long call(void* buf, std::size_t len) noexcept;

// pooled_states is the number of states waiting in the pool for a new
// thread; holds_state tells whether the calling thread holds one. Tests
// only.
std::size_t pooled_states() noexcept;
bool holds_state() noexcept;

}  // namespace norvane::vdso_getrandom
