// panic.h - the exception through which an internal fault reaches Python.
//
// pyo3_runtime.PanicException derives from BaseException, so `except
// Exception:` does not swallow it. It is made once per process, on the first
// fault, and is not bound in the module.
#pragma once

#include <Python.h>

#include <string_view>

namespace norvanes {

// panic_type returns the exception type (borrowed), making it on first need;
// null with a Python exception set if it cannot be made.
PyObject* panic_type();

// raise_panic sets PanicException(message) as the current exception. If the
// type or the message object cannot be made, the error met on the way is
// left set instead, so an exception is always pending afterwards.
void raise_panic(std::string_view message) noexcept;

}  // namespace norvanes
