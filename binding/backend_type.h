// backend_type.h - the Python Backend enumeration.
//
// Backend has exactly two instances, AES256_GCM and XCHACHA20_POLY1305,
// made once per process while the type is set up and shared by every
// module object. Python code cannot make others.
#pragma once

#include <Python.h>

#include <optional>

#include "hold.h"
#include "norvane/backend.h"

namespace norvanes {

// backend_type returns the process-wide Backend type (borrowed), creating
// it and its members on the first call; null with an exception set if that
// fails.
PyTypeObject* backend_type();

// HeldBackend is a Backend instance under a shared hold, and its variant.
struct HeldBackend {
    SharedHold hold;
    norvane::Backend backend;
};

// extract_backend yields `obj` as a Backend (or subtype) instance under a
// shared hold, or nothing with TypeError "'T' object is not an instance of
// 'Backend'" set. If the Backend type cannot be created, that is an
// internal fault (thrown).
std::optional<HeldBackend> extract_backend(PyObject* obj);

}  // namespace norvanes
