#include "panic.h"

#include "once.h"
#include "py_ref.h"

namespace norvanes {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when extension code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell panic_cell;

}  // namespace

PyObject* panic_type() {
    return panic_cell.get_or_init([] {
        return Ref::steal(PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr));
    });
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_type();
    } catch (...) {
        // Only the mutex can throw here; report the fault as a plain
        // interpreter error rather than unwinding further.
        PyErr_SetString(PyExc_SystemError, "norvanes could not make its fault exception type");
        return;
    }
    if (type == nullptr) {
        return;  // the creation error stays set
    }
    // Fault texts come from C++ exceptions; undecodable bytes are replaced
    // so the message itself can never fail to convert.
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        return;
    }
    PyErr_SetObject(type, text.get());
}

}  // namespace norvanes
