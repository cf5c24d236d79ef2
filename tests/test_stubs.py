"""The committed type stubs must describe the built modules: each stub is what
scripts/gen_stubs.py writes today, and every function, class and method of a
module appears in its stub with the same parameters (names, kinds, which have
defaults) and the module's annotation texts, made complete for strict type
checkers (no quotes, a bare ``dict`` given its parameters, ``Self`` from
``__enter__``, an annotation wherever the module has none)."""

import ast
import dataclasses
import importlib
import inspect
import re

import pytest

from tests.support import ROOT, load_gen_stubs

STUB_ROOT = ROOT / "src" / "private_core"
gen_stubs = load_gen_stubs()
MODULES = gen_stubs.extension_modules()
is_core_function = gen_stubs.is_kit_function


def stub_params(fn: ast.FunctionDef):
    a = fn.args
    positional = [(arg, inspect.Parameter.POSITIONAL_ONLY) for arg in a.posonlyargs] + \
                 [(arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(arg.arg, kind, d is not None, arg.annotation) for (arg, kind), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False, a.vararg.annotation))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, d is not None, arg.annotation))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False, a.kwarg.annotation))
    return out


def expected_text(annotation):
    """The stub's spelling of a module's annotation text."""
    tree = ast.parse(str(annotation), mode="eval").body
    if isinstance(tree, ast.Constant) and isinstance(tree.value, str):
        tree = ast.parse(tree.value, mode="eval").body
    return re.sub(r"\bdict\b(?!\[)", "dict[str, Any]", ast.unparse(tree))


def check_function(stub: ast.FunctionDef, runtime, where: str, cls_name=None):
    sig = inspect.signature(runtime)
    params = list(sig.parameters.values())
    got = [(p.name, p.kind, p.default is not inspect.Parameter.empty) for p in params]
    assert got == [(n, k, d) for n, k, d, _ in stub_params(stub)], where
    for p, (name, _, _, ann) in zip(params, stub_params(stub)):
        if p.annotation is not inspect.Parameter.empty:
            assert ast.unparse(ann) == expected_text(p.annotation), f"{where}({name})"
        else:
            assert ann is not None or (cls_name and name == "self"), f"{where}({name}) left unannotated"
    assert stub.returns is not None, where
    returned = ast.unparse(stub.returns)
    if sig.return_annotation is not inspect.Signature.empty:
        want = expected_text(sig.return_annotation)
        assert returned == ("Self" if stub.name == "__enter__" and want == cls_name else want), where


def stub_tree(name):
    return ast.parse((STUB_ROOT / (name.replace(".", "/") + ".pyi")).read_text())


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_what_the_generator_writes(name):
    committed = (STUB_ROOT / (name.replace(".", "/") + ".pyi")).read_text()
    assert committed == gen_stubs.stub_for("private_core." + name), \
        "stale stub: run .venv/bin/python scripts/gen_stubs.py"


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module("private_core." + name)
    tree = stub_tree(name)
    defs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    for attr, value in vars(module).items():
        if is_core_function(value) and value.__module__ == module.__name__ and not attr.startswith("__"):
            assert attr in defs, f"{name}.{attr} missing from the stub"
            check_function(defs[attr], value, f"{name}.{attr}")
        elif isinstance(value, type) and value.__module__ == module.__name__:
            assert attr in classes, f"{name}.{attr} missing from the stub"
            methods = {n.name: n for n in classes[attr].body if isinstance(n, ast.FunctionDef)}
            for mname, member in vars(value).items():
                if is_core_function(member):
                    assert mname in methods, f"{name}.{attr}.{mname} missing from the stub"
                    check_function(methods[mname], member, f"{name}.{attr}.{mname}", attr)
            if dataclasses.is_dataclass(value):
                decorators = [ast.unparse(d) for d in classes[attr].decorator_list]
                assert any(d.startswith("dataclass") for d in decorators), f"{name}.{attr} is a dataclass"
                fields = [n.target.id for n in classes[attr].body if isinstance(n, ast.AnnAssign)]
                assert fields == [f.name for f in dataclasses.fields(value)]
    # Nothing in the stub that the module lacks.
    for stub_name in [*defs, *classes]:
        assert hasattr(module, stub_name), f"{name}.{stub_name} only in the stub"
    # __all__ with the module's own values, or none when the module has none.
    declared = [ast.literal_eval(n.value) for n in tree.body
                if isinstance(n, ast.Assign) and [ast.unparse(t) for t in n.targets] == ["__all__"]]
    assert declared == ([list(module.__all__)] if hasattr(module, "__all__") else [])


def test_package_is_marked_typed():
    assert (STUB_ROOT / "py.typed").exists()
