// guard.h - the one way into the module from Python.
//
// Every entry point (the module's exec function, slot functions, methods,
// tp_new and tp_dealloc) runs its body through a guard. Nothing unwinds
// across the C boundary: a C++ exception, norvane::InternalFault included,
// is reported on standard error and raised as the module's fault exception
// (panic.h); std::bad_alloc ends the process with a message on standard
// error. A guarded call returns its failure value
// (null or -1) if and only if a Python exception is set; a body that breaks
// that rule is itself treated as a fault.
#pragma once

#include <Python.h>

#include <string_view>

#include "py_ref.h"

namespace norvanes {

// null_result_fault is called when a result object (str, bytes or int)
// could not be allocated: the pending interpreter error is reported as
// unraisable, then the call fails as an internal fault.
[[noreturn]] void null_result_fault();

// raise_fault reports a fault on standard error (thread, place, message)
// and raises the fault exception with `message`. An interpreter error pending at
// that moment is reported as unraisable first.
void raise_fault(const char* where, std::string_view message) noexcept;

namespace detail {
// fault_from_exception classifies the C++ exception being handled; it is
// only called from inside a catch block.
void fault_from_exception(const char* where) noexcept;
PyObject* checked_result(const char* where, PyObject* result) noexcept;
int checked_status(const char* where, int status) noexcept;
}  // namespace detail

// guard runs a body that returns a new reference or null.
template <class Body>
PyObject* guard(const char* where, Body&& body) noexcept {
    try {
        return detail::checked_result(where, body());
    } catch (...) {
        detail::fault_from_exception(where);
        return nullptr;
    }
}

// guard_status runs a body that returns 0 on success and -1 on failure.
template <class Body>
int guard_status(const char* where, Body&& body) noexcept {
    try {
        return detail::checked_status(where, body());
    } catch (...) {
        detail::fault_from_exception(where);
        return -1;
    }
}

// guard_dealloc runs a destructor body, which may be called while an
// exception is pending and cannot report failure: a fault there is shown
// as unraisable and the pending exception is left as it was.
template <class Body>
void guard_dealloc(const char* where, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        detail::fault_from_exception(where);
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending.release());
    }
}

}  // namespace norvanes
