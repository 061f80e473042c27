// Python.h comes first, as the C API asks.
#include <Python.h>

#include "utf8.h"

#include "norvane/utf8.h"

namespace norvanes {

bool check_data_utf8(norvane::ByteView data) noexcept {
    const std::optional<norvane::Utf8Error> error = norvane::check_utf8(data);
    if (!error) {
        return true;
    }
    if (error->error_len == 0) {
        PyErr_Format(PyExc_ValueError, "incomplete utf-8 byte sequence from index %zu", error->valid_up_to);
    } else {
        PyErr_Format(PyExc_ValueError, "invalid utf-8 sequence of %u bytes from index %zu",
                     static_cast<unsigned>(error->error_len), error->valid_up_to);
    }
    return false;
}

}  // namespace norvanes
