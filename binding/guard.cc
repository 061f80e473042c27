#include "guard.h"

#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "norvane/fault.h"
#include "panic.h"
#include "py_ref.h"

namespace norvanes {
namespace {

constexpr std::string_view kGenericFault = "norvanes hit an internal fault that carries no message";

// The kernel's name for the calling thread (at most 15 characters); it is
// read with prctl because it needs no allocation and works with any libc.
void thread_name(char (&buf)[17]) noexcept {
    buf[0] = '\0';
    if (prctl(PR_GET_NAME, buf, 0, 0, 0) != 0 || buf[0] == '\0') {
        std::snprintf(buf, sizeof buf, "<unnamed>");
    }
    buf[16] = '\0';
}

}  // namespace

void raise_fault(const char* where, std::string_view message) noexcept {
    if (message.empty()) {
        message = kGenericFault;
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    char name[17];
    thread_name(name);
    std::fprintf(stderr, "norvanes: internal fault in thread '%s' at %s: %.*s\n", name, where,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    raise_panic(message);
}

void null_result_fault() {
    PyErr_WriteUnraisable(nullptr);
    throw norvane::InternalFault("PyObject pointer is null");
}

namespace detail {

void fault_from_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // Running out of memory for the module's own buffers is not
        // something a caller can handle: end the process, and say why.
        std::fprintf(stderr, "norvanes: memory allocation failed at %s\n", where);
        std::fflush(stderr);
        std::abort();
    } catch (const std::exception& e) {
        raise_fault(where, e.what());
    } catch (...) {
        raise_fault(where, {});
    }
}

PyObject* checked_result(const char* where, PyObject* result) noexcept {
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            raise_fault(where, "returned NULL without setting an exception");
        }
        return nullptr;
    }
    if (PyErr_Occurred()) {
        // Drop the result: a call must not both succeed and fail.
        Ref discarded = Ref::steal(result);
        raise_fault(where, "returned a result with an exception set");
        return nullptr;
    }
    return result;
}

int checked_status(const char* where, int status) noexcept {
    const bool failed = status != 0;
    if (failed && !PyErr_Occurred()) {
        raise_fault(where, "failed without setting an exception");
        return -1;
    }
    if (!failed && PyErr_Occurred()) {
        raise_fault(where, "succeeded with an exception set");
        return -1;
    }
    return failed ? -1 : 0;
}

}  // namespace detail
}  // namespace norvanes
