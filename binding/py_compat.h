// py_compat.h - the few CPython C API calls that differ between the
// interpreters the module supports (3.11 to 3.15, and the free-threaded
// builds of 3.13 on).
//
// The module is written against the 3.12 API, where the pending exception is
// taken and put back as one object. Python 3.11 only has the
// (type, value, traceback) triple; on it the two calls below are provided in
// this namespace with the same meaning, so the rest of the module calls them
// unqualified and is the same source on every version.
#pragma once

#include <Python.h>

#include <cstddef>

namespace norvanes {

// long_as_byte_array is _PyLong_AsByteArray as 3.12 has it: it exports `v`
// into `n` bytes and raises OverflowError (or, for a negative value where
// unsigned is asked for, the error the interpreter picks) when it does not
// fit. 3.13 added a sixth parameter that asks for exactly that behaviour.
inline int long_as_byte_array(PyLongObject* v, unsigned char* bytes, std::size_t n, int little_endian,
                              int is_signed) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(v, bytes, n, little_endian, is_signed, /*with_exceptions=*/1);
#else
    return _PyLong_AsByteArray(v, bytes, n, little_endian, is_signed);
#endif
}

}  // namespace norvanes

// NORVANES_GIL_SLOT is the module definition's declaration that it runs
// without the interpreter lock, on the free-threaded builds alone (elsewhere
// the slot would change nothing, and the definition stays as it is). It is
// true: the module's shared state is made once behind OnceCell guards or
// atomics, read-only afterwards, and every instance's hold counter is atomic,
// so threads that run at once need no lock to share it. Without it, importing
// the module would turn the lock back on for the whole process.
#if defined(Py_GIL_DISABLED)
#define NORVANES_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define NORVANES_GIL_SLOT
#endif

#if PY_VERSION_HEX < 0x030C0000

namespace norvanes {

// PyErr_GetRaisedException takes the pending exception, normalised, with
// its traceback attached, and clears the error indicator; null when none.
inline PyObject* PyErr_GetRaisedException() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(traceback);
    Py_DECREF(type);
    return value;
}

// PyErr_SetRaisedException makes `exc` (a reference it takes over) the
// pending exception; null clears the error indicator.
inline void PyErr_SetRaisedException(PyObject* exc) noexcept {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

}  // namespace norvanes

#endif
