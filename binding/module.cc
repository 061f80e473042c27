// module.cc - the norvanes extension module: multi-phase initialisation.
//
// PyInit_norvanes only hands CPython the definition; the exec function binds
// the process-wide Norvane and Backend types in each new module object and
// lists them in __all__.
#include <Python.h>

#include <string>

#include "args.h"
#include "backend_type.h"
#include "guard.h"
#include "norvane/fault.h"
#include "norvane_type.h"
#include "py_compat.h"
#include "py_ref.h"

namespace norvanes {
namespace {

constexpr const char* kModuleDoc =
    "Python bindings for norvane 3.0: AES-256-GCM and XChaCha20-Poly1305.\n"
    "\n"
    "Encrypt UTF-8 bytes with Norvane and an explicit Backend. Version 3.0\n"
    "retains 2.x token compatibility; use expires_at=None for no expiry.";

// describe_pending takes the pending exception and describes it as
// "Type: message" for a fault report.
std::string describe_pending() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return "no exception was set";
    }
    std::string text = Py_TYPE(exc.get())->tp_name;
    Ref str = Ref::steal(PyObject_Str(exc.get()));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
    } else if (*utf8 != '\0') {
        text += ": ";
        text += utf8;
    }
    return text;
}

// add_public_name binds `value` as module.name and appends the name to the
// module's __all__, creating the list if the module has none yet.
int add_public_name(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return -1;
        }
    } else if (!PyList_Check(all.get())) {
        raise_wrong_type(all.get(), "list");
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        throw norvane::InternalFault("could not append __name__ to __all__: " + describe_pending());
    }
    return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
    return guard_status("norvanes module exec", [&]() -> int {
        // The types and Backend members are process-wide objects owned by
        // the main interpreter; another interpreter must not share them.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "norvanes does not support sub-interpreters; import it in the main interpreter");
            return -1;
        }
        PyTypeObject* norvane = norvane_type();
        if (norvane == nullptr || add_public_name(module, "Norvane", reinterpret_cast<PyObject*>(norvane)) < 0) {
            return -1;
        }
        PyTypeObject* backend = backend_type();
        if (backend == nullptr || add_public_name(module, "Backend", reinterpret_cast<PyObject*>(backend)) < 0) {
            return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    NORVANES_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvanes",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace norvanes

PyMODINIT_FUNC PyInit_norvanes(void) { return PyModuleDef_Init(&norvanes::module_def); }
