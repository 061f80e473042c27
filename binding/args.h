// args.h - binding Python call arguments to parameters, and converting them.
//
// One table-driven binder serves Norvane.__new__ and the three methods.
// Positional arguments fill the parameters in order; keywords are matched
// by their UTF-8 bytes; every parameter may be given either way. The checks
// run in a fixed order (too many positionals, then each keyword as given,
// then missing parameters) and the first failure raises TypeError.
//
// The converters raise the interpreter's or their own exception and attach
// the PEP 678 note "while processing '<parameter>'" to it.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "norvane/bytes.h"
#include "norvane/key.h"

namespace norvanes {

inline constexpr std::size_t kMaxParams = 3;

// Signature describes one callable: its name as messages show it
// ("Norvane.encrypt()"), its parameter names in order, and how many of the
// leading parameters are required.
struct Signature {
    const char* function;
    std::array<const char*, kMaxParams> names;
    std::size_t count;
    std::size_t required;
};

// BoundArgs holds borrowed references, one per parameter, null when the
// parameter was not passed. None counts as passed.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    // given returns the argument unless it is absent or None.
    PyObject* given(std::size_t i) const noexcept {
        PyObject* v = values_[i];
        return v == Py_None ? nullptr : v;
    }

    // fill_positional binds n positional arguments and leaves the rest
    // absent.
    void fill_positional(PyObject* const* args, std::size_t n) noexcept {
        for (std::size_t i = 0; i < kMaxParams; ++i) {
            values_[i] = i < n ? args[i] : nullptr;
        }
    }

private:
    friend class Binder;
    std::array<PyObject*, kMaxParams> values_{};
};

// bind_fastcall binds a METH_FASTCALL | METH_KEYWORDS call; bind_tuple binds
// a tp_new call. Both return false with TypeError set on a binding error.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   BoundArgs& out);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// add_processing_note adds "while processing '<param>'" to the pending
// exception through its add_note method; if that fails, the exception is
// left without the note.
void add_processing_note(const char* param) noexcept;

// raise_not_instance sets TypeError "'T' object is not an instance of 'U'"
// for an argument ("'None' is not an instance of 'U'" for None).
void raise_not_instance(PyObject* obj, const char* expected) noexcept;

// raise_wrong_type sets the same TypeError naming the type of `obj`, None
// included ("'NoneType' object ..."), for values that are not arguments.
void raise_wrong_type(PyObject* obj, const char* expected) noexcept;

// Converters: each returns false with an exception (carrying the note for
// `param`) set on failure. Views point into `obj`, which the caller keeps
// alive.
bool to_bytes(PyObject* obj, const char* param, norvane::ByteView& out);
bool to_text(PyObject* obj, const char* param, std::string_view& out);
bool to_u64(PyObject* obj, const char* param, std::uint64_t& out);
// to_key exports an integer (via __index__) as the 128-bit key. The 16
// exported bytes are wiped on every path.
bool to_key(PyObject* obj, const char* param, std::optional<norvane::Key>& out);

}  // namespace norvanes
