"""The type stub norvanes.pyi: exact to the runtime, and useful to mypy.

Against a CMake build the stub is taken from binding/ (MYPYPATH); against an
installed norvanes, from the installation, which must carry it twice: beside
the module and as the stub-only package norvanes-stubs that mypy reads.
"""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import norvanes

from conftest import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCE_STUB = ROOT / "binding" / "norvanes.pyi"
FIXTURES = pathlib.Path(__file__).resolve().parent / "typecheck"
MODULE_DIR = pathlib.Path(norvanes.__file__).resolve().parent
INSTALLED_STUBS = MODULE_DIR / "norvanes-stubs" / "__init__.pyi"
INSTALLED = INSTALLED_STUBS.exists()


@pytest.fixture(scope="session")
def mypy_env(tmp_path_factory):
    if importlib.util.find_spec("mypy") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("mypy is not installed in this environment")
        pytest.skip("mypy is not installed in this environment")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if not INSTALLED:
        env["MYPYPATH"] = str(SOURCE_STUB.parent)
    env["MYPY_CACHE_DIR"] = str(tmp_path_factory.mktemp("mypy-cache"))
    return env


# mypy keeps its cache in flat files here: the cache is not under test, and
# newer mypy's SQLite cache needs sqlite3, which an interpreter may lack (the
# musl interpreters the wheels are tested in are built without it).
def mypy(env, path):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--no-pretty", "--show-error-codes",
         "--no-color-output", "--no-sqlite-cache", str(path)],
        capture_output=True, text=True, env=env, cwd=str(path.parent), timeout=600,
    )


def test_typed_usage_passes_strict_checking(mypy_env):
    result = mypy(mypy_env, FIXTURES / "typed_usage.py")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found in 1 source file")


def test_typed_usage_runs():
    child = run_python((FIXTURES / "typed_usage.py").read_text())
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == "ok"


def test_misuse_is_rejected_line_by_line(mypy_env):
    path = FIXTURES / "misuse.py"
    expected = {
        (number, match.group(1))
        for number, line in enumerate(path.read_text().splitlines(), start=1)
        if (match := re.search(r"# E: ([a-z-]+)$", line))
    }
    result = mypy(mypy_env, path)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {
        (int(match.group(1)), match.group(2))
        for match in re.finditer(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.MULTILINE)
    }
    assert reported == expected, result.stdout
    assert f"Found {len(expected)} errors in 1 file" in result.stdout


# -- the stub against the runtime ----------------------------------------------------------------


def _stub_tree():
    return ast.parse(SOURCE_STUB.read_text())


def _stub_classes():
    return {node.name: node for node in _stub_tree().body if isinstance(node, ast.ClassDef)}


def _stub_members(cls_node):
    names = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
    return names


def _stub_parameters(func):
    """(name, kind, default) of a stub def, without self or cls."""
    args = func.args
    assert not args.kwonlyargs and args.vararg is None and args.kwarg is None
    ordered = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    ordered += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [inspect.Parameter.empty] * (len(ordered) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return [(a.arg, kind, default) for (a, kind), default in zip(ordered, defaults)][1:]


def _runtime_parameters(obj, bound):
    """(name, kind, default) of a runtime callable from its __text_signature__."""
    assert obj.__text_signature__, obj
    params = list(inspect.signature(obj).parameters.values())
    if not bound:
        params = params[1:]  # $self
    return [(p.name, p.kind, p.default) for p in params]


SIGNATURES = [
    # runtime object, bound (the type's own signature has no $self), stub class, stub def
    ("Norvane", True, "Norvane", "__new__"),
    ("Norvane.encrypt", False, "Norvane", "encrypt"),
    ("Norvane.decrypt", False, "Norvane", "decrypt"),
    ("Norvane.decrypt_for", False, "Norvane", "decrypt_for"),
    ("Backend.__int__", False, "Backend", "__int__"),
    ("Backend.__eq__", False, "Backend", "__eq__"),
    ("Backend.__ne__", False, "Backend", "__ne__"),
]


@pytest.mark.parametrize("runtime, bound, cls, name", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_stub_signatures_are_the_runtime_signatures(runtime, bound, cls, name):
    obj = norvanes
    for part in runtime.split("."):
        obj = getattr(obj, part)
    stub = _stub_members(_stub_classes()[cls])[name]
    assert _stub_parameters(stub) == _runtime_parameters(obj, bound)


def test_stubtest_finds_no_difference(mypy_env, tmp_path):
    # mypy's own comparison of stub and runtime: names, __all__, kinds.
    # stubtest keeps its cache in the working folder, whatever MYPY_CACHE_DIR
    # says; the source tree may be read-only.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nsqlite_cache = False\n")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), "norvanes"],
                            capture_output=True, text=True, env=mypy_env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


@pytest.mark.skipif(not INSTALLED, reason="norvanes is not an installed package here")
@pytest.mark.parametrize("installed", [MODULE_DIR / "norvanes.pyi", INSTALLED_STUBS], ids=["beside", "stubs-package"])
def test_installed_stub_is_the_source_stub(installed):
    assert installed.read_bytes() == SOURCE_STUB.read_bytes()
