// py_compat.h - the few CPython C API calls that differ between the
// interpreters the module supports (3.11 to 3.13).
//
// The module is written against the 3.12 API, where the pending exception is
// taken and put back as one object. Python 3.11 only has the
// (type, value, traceback) triple; on it the two calls below are provided in
// this namespace with the same meaning, so the rest of the module calls them
// unqualified and is the same source on every version.
#pragma once

#include <Python.h>

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
