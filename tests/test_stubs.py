"""The committed type stubs must describe the built modules: every function,
class and method of a module appears in its stub with the same parameters
(names, kinds, which have defaults) and the same annotation texts."""

import ast
import dataclasses
import importlib
import importlib.machinery
import importlib.util
import pkgutil
import inspect
from pathlib import Path

import pytest

import private_core

STUB_ROOT = Path(private_core.__file__).parent


def extension_modules():
    found = []
    for info in pkgutil.walk_packages(private_core.__path__, "private_core."):
        spec = importlib.util.find_spec(info.name)
        if spec and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            found.append(info.name.removeprefix("private_core."))
    return sorted(found)


MODULES = extension_modules()
KINDS = {"posonly": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonly": inspect.Parameter.KEYWORD_ONLY}


def is_core_function(obj):
    return repr(type(obj)) == "<class 'private_core.function'>"


def stub_params(fn: ast.FunctionDef):
    a = fn.args
    out = []
    defaults = [None] * (len(a.args) - len(a.defaults)) + list(a.defaults)
    for arg, d in zip(a.args, defaults):
        out.append((arg.arg, KINDS["args"], d is not None, arg.annotation))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False, a.vararg.annotation))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, KINDS["kwonly"], d is not None, arg.annotation))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False, a.kwarg.annotation))
    return out


def ann_text(node):
    # A quoted annotation unparses with its quotes, as the module's text has them.
    return None if node is None else ast.unparse(node)


def runtime_ann(value):
    return None if value is inspect.Parameter.empty else str(value)


def check_function(stub: ast.FunctionDef, runtime, where: str):
    sig = inspect.signature(runtime)
    got = [(p.name, p.kind, p.default is not inspect.Parameter.empty, runtime_ann(p.annotation))
           for p in sig.parameters.values()]
    want = [(n, k, d, ann_text(a)) for n, k, d, a in stub_params(stub)]
    assert got == want, where
    ret = None if sig.return_annotation is inspect.Signature.empty else str(sig.return_annotation)
    assert ret == ann_text(stub.returns), where


def load(name):
    module = importlib.import_module("private_core." + name)
    tree = ast.parse((STUB_ROOT / (name.replace(".", "/") + ".pyi")).read_text())
    return module, tree


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module, tree = load(name)
    defs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    for attr, value in vars(module).items():
        if is_core_function(value) and value.__module__ == module.__name__:
            assert attr in defs, f"{name}.{attr} missing from the stub"
            check_function(defs[attr], value, f"{name}.{attr}")
        elif isinstance(value, type) and value.__module__ == module.__name__:
            assert attr in classes, f"{name}.{attr} missing from the stub"
            methods = {n.name: n for n in classes[attr].body if isinstance(n, ast.FunctionDef)}
            for mname, member in vars(value).items():
                if is_core_function(member):
                    assert mname in methods, f"{name}.{attr}.{mname} missing from the stub"
                    check_function(methods[mname], member, f"{name}.{attr}.{mname}")
            if dataclasses.is_dataclass(value):
                fields = [n.target.id for n in classes[attr].body if isinstance(n, ast.AnnAssign)]
                assert fields[: len(dataclasses.fields(value))] == [f.name for f in dataclasses.fields(value)]
    # Nothing in the stub that the module lacks.
    for stub_name in [*defs, *classes]:
        assert hasattr(module, stub_name), f"{name}.{stub_name} only in the stub"


def test_package_is_marked_typed():
    assert (STUB_ROOT / "py.typed").exists()
