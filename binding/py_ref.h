// py_ref.h - the one owning reference to a Python object.
//
// Ref is the only code in the module that changes reference counts. A
// borrowed reference stays a plain PyObject*; an owned one lives in a Ref and
// leaves C++ only through release(), typically as `return ref.release();`.
#pragma once

#include <Python.h>

#include "py_compat.h"

#include <utility>

namespace norvanes {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // steal takes over a new reference, such as a C API result (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    template <class T>
    static Ref steal(T* p) noexcept {
        return Ref(reinterpret_cast<PyObject*>(p));
    }

    // borrow adds a reference of its own to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    template <class T>
    static Ref borrow(T* p) noexcept {
        return borrow(reinterpret_cast<PyObject*>(p));
    }

    // release hands the reference to the caller, leaving this Ref empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    // reset takes over `p` (a new reference, or null) and only then drops the
    // old value: its destructor may run arbitrary Python code.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace norvanes
