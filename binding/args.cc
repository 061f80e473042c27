#include "args.h"

#include <string>

#include "py_ref.h"

namespace norvanes {

class Binder {
public:
    Binder(const Signature& sig, BoundArgs& out) : sig_(sig), out_(out) { out_.values_.fill(nullptr); }

    bool positional(PyObject* const* args, Py_ssize_t n) {
        if (n > static_cast<Py_ssize_t>(sig_.count)) {
            const char* verb = n == 1 ? "was" : "were";
            if (sig_.required == sig_.count) {
                PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig_.function,
                             sig_.count, n, verb);
            } else {
                PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                             sig_.function, sig_.required, sig_.count, n, verb);
            }
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            out_.values_[static_cast<std::size_t>(i)] = args[i];
        }
        return true;
    }

    bool keyword(PyObject* name, PyObject* value) {
        const std::optional<std::size_t> index = match(name);
        if (!index) {
            if (PyUnicode_Check(name)) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig_.function, name);
            } else {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig_.function, name);
            }
            return false;
        }
        if (out_.values_[*index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig_.function,
                         sig_.names[*index]);
            return false;
        }
        out_.values_[*index] = value;
        return true;
    }

    bool finish() {
        std::array<const char*, kMaxParams> missing{};
        std::size_t k = 0;
        for (std::size_t i = 0; i < sig_.required; ++i) {
            if (out_.values_[i] == nullptr) {
                missing[k++] = sig_.names[i];
            }
        }
        if (k == 0) {
            return true;
        }
        // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
        std::string list;
        for (std::size_t i = 0; i < k; ++i) {
            if (i > 0) {
                list += k == 2 ? " and " : (i + 1 == k ? ", and " : ", ");
            }
            list += '\'';
            list += missing[i];
            list += '\'';
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig_.function, k,
                     k == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }

private:
    // Keyword names are compared by their UTF-8 bytes; a name without a
    // UTF-8 form (lone surrogates) matches nothing.
    std::optional<std::size_t> match(PyObject* name) const {
        if (!PyUnicode_Check(name)) {
            return std::nullopt;
        }
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        const std::string_view text(utf8, static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < sig_.count; ++i) {
            if (text == sig_.names[i]) {
                return i;
            }
        }
        return std::nullopt;
    }

    const Signature& sig_;
    BoundArgs& out_;
};

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   BoundArgs& out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common call: positional arguments only, every required one given,
    // none too many. Nothing can fail to bind.
    if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(sig.required) &&
        nargs <= static_cast<Py_ssize_t>(sig.count)) {
        out.fill_positional(args, static_cast<std::size_t>(nargs));
        return true;
    }
    Binder binder(sig, out);
    if (!binder.positional(args, nargs)) {
        return false;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) {
                return false;
            }
        }
    }
    return binder.finish();
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Binder binder(sig, out);
    if (args != nullptr) {
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        PyObject* const* items = n > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
        if (!binder.positional(items, n)) {
            return false;
        }
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!binder.keyword(name, value)) {
                return false;
            }
        }
    }
    return binder.finish();
}

void add_processing_note(const char* param) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return;
    }
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    Ref added = note ? Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get())) : Ref();
    if (!added) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc.release());
}

void raise_not_instance(PyObject* obj, const char* expected) noexcept {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    raise_wrong_type(obj, expected);
}

void raise_wrong_type(PyObject* obj, const char* expected) noexcept {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                     expected);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

bool to_bytes(PyObject* obj, const char* param, norvane::ByteView& out) {
    if (!PyBytes_Check(obj)) {
        raise_not_instance(obj, "bytes");
        add_processing_note(param);
        return false;
    }
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    out = norvane::ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    return true;
}

bool to_text(PyObject* obj, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        add_processing_note(param);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) {
        add_processing_note(param);
        return false;
    }
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

namespace {

// int_of returns `obj` itself when it is an int or an instance of a subclass
// of int, else the int its __index__ gives, kept alive by `holder`; null,
// with the note for `param` added, when it has none.
PyObject* int_of(PyObject* obj, const char* param, Ref& holder) {
    if (PyLong_Check(obj)) {
        return obj;
    }
    holder = Ref::steal(PyNumber_Index(obj));
    if (!holder) {
        add_processing_note(param);
    }
    return holder.get();
}

}  // namespace

bool to_u64(PyObject* obj, const char* param, std::uint64_t& out) {
    Ref index;
    obj = int_of(obj, param, index);
    if (obj == nullptr) {
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(param);
        return false;
    }
    out = value;
    return true;
}

namespace {

// The key's little-endian export, wiped whatever way the conversion ends.
struct ExportedKey {
    std::array<std::uint8_t, norvane::KEY_LEN> le{};
    ExportedKey() = default;
    ExportedKey(const ExportedKey&) = delete;
    ExportedKey& operator=(const ExportedKey&) = delete;
    ~ExportedKey() { norvane::secure_wipe(le.data(), le.size()); }
};

}  // namespace

bool to_key(PyObject* obj, const char* param, std::optional<norvane::Key>& out) {
    // An int, or an instance of a subclass of int, is exported as it is.
    // PyNumber_Index would give the same value, but for a subclass as a
    // fresh copy that is freed with the key's digits still in it; an
    // object with __index__ has to go through it.
    Ref index;
    obj = int_of(obj, param, index);
    if (obj == nullptr) {
        return false;
    }
    ExportedKey exported;
    auto* as_long = reinterpret_cast<PyLongObject*>(obj);
    const int rc = long_as_byte_array(as_long, exported.le.data(), exported.le.size(), /*little_endian=*/1,
                                      /*is_signed=*/0);
    if (rc < 0) {
        add_processing_note(param);
        return false;
    }
    out.emplace(norvane::key_from_le_bytes(exported.le));
    return true;
}

}  // namespace norvanes
