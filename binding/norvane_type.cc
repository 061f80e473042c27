#include "norvane_type.h"

#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "args.h"
#include "backend_type.h"
#include "clock.h"
#include "errors.h"
#include "guard.h"
#include "hold.h"
#include "norvane/fault.h"
#include "norvane/norvane.h"
#include "once.h"
#include "py_ref.h"
#include "utf8.h"

namespace norvanes {
namespace {

// The core value is built before the Python object exists and moved into
// its storage; from then on it is only read. `built` is set last, by
// Norvane.__new__ alone: the type is mutable, so Python code can replace
// __new__ and get a zero-filled object whose core was never constructed.
struct NorvaneObject {
    PyObject_HEAD
    alignas(norvane::Norvane) unsigned char core_storage[sizeof(norvane::Norvane)];
    HoldCounter holds;
    bool built;
};

NorvaneObject* as_norvane(PyObject* obj) noexcept { return reinterpret_cast<NorvaneObject*>(obj); }

// built_norvane returns the object if Norvane.__new__ built it, else null
// with TypeError set.
NorvaneObject* built_norvane(PyObject* obj) noexcept {
    NorvaneObject* self = as_norvane(obj);
    if (!self->built) {
        PyErr_SetString(PyExc_TypeError,
                        "this Norvane object was not initialised by Norvane.__new__ and holds no key; "
                        "create it with Norvane(backend, key=...)");
        return nullptr;
    }
    return self;
}

const norvane::Norvane& core_of(NorvaneObject* self) noexcept {
    return *std::launder(reinterpret_cast<norvane::Norvane*>(self->core_storage));
}

constexpr const char* kNorvaneDoc =
    "Norvane(backend, key=None, key_env=None)\n"
    "--\n"
    "\n"
    "Encrypts UTF-8 bytes using the selected AEAD backend.\n"
    "\n"
    "Pass exactly one of key (a random 128-bit integer) or key_env\n"
    "(the name of an environment variable containing a decimal key).\n"
    "Reuse the same key and backend across processes that share tokens.\n"
    "Invalid key configuration raises ValueError; a direct key above\n"
    "2**128 - 1 raises OverflowError. A negative direct key raises ValueError\n"
    "or OverflowError depending on the Python interpreter.\n"
    "\n"
    "Version 3.0 reads 2.x tokens, but rejects expires_at=0 on encryption.";

constexpr const char* kEncryptDoc =
    "encrypt($self, data, expires_at=None, purpose=None)\n"
    "--\n"
    "\n"
    "Encrypts up to 16,384 UTF-8 bytes and returns a str token.\n"
    "\n"
    "expires_at must be None (no expiry) or a positive Unix timestamp\n"
    "in seconds; zero raises ValueError. An explicit purpose must contain\n"
    "1 to 255 UTF-8 bytes; None uses \"session\".\n"
    "\n"
    "Encryption errors, including unavailable operating system\n"
    "randomness, are reported as ValueError. An expiry outside the\n"
    "unsigned 64-bit integer range raises OverflowError.";

constexpr const char* kDecryptDoc =
    "decrypt($self, token)\n"
    "--\n"
    "\n"
    "Decrypts a str token for the default purpose (\"session\") to bytes.\n"
    "\n"
    "Raises ValueError for malformed, oversized, tampered, expired,\n"
    "wrong-key, wrong-backend, or wrong-purpose tokens. Authenticity is\n"
    "verified before purpose and expiry. Use decrypt_for for another purpose.";

constexpr const char* kDecryptForDoc =
    "decrypt_for($self, token, purpose)\n"
    "--\n"
    "\n"
    "Decrypts a str token to bytes, requiring an exact purpose match.\n"
    "\n"
    "purpose is a required str and can also be \"session\". Token errors\n"
    "raise ValueError, as with decrypt; authenticity is checked before\n"
    "purpose and expiry.";

// StrSink lets the core write the token straight into a new ASCII str of
// its exact length, so the text is written once and never copied.
class StrSink final : public norvane::TokenSink {
public:
    char* reserve(std::size_t len) override {
        str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
        if (!str) {
            null_result_fault();
        }
        return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get()));
    }
    Ref str;
};

// BytesSink lets the core decode a token's ciphertext straight into a new
// bytes object of the plaintext's exact length and open it there, so that
// the plaintext is never copied, nor left behind in a block that a
// shrinking would free.
class BytesSink final : public norvane::SealedSink {
public:
    std::uint8_t* reserve(std::size_t len) override {
        bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
        if (!bytes) {
            null_result_fault();
        }
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    }
    Ref bytes;
};

constexpr Signature kNewSig{"Norvane.__new__()", {"backend", "key", "key_env"}, 3, 1};
constexpr Signature kEncryptSig{"Norvane.encrypt()", {"data", "expires_at", "purpose"}, 3, 1};
constexpr Signature kDecryptSig{"Norvane.decrypt()", {"token", nullptr, nullptr}, 1, 1};
constexpr Signature kDecryptForSig{"Norvane.decrypt_for()", {"token", "purpose", nullptr}, 2, 2};

PyObject* norvane_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard("Norvane.__new__", [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_tuple(kNewSig, args, kwargs, bound)) {
            return nullptr;
        }
        const std::optional<HeldBackend> backend = extract_backend(bound[0]);
        if (!backend) {
            add_processing_note(kNewSig.names[0]);
            return nullptr;
        }
        std::optional<norvane::Key> key;
        if (PyObject* arg = bound.given(1); arg != nullptr && !to_key(arg, kNewSig.names[1], key)) {
            return nullptr;
        }
        std::optional<std::string_view> key_env;
        if (PyObject* arg = bound.given(2); arg != nullptr) {
            std::string_view name;
            if (!to_text(arg, kNewSig.names[2], name)) {
                return nullptr;
            }
            key_env = name;
        }
        norvane::Result<norvane::Key> resolved = norvane::resolve_key(key ? &*key : nullptr, key_env);
        key.reset();
        if (!resolved) {
            return raise_norvane_error(resolved.error());
        }
        norvane::Norvane core = norvane::Norvane::create(backend->backend, *resolved);

        // If the object cannot be made, `core` is destroyed (and its key
        // material wiped) on the way out.
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return nullptr;
        }
        Ref made = Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
        if (!made) {
            return nullptr;
        }
        NorvaneObject* self = as_norvane(made.get());
        std::construct_at(reinterpret_cast<norvane::Norvane*>(self->core_storage), std::move(core));
        std::construct_at(&self->holds, 0);
        self->built = true;
        return made.release();
    });
}

PyObject* norvane_encrypt(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("Norvane.encrypt", [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_fastcall(kEncryptSig, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        NorvaneObject* self = built_norvane(obj);
        if (self == nullptr) {
            return nullptr;
        }
        SharedHold hold(self->holds);

        norvane::ByteView data;
        if (!to_bytes(bound[0], kEncryptSig.names[0], data)) {
            return nullptr;
        }
        std::optional<std::uint64_t> expires_at;
        if (PyObject* arg = bound.given(1); arg != nullptr) {
            std::uint64_t seconds = 0;
            if (!to_u64(arg, kEncryptSig.names[1], seconds)) {
                return nullptr;
            }
            expires_at = seconds;
        }
        std::optional<std::string_view> purpose;
        if (PyObject* arg = bound.given(2); arg != nullptr) {
            std::string_view text;
            if (!to_text(arg, kEncryptSig.names[2], text)) {
                return nullptr;
            }
            purpose = text;
        }
        if (!check_data_utf8(data)) {
            return nullptr;
        }
        StrSink token;
        if (auto written = core_of(self).encrypt_into(data, expires_at, purpose, token); !written) {
            return raise_norvane_error(written.error());
        }
        return token.str.release();
    });
}

// open_token is the common body of decrypt and decrypt_for. A signature
// with a second parameter names the expected purpose; decrypt, with only
// the token, expects the default purpose.
PyObject* open_token(PyObject* obj, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    BoundArgs bound;
    if (!bind_fastcall(sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    NorvaneObject* self = built_norvane(obj);
    if (self == nullptr) {
        return nullptr;
    }
    SharedHold hold(self->holds);

    std::string_view token;
    if (!to_text(bound[0], sig.names[0], token)) {
        return nullptr;
    }
    std::string_view purpose = norvane::DEFAULT_PURPOSE;
    if (sig.count > 1 && !to_text(bound[1], sig.names[1], purpose)) {
        return nullptr;
    }
    BytesSink plaintext;
    const norvane::Result<std::size_t> len = core_of(self).decrypt_for_at_into(token, purpose, unix_now(), plaintext);
    if (!len) {
        return raise_norvane_error(len.error());
    }
    if (!plaintext.bytes || PyBytes_GET_SIZE(plaintext.bytes.get()) != static_cast<Py_ssize_t>(*len)) {
        throw norvane::InternalFault("the plaintext fills the bytes object made for it");
    }
    return plaintext.bytes.release();
}

PyObject* norvane_decrypt(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("Norvane.decrypt", [&] { return open_token(obj, kDecryptSig, args, nargs, kwnames); });
}

PyObject* norvane_decrypt_for(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("Norvane.decrypt_for", [&] { return open_token(obj, kDecryptForSig, args, nargs, kwnames); });
}

void norvane_dealloc(PyObject* obj) {
    guard_dealloc("Norvane.__dealloc__", [&] {
        PyTypeObject* type = Py_TYPE(obj);
        NorvaneObject* self = as_norvane(obj);
        if (self->built) {
            std::destroy_at(std::launder(reinterpret_cast<norvane::Norvane*>(self->core_storage)));
            std::destroy_at(&self->holds);
        }
        type->tp_free(obj);
        Ref type_ref = Ref::steal(type);  // the instance's reference to its heap type
    });
}

// The fast-call signature is what METH_FASTCALL | METH_KEYWORDS promises;
// the detour through a function type without parameters is how C++ spells
// "this cast is intended".
template <class F>
PyCFunction as_method(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef norvane_methods[] = {
    {"encrypt", as_method(&norvane_encrypt), METH_FASTCALL | METH_KEYWORDS, kEncryptDoc},
    {"decrypt", as_method(&norvane_decrypt), METH_FASTCALL | METH_KEYWORDS, kDecryptDoc},
    {"decrypt_for", as_method(&norvane_decrypt_for), METH_FASTCALL | METH_KEYWORDS, kDecryptForDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot norvane_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNorvaneDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&norvane_new)},
    {Py_tp_methods, norvane_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&norvane_dealloc)},
    {0, nullptr},
};

PyType_Spec norvane_spec = {
    "builtins.Norvane",
    static_cast<int>(sizeof(NorvaneObject)),
    0,
    0,
    norvane_slots,
};

OnceCell type_cell;

}  // namespace

PyTypeObject* norvane_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init([]() -> Ref {
        Ref type = Ref::steal(PyType_FromSpec(&norvane_spec));
        if (!type) {
            raise_runtime_error_from("An error occurred while initializing class Norvane");
        }
        return type;
    }));
}

}  // namespace norvanes
