#include "backend_type.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "args.h"
#include "norvane/fault.h"
#include "errors.h"
#include "guard.h"
#include "once.h"
#include "py_ref.h"

namespace norvanes {
namespace {

// `built` is set only when a member is made: the type is mutable, so Python
// code can give it a __new__ and get zero-filled objects that are no member
// (code 0 would otherwise pass for AES256_GCM).
struct BackendObject {
    PyObject_HEAD
    std::uint8_t code;  // the variant: 0 AES256_GCM, 1 XCHACHA20_POLY1305
    HoldCounter holds;
    bool built;
};

struct Member {
    const char* attribute;
    std::string_view repr;
    norvane::Backend backend;
};

// The Python names of the core's backends, indexed by variant code (the
// backend's value); class attributes are set in this order.
constexpr std::array<Member, norvane::BACKENDS.size()> kMembers = {{
    {"AES256_GCM", "Backend.AES256_GCM", norvane::Backend::Aes256Gcm},
    {"XCHACHA20_POLY1305", "Backend.XCHACHA20_POLY1305", norvane::Backend::XChaCha20Poly1305},
}};

constexpr bool members_follow_the_core() {
    for (std::size_t code = 0; code < kMembers.size(); ++code) {
        if (kMembers[code].backend != norvane::BACKENDS[code] ||
            static_cast<std::size_t>(kMembers[code].backend) != code) {
            return false;
        }
    }
    return true;
}
static_assert(members_follow_the_core(), "one member per core backend, at the index of its value");

constexpr const char* kBackendDoc =
    "Which standard AEAD construction to use. There is no \"auto\" option \xe2\x80\x94\n"
    "a token minted under one backend can't be read by the other, so pick\n"
    "one explicitly and keep it consistent across every process that needs\n"
    "to read the same tokens.";

OnceCell type_cell;
std::array<OnceCell, kMembers.size()> member_cells;

// While one thread sets the type up (creating its members), its own
// requests for the type get the object under construction.
thread_local PyTypeObject* type_in_progress = nullptr;

BackendObject* as_backend(PyObject* obj) noexcept { return reinterpret_cast<BackendObject*>(obj); }

void raise_forged() noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "this Backend object is not one of its members; "
                    "use Backend.AES256_GCM or Backend.XCHACHA20_POLY1305");
}

// member_object returns the object if it is one of the two members, else
// null with TypeError set.
BackendObject* member_object(PyObject* obj) noexcept {
    BackendObject* b = as_backend(obj);
    if (!b->built) {
        raise_forged();
        return nullptr;
    }
    return b;
}

const Member& member_of(const BackendObject* b) {
    if (b->code >= kMembers.size()) {
        throw norvane::InternalFault("Backend instance with an unknown variant code");
    }
    return kMembers[b->code];
}

[[noreturn]] void backend_type_fault() {
    PyErr_WriteUnraisable(nullptr);
    throw norvane::InternalFault("failed to create type object for `Backend`");
}

// backend_instance returns `obj` as a Backend (or subtype) instance, or
// null. It raises nothing.
BackendObject* backend_instance(PyObject* obj) {
    PyTypeObject* type = backend_type();
    if (type == nullptr) {
        backend_type_fault();
    }
    if (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type)) {
        return as_backend(obj);
    }
    return nullptr;
}

PyObject* bool_result(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False).release(); }
PyObject* not_implemented() noexcept { return Ref::borrow(Py_NotImplemented).release(); }

PyObject* backend_repr(PyObject* self) {
    return guard("Backend.__repr__", [&]() -> PyObject* {
        BackendObject* b = member_object(self);
        if (b == nullptr) {
            return nullptr;
        }
        SharedHold hold(b->holds);
        const std::string_view text = member_of(b).repr;
        PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (result == nullptr) {
            null_result_fault();
        }
        return result;
    });
}

PyObject* backend_int(PyObject* self) {
    return guard("Backend.__int__", [&]() -> PyObject* {
        BackendObject* b = member_object(self);
        if (b == nullptr) {
            return nullptr;
        }
        SharedHold hold(b->holds);
        PyObject* result = PyLong_FromLongLong(b->code);
        if (result == nullptr) {
            null_result_fault();
        }
        return result;
    });
}

PyObject* backend_richcompare(PyObject* self, PyObject* other, int op) {
    return guard("Backend.__richcmp__", [&]() -> PyObject* {
        BackendObject* b = member_object(self);
        if (b == nullptr) {
            return nullptr;
        }
        SharedHold hold(b->holds);
        if (op < Py_LT || op > Py_GE) {
            return not_implemented();
        }
        long long theirs = 0;
        if (BackendObject* o = backend_instance(other)) {
            if (!o->built) {
                raise_forged();
                return nullptr;
            }
            SharedHold other_hold(o->holds);
            theirs = o->code;
        } else {
            // int, bool and anything with __index__ compare by value; every
            // other object is left to the interpreter's identity fallback.
            theirs = PyLong_AsLongLong(other);
            if (theirs == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return not_implemented();
            }
            if constexpr (sizeof(long long) > sizeof(Py_ssize_t)) {
                if (theirs < PY_SSIZE_T_MIN || theirs > PY_SSIZE_T_MAX) {
                    return not_implemented();
                }
            }
        }
        switch (op) {
            case Py_EQ:
                return bool_result(theirs == b->code);
            case Py_NE:
                return bool_result(theirs != b->code);
            default:
                return not_implemented();  // members have no order
        }
    });
}

void backend_dealloc(PyObject* self) {
    guard_dealloc("Backend.__dealloc__", [&] {
        PyTypeObject* type = Py_TYPE(self);
        if (as_backend(self)->built) {
            std::destroy_at(&as_backend(self)->holds);
        }
        type->tp_free(self);
        Ref type_ref = Ref::steal(type);  // the instance's reference to its heap type
    });
}

PyType_Slot backend_slots[] = {
    {Py_tp_doc, const_cast<char*>(kBackendDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(&backend_repr)},
    {Py_nb_int, reinterpret_cast<void*>(&backend_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&backend_richcompare)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&backend_dealloc)},
    {0, nullptr},
};

PyType_Spec backend_spec = {
    "builtins.Backend",
    static_cast<int>(sizeof(BackendObject)),
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION,
    backend_slots,
};

// member returns a new reference to the member of variant `code`, making it
// on first need.
Ref member(std::size_t code) {
    PyObject* obj = member_cells[code].get_or_init([&]() -> Ref {
        PyTypeObject* type = backend_type();
        if (type == nullptr) {
            backend_type_fault();
        }
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return {};
        }
        Ref made = Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
        if (!made) {
            return {};
        }
        BackendObject* b = as_backend(made.get());
        b->code = static_cast<std::uint8_t>(code);
        std::construct_at(&b->holds, 0);
        b->built = true;
        return made;
    });
    return Ref::borrow(obj);
}

Ref make_backend_type() {
    Ref type = Ref::steal(PyType_FromSpec(&backend_spec));
    if (!type) {
        raise_runtime_error_from("An error occurred while initializing class Backend");
        return {};
    }
    struct InProgress {
        explicit InProgress(PyObject* t) { type_in_progress = reinterpret_cast<PyTypeObject*>(t); }
        ~InProgress() { type_in_progress = nullptr; }
    } in_progress(type.get());

    // Members made for a type that then fails must not outlive it: a later
    // attempt makes a new type and new members.
    auto fail = [&](const std::string& message) -> Ref {
        for (OnceCell& cell : member_cells) {
            cell.discard();
        }
        raise_runtime_error_from(message.c_str());
        return {};
    };

    std::array<Ref, kMembers.size()> values;
    for (std::size_t code = 0; code < kMembers.size(); ++code) {
        values[code] = member(code);
        if (!values[code]) {
            return fail(std::string("An error occurred while initializing `Backend.") + kMembers[code].attribute +
                        "`");
        }
    }
    for (std::size_t code = 0; code < kMembers.size(); ++code) {
        if (PyObject_SetAttrString(type.get(), kMembers[code].attribute, values[code].get()) < 0) {
            return fail("An error occurred while initializing `Backend.__dict__`");
        }
    }
    return type;
}

}  // namespace

PyTypeObject* backend_type() {
    if (type_in_progress != nullptr) {
        return type_in_progress;
    }
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init(make_backend_type));
}

std::optional<HeldBackend> extract_backend(PyObject* obj) {
    BackendObject* b = backend_instance(obj);
    if (b == nullptr) {
        raise_not_instance(obj, "Backend");
        return std::nullopt;
    }
    if (!b->built) {
        raise_forged();
        return std::nullopt;
    }
    SharedHold hold(b->holds);
    const norvane::Backend backend = member_of(b).backend;
    return HeldBackend{std::move(hold), backend};
}

}  // namespace norvanes
