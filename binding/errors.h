// errors.h - raising the module's ordinary (non-fault) errors.
#pragma once

#include <Python.h>

#include "norvane/error.h"

namespace norvanes {

// raise_norvane_error raises ValueError whose only argument is the error's
// message. Always returns null, for `return raise_norvane_error(e);`.
PyObject* raise_norvane_error(norvane::NorvaneError e) noexcept;

// raise_runtime_error_from replaces the pending exception E with
// RuntimeError(message) whose __cause__ is E.
void raise_runtime_error_from(const char* message) noexcept;

}  // namespace norvanes
