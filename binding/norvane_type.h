// norvane_type.h - the Python Norvane type: a prepared core Norvane value
// inside a Python object, and the three methods that read it.
#pragma once

#include <Python.h>

namespace norvanes {

// norvane_type returns the process-wide Norvane type (borrowed), creating
// it on the first call; null with an exception set if that fails.
PyTypeObject* norvane_type();

}  // namespace norvanes
