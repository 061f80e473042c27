"""The module object: its names, docs, types, re-import and interpreters."""

import importlib
import importlib.util
import sys
import weakref

import pytest

import norvanes
from norvanes import Backend, Norvane

from conftest import raised, run_python

MODULE_DOC = (
    "Python bindings for norvane 3.0: AES-256-GCM and XChaCha20-Poly1305.\n"
    "\n"
    "Encrypt UTF-8 bytes with Norvane and an explicit Backend. Version 3.0\n"
    "retains 2.x token compatibility; use expires_at=None for no expiry."
)

TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14
TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7


def test_module_binds_exactly_its_public_names():
    assert norvanes.__all__ == ["Norvane", "Backend"]
    assert type(norvanes.__all__) is list
    assert norvanes.Norvane is Norvane and norvanes.Backend is Backend
    assert set(vars(norvanes)) == {
        "__name__", "__doc__", "__file__", "__spec__", "__loader__", "__package__",
        "__all__", "Norvane", "Backend",
    }
    assert not hasattr(norvanes, "__version__")


def test_module_docstring():
    assert norvanes.__doc__ == MODULE_DOC


@pytest.mark.parametrize("cls, name", [(Norvane, "Norvane"), (Backend, "Backend")])
def test_type_names(cls, name):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize(
    "cls, extra_flags",
    [(Norvane, 0), (Backend, TPFLAGS_DISALLOW_INSTANTIATION)],
)
def test_type_flags(cls, extra_flags):
    flags = cls.__flags__
    assert flags & TPFLAGS_HEAPTYPE
    assert flags & TPFLAGS_DISALLOW_INSTANTIATION == extra_flags
    for absent in (TPFLAGS_BASETYPE, TPFLAGS_HAVE_GC, TPFLAGS_IMMUTABLETYPE):
        assert not flags & absent


@pytest.mark.parametrize("cls", [Norvane, Backend])
def test_types_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


# Each type beside one of CPython's own of the same kind, and the names
# CPython gives both in messages: Norvane has a constructor of its own, as
# int does; Backend has none, as the type of sys.flags.
@pytest.mark.parametrize("cls, name, like, like_name", [
    (Norvane, "builtins.Norvane", int, "int"),
    (Backend, "builtins.Backend", type(sys.flags), "sys.flags"),
])
def test_object_new_cannot_bypass_the_constructor(cls, name, like, like_name):
    # An instance made without tp_new would hold no prepared core value. The
    # refusal is the interpreter's own, worded as it words it for its own
    # type of the same kind ("object.__new__(X) is not safe" up to 3.13,
    # "cannot create 'X' instances" for a type without a constructor on 3.14).
    expected = str(raised(object.__new__, like)).replace(like_name, name)
    assert name in expected
    error = raised(object.__new__, cls)
    assert type(error) is TypeError
    assert str(error) == expected


def test_norvane_type_surface():
    public = [name for name in vars(Norvane) if not name.startswith("__")]
    assert public == ["encrypt", "decrypt", "decrypt_for"]
    assert Norvane.__text_signature__ == "(backend, key=None, key_env=None)"
    assert "__init__" not in vars(Norvane)
    assert "__repr__" not in vars(Norvane) and "__eq__" not in vars(Norvane)


@pytest.mark.parametrize("make", [lambda: Backend.AES256_GCM, lambda: Norvane(Backend.AES256_GCM, key=1)])
def test_instances_have_no_dict_and_no_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_types_are_mutable():
    Norvane.extra_attribute = 1
    try:
        assert Norvane.extra_attribute == 1
    finally:
        del Norvane.extra_attribute
    assert not hasattr(Norvane, "extra_attribute")


@pytest.fixture
def fresh_import():
    """Import norvanes anew, restoring the original module afterwards."""
    original = sys.modules["norvanes"]
    try:
        del sys.modules["norvanes"]
        yield importlib.import_module("norvanes")
    finally:
        sys.modules["norvanes"] = original


def test_reimport_binds_the_same_process_wide_objects(fresh_import):
    assert fresh_import is not norvanes
    assert fresh_import.Norvane is Norvane
    assert fresh_import.Backend is Backend
    assert fresh_import.Backend.AES256_GCM is Backend.AES256_GCM
    assert fresh_import.__all__ == ["Norvane", "Backend"]
    assert fresh_import.__all__ is not norvanes.__all__
    token = fresh_import.Norvane(fresh_import.Backend.AES256_GCM, key=3).encrypt(b"x")
    assert Norvane(Backend.AES256_GCM, key=3).decrypt(token) == b"x"


def _unexecuted_module():
    found = importlib.util.find_spec("norvanes")
    return found, importlib.util.module_from_spec(found)


@pytest.mark.parametrize("existing", [["first"], type("ListChild", (list,), {})(["first"])])
def test_exec_appends_to_an_existing_all_list(existing):
    found, module = _unexecuted_module()
    module.__all__ = existing
    found.loader.exec_module(module)
    assert module.__all__ is existing
    assert list(module.__all__) == ["first", "Norvane", "Backend"]
    assert module.Norvane is Norvane and module.Backend is Backend


@pytest.mark.parametrize("bad, type_name", [(("first",), "tuple"), ("first", "str"), (None, "NoneType")])
def test_exec_refuses_an_all_that_is_not_a_list(bad, type_name):
    found, module = _unexecuted_module()
    module.__all__ = bad
    error = pytest.raises(TypeError, found.loader.exec_module, module).value
    assert str(error) == f"'{type_name}' object is not an instance of 'list'"
    assert not hasattr(module, "Norvane")


def test_exec_creates_all_when_missing():
    found, module = _unexecuted_module()
    assert not hasattr(module, "__all__")
    found.loader.exec_module(module)
    assert module.__all__ == ["Norvane", "Backend"]


SUBINTERPRETER_PROBE = """
import json
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    print(json.dumps("unavailable"))
    raise SystemExit(0)
results = {}
for isolated in (False, True):
    interp = interpreters.create(isolated=isolated)
    try:
        interpreters.run_string(interp, "import norvanes")
        results[str(isolated)] = "imported"
    except interpreters.RunFailedError as error:
        results[str(isolated)] = str(error)
    finally:
        interpreters.destroy(interp)
import norvanes
results["main"] = norvanes.__all__
print(json.dumps(results))
"""


@pytest.mark.parametrize("main_first", [False, True])
def test_subinterpreters_are_refused(main_first):
    import json

    code = ("import norvanes\n" if main_first else "") + SUBINTERPRETER_PROBE
    child = run_python(code)
    assert child.returncode == 0, child.stderr
    results = json.loads(child.stdout)
    if results == "unavailable":
        pytest.skip("this interpreter has no _xxsubinterpreters")
    # A legacy (shared-GIL) interpreter gets as far as the exec function,
    # which refuses it.
    assert "ImportError" in results["False"]
    assert "norvanes does not support sub-interpreters" in results["False"]
    # An isolated interpreter is refused by CPython before the exec function.
    assert "ImportError" in results["True"]
    assert results["main"] == ["Norvane", "Backend"]


# Fail one allocation at a time, ever deeper into the exec function, until
# an import succeeds: every failure on the way must be reported as the
# documented error, and the types and members made in the end must be
# consistent even though earlier attempts failed half-way.
INIT_FAILURE_PROBE = """
import importlib.util, json
try:
    import _testcapi
except ImportError:
    print(json.dumps("unavailable"))
    raise SystemExit(0)
import sys
# CPython 3.13 (3.13.5 at least) counts a string as added to its table of
# interned strings even when the allocation for adding it failed; the table
# is then walked past its end at its next resize. The names the module's
# types define are interned here first, so a failure injected into the import
# never lands in that table.
PREINTERNED = {sys.intern(name) for name in (
    "Norvane", "Backend", "encrypt", "decrypt", "decrypt_for", "AES256_GCM", "XCHACHA20_POLY1305",
)}
found = importlib.util.find_spec("norvanes")
outcomes = []
for start in range(1000):
    module = importlib.util.module_from_spec(found)
    _testcapi.set_nomemory(start, start + 1)
    try:
        found.loader.exec_module(module)
        outcome = "ok"
    except BaseException as error:
        cause = error.__cause__
        outcome = [type(error).__name__, str(error), type(cause).__name__ if cause else None]
    finally:
        _testcapi.remove_mem_hooks()
    outcomes.append(outcome)
    if outcome == "ok":
        break
import norvanes
Backend = norvanes.Backend
state = {
    "members": [type(Backend.AES256_GCM) is Backend, type(Backend.XCHACHA20_POLY1305) is Backend],
    "same": [module.Backend is Backend, module.Norvane is norvanes.Norvane],
    "ints": [int(Backend.AES256_GCM), int(Backend.XCHACHA20_POLY1305)],
    "all": module.__all__,
    "not_preinterned": sorted(
        name for name in [*vars(Backend), *vars(norvanes.Norvane), *module.__all__]
        if not name.startswith("__") and name not in PREINTERNED
    ),
}
box = norvanes.Norvane(Backend.AES256_GCM, key=1)
state["works"] = box.decrypt(box.encrypt(b"x")).decode()
print(json.dumps({"outcomes": outcomes, "state": state}))
"""

TYPE_INIT_ERRORS = [
    "An error occurred while initializing class Norvane",
    "An error occurred while initializing class Backend",
    "An error occurred while initializing `Backend.AES256_GCM`",
    "An error occurred while initializing `Backend.XCHACHA20_POLY1305`",
    "An error occurred while initializing `Backend.__dict__`",
]


def test_type_creation_failures_are_reported_and_retried():
    import json

    child = run_python(INIT_FAILURE_PROBE)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    if result == "unavailable":
        pytest.skip("this interpreter has no _testcapi")
    outcomes = result["outcomes"]
    assert outcomes[-1] == "ok"
    seen = set()
    for outcome in outcomes[:-1]:
        name, message, cause = outcome
        if name == "RuntimeError":
            assert message in TYPE_INIT_ERRORS
            assert cause in ("MemoryError", None)
            seen.add(message)
        elif name == "PanicException":
            assert message.startswith("could not append __name__ to __all__: ")
        else:
            assert name == "MemoryError", outcome
    assert seen == set(TYPE_INIT_ERRORS)
    assert result["state"] == {
        "members": [True, True],
        "same": [True, True],
        "ints": [0, 1],
        "all": ["Norvane", "Backend"],
        "not_preinterned": [],
        "works": "x",
    }


def test_type_stub_matches_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).resolve().parents[2] / "binding" / "norvanes.pyi"
    if not stub.exists():
        pytest.skip("the type stub is only in a source checkout")
    tree = ast.parse(stub.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert sorted(classes) == sorted(norvanes.__all__)
    methods = [n.name for n in classes["Norvane"].body if isinstance(n, ast.FunctionDef) and n.name != "__new__"]
    assert methods == [name for name in vars(Norvane) if not name.startswith("__")]
    members = [n.target.id for n in classes["Backend"].body
               if isinstance(n, ast.AnnAssign) and n.target.id.isupper()]
    assert members == [name for name in vars(Backend) if name.isupper()]
