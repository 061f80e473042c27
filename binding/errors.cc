#include "errors.h"

#include <string_view>

#include "py_ref.h"

namespace norvanes {

PyObject* raise_norvane_error(norvane::NorvaneError e) noexcept {
    const std::string_view text = norvane::message(e);
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return nullptr;
}

void raise_runtime_error_from(const char* message) noexcept {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, message);
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (error && cause) {
        PyException_SetContext(error.get(), Ref::borrow(cause.get()).release());
        PyException_SetCause(error.get(), cause.release());
    }
    PyErr_SetRaisedException(error.release());
}

}  // namespace norvanes
