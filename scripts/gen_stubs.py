"""Writes the type stubs (src/private_core/**/*.pyi) from the built modules.

The extension modules carry their signatures (``__signature__``, with the
annotation texts of the source), so the stubs are derived from what was
built rather than written twice by hand.  Run after a build:

    .venv/bin/python scripts/gen_stubs.py

The stubs are meant for users' strict type checkers, so the texts are made
complete where the source leaves them loose: a bare ``dict`` becomes
``dict[str, Any]``, a quoted annotation loses its quotes, a parameter without
an annotation is ``Any``, ``__enter__`` returns ``Self``, dataclasses are
``@dataclass`` classes and ``__all__`` keeps its values.  Names, kinds and
defaults of the parameters are always the modules' own.

tests/test_stubs.py checks that the committed stubs are what this script
writes today and that they still match the modules.
"""

from __future__ import annotations

import ast
import dataclasses
import importlib
import inspect
import logging
import re
import sys
import types
import typing
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def extension_modules() -> list[str]:
    """Every extension module of the installed package, as "name" or "investor.name"."""
    import importlib.machinery
    import importlib.util
    import pkgutil

    import private_core

    found = []
    for info in pkgutil.walk_packages(private_core.__path__, "private_core."):
        spec = importlib.util.find_spec(info.name)
        if spec and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            found.append(info.name.removeprefix("private_core."))
    return sorted(found)


TYPING_NAMES = ["Any", "Callable", "Dict", "Hashable", "Iterable", "List", "Literal", "Mapping", "Optional",
                "Protocol", "Self", "Sequence", "Tuple", "Union"]
# Where a name's home module is private, import it from its public one.
PUBLIC_HOME = {"ValidationError": "pydantic"}
# Names that annotations use although the module binds them only for type checkers.
TYPE_ONLY_IMPORTS = {"private_core.investor.FlowEngineContract": ["from private_core.wire_link import HttpSession"]}
# Attributes that instances get in __init__: the class object cannot show them.
INSTANCE_ATTRIBUTES = {
    "private_core.wire_link.HttpSession": {"api_key": "str", "base_url": "str", "timeout": "int"},
    "private_core.investor.flow_engine.InvestorFlowEngine": {"session": "HttpSession"},
}
# The context-manager protocol's exit arguments.
EXIT_PARAMS = {"exc_type": "type[BaseException] | None", "exc_value": "BaseException | None",
               "traceback": "TracebackType | None"}
DATACLASS_DEFAULTS = {"init": True, "repr": True, "eq": True, "order": False, "unsafe_hash": False,
                      "frozen": False, "match_args": True, "kw_only": False, "slots": False, "weakref_slot": False}


def is_kit_function(obj: object) -> bool:
    return repr(type(obj)) == "<class 'private_core.function'>"


class _Complete(ast.NodeTransformer):
    """Unquotes forward references and gives a bare ``dict`` its parameters."""

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        if isinstance(node.value, ast.Name) and node.value.id == "Literal":
            return node  # its strings are values, not forward references
        node.slice = self.visit(node.slice)
        return node  # the subscripted name itself stays as it is

    def visit_Constant(self, node: ast.Constant) -> ast.AST:
        if isinstance(node.value, str):
            return self.visit(ast.parse(node.value, mode="eval").body)
        return node

    def visit_Name(self, node: ast.Name) -> ast.AST:
        if node.id == "dict":
            return ast.parse("dict[str, Any]", mode="eval").body
        return node


def complete(text: str) -> str:
    """The stub's spelling of an annotation text of the source."""
    tree = ast.parse(text, mode="eval")
    return ast.unparse(_Complete().visit(tree.body))


def type_text(tp: object, mod: types.ModuleType) -> str:
    """How the module itself would spell an annotation object."""
    if isinstance(tp, str):
        return complete(tp)
    if isinstance(tp, type):
        if vars(mod).get(tp.__name__) is tp or tp.__module__ == "builtins":
            return complete(tp.__name__)
        for alias, value in vars(mod).items():
            if isinstance(value, types.ModuleType) and tp.__module__.startswith(value.__name__) and \
                    getattr(value, tp.__name__, None) is tp:
                return f"{alias}.{tp.__name__}"
        return tp.__name__
    text = typing_repr(tp).replace("typing.", "")
    for inner in getattr(tp, "__args__", ()):
        if isinstance(inner, type):
            text = text.replace(f"{inner.__module__}.{inner.__qualname__}", type_text(inner, mod))
    return complete(text)


def param_text(p: inspect.Parameter, cls_name: str | None, method: str) -> str:
    prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}.get(p.kind, "")
    text = prefix + p.name
    if p.annotation is not inspect.Parameter.empty:
        text += ": " + complete(str(p.annotation))
    elif cls_name is not None and method == "__exit__" and p.name in EXIT_PARAMS:
        text += ": " + EXIT_PARAMS[p.name]
    elif not (cls_name is not None and p.name == "self"):
        text += ": Any"  # what an unannotated parameter accepts
    if p.default is not inspect.Parameter.empty:
        text += " = ..."
    return text


def return_text(sig: inspect.Signature, cls_name: str | None, method: str) -> str:
    if sig.return_annotation is inspect.Signature.empty:
        return "None" if method == "__init__" else "Any"
    text = complete(str(sig.return_annotation))
    if method == "__enter__" and text == cls_name:
        return "Self"  # a subclass's `with` gets the subclass
    return text


def def_text(name: str, fn: object, indent: str = "", cls_name: str | None = None) -> str:
    sig = inspect.signature(fn)
    parts = []
    saw_kwonly_marker = False
    params = list(sig.parameters.values())
    for i, p in enumerate(params):
        if p.kind is inspect.Parameter.KEYWORD_ONLY and not saw_kwonly_marker:
            parts.append("*")
            saw_kwonly_marker = True
        if p.kind is inspect.Parameter.VAR_POSITIONAL:
            saw_kwonly_marker = True
        parts.append(param_text(p, cls_name, name))
        if p.kind is inspect.Parameter.POSITIONAL_ONLY and \
                (i + 1 == len(params) or params[i + 1].kind is not inspect.Parameter.POSITIONAL_ONLY):
            parts.append("/")
    return f"{indent}def {name}({', '.join(parts)}) -> {return_text(sig, cls_name, name)}: ..."


def typing_repr(tp: object) -> str:
    """repr() of a typing object as 3.13 spells it: from 3.14 on every union,
    typing's Union and Optional included, prints as ``X | Y``, and the stubs
    must not depend on the interpreter that generates them."""
    if typing.get_origin(tp) in (typing.Union, types.UnionType):
        args = typing.get_args(tp)
        inner = [typing_repr(a) for a in args if a is not type(None)]
        if len(args) == 2 and len(inner) == 1:
            return f"typing.Optional[{inner[0]}]"
        return "typing.Union[" + ", ".join(typing_repr(a) for a in args) + "]"
    if isinstance(tp, type):
        return tp.__qualname__ if tp.__module__ == "builtins" else f"{tp.__module__}.{tp.__qualname__}"
    return repr(tp)


def alias_text(value: object) -> str:
    if isinstance(value, type):
        return value.__name__
    return typing_repr(value).replace("typing.", "")


def value_type(value: object) -> str:
    if value is None:
        return "Any"
    if isinstance(value, logging.Logger):
        return "_logging.Logger"
    if isinstance(value, (tuple, list, set, frozenset)):
        inner = {type(v).__name__ for v in value}
        item = inner.pop() if len(inner) == 1 else "Any"
        if isinstance(value, tuple):
            return f"Tuple[{item}, ...]"
        return f"{type(value).__name__}[{item}]"
    if isinstance(value, dict):
        return "Dict[str, Any]"
    return type(value).__name__


def dataclass_head(cls: type) -> str:
    params = cls.__dataclass_params__  # type: ignore[attr-defined]
    changed = [f"{k}={getattr(params, k)!r}" for k, default in DATACLASS_DEFAULTS.items()
               if getattr(params, k, default) != default]
    return f"@dataclass({', '.join(changed)})" if changed else "@dataclass"


def class_text(name: str, cls: type, mod: types.ModuleType) -> list[str]:
    base_names = [b.__name__ for b in cls.__bases__ if b is not object]
    lines = []
    is_dataclass = dataclasses.is_dataclass(cls)
    if is_dataclass:
        lines.append(dataclass_head(cls))
    if getattr(cls, "_is_runtime_protocol", False):
        lines.append("@runtime_checkable")
    lines.append(f"class {name}({', '.join(base_names)}):" if base_names else f"class {name}:")
    body: list[str] = []
    annotations = cls.__dict__.get("__annotations__", {})
    field_names = set()
    if is_dataclass:
        for f in dataclasses.fields(cls):
            if not f.init or f.kw_only:
                raise NotImplementedError(f"{name}.{f.name}: fields outside __init__ or keyword-only fields")
            field_names.add(f.name)
            has_default = f.default is not dataclasses.MISSING or f.default_factory is not dataclasses.MISSING
            body.append(f"    {f.name}: {type_text(f.type, mod)}" + (" = ..." if has_default else ""))
    else:
        for attr, ann in annotations.items():
            body.append(f"    {attr}: {type_text(ann, mod)}")
    for attr, ann in INSTANCE_ATTRIBUTES.get(f"{mod.__name__}.{name}", {}).items():
        body.append(f"    {attr}: {ann}")
    for attr, value in cls.__dict__.items():
        if attr.startswith("__") and attr not in ("__init__", "__enter__", "__exit__"):
            continue
        if attr.startswith(("_abc", "_is_")) or attr in field_names:  # the protocol machinery's own
            continue
        if is_kit_function(value):
            body.append(def_text(attr, value, "    ", name))
        elif not inspect.isfunction(value) and not callable(value) and attr not in annotations:
            body.append(f"    {attr}: {value_type(value)}")
    lines.extend(body or ["    ..."])
    return lines


def docstring(doc: str | None, default: str) -> str:
    text = (doc or default).strip()
    if '"""' in text or "\\" in text:
        return repr(text)
    return '"""' + text + ('\n"""' if "\n" in text else '"""')


def bound_name(line: str) -> str:
    """The name an import line binds: ``import a.b`` binds ``a``."""
    words = line.split()
    return words[-1] if " as " in line else words[-1].split(".")[0]


def import_is_kept(line: str, text: str) -> bool:
    """A stub keeps the imports that re-export a name of the module
    (``import x as x``, ``from m import x as x``) and those its text uses."""
    words = line.split()
    if " as " in line and words[-1] == words[-3].split(".")[-1]:
        return True
    return re.search(rf"\b{re.escape(bound_name(line))}\b", text) is not None


def stub_for(modname: str) -> str:
    mod = importlib.import_module(modname)
    imports: list[str] = []
    body: list[str] = []
    for name, value in vars(mod).items():
        if name.startswith("__"):
            continue
        if isinstance(value, types.ModuleType):
            imports.append(f"import {value.__name__}" if value.__name__ == name else f"import {value.__name__} as {name}")
            continue
        home = PUBLIC_HOME.get(name, getattr(value, "__module__", None))
        if name in TYPING_NAMES or name == "TYPE_CHECKING":
            imports.append(f"from typing import {name} as {name}")
            continue
        own = home == modname
        if is_kit_function(value):
            if own:
                body.append(def_text(name, value))
            else:
                imports.append(f"from {home} import {name} as {name}")
            continue
        if isinstance(value, type):
            if own:
                body.extend(["", *class_text(name, value, mod), ""])
            elif value.__name__ == name and home not in ("builtins",):
                imports.append(f"from {home} import {name} as {name}")
            else:
                body.append(f"{name} = {alias_text(value)}")
            continue
        if callable(value) and not isinstance(value, (typing._GenericAlias, typing._SpecialForm)) and \
                getattr(value, "__name__", None) == name and home and home != modname:
            imports.append(f"from {home} import {name} as {name}")
            continue
        if home == "typing" and getattr(typing, name, None) is value:
            imports.append(f"from typing import {name} as {name}")
            continue
        if home == "typing" or isinstance(value, (typing._GenericAlias, types.UnionType)):
            body.append(f"{name} = {alias_text(value)}")
            continue
        if name == "_state":
            body.append(f"{name}: Optional[_Meter]")
            continue
        body.append(f"{name}: {value_type(value)}")

    extra = TYPE_ONLY_IMPORTS.get(modname, [])
    text = "\n".join(body)
    imports = [line for line in dict.fromkeys(imports + extra) if import_is_kept(line, text)]
    bound = {bound_name(line) for line in imports}
    head = [docstring(mod.__doc__, f"Type stub of the extension module {modname}."), ""]
    if re.search(r"\b_logging\.", text):
        head.append("import logging as _logging")
    needed = [n for n in TYPING_NAMES if n not in bound and re.search(rf"\b{n}\b", text)]
    if needed:
        head.append("from typing import " + ", ".join(needed))
    if "TracebackType" in text:
        head.append("from types import TracebackType")
    if "@dataclass" in text and getattr(mod, "dataclass", None) is not dataclasses.dataclass:
        head.append("from dataclasses import dataclass")
    if "@runtime_checkable" in text and getattr(mod, "runtime_checkable", None) is not typing.runtime_checkable:
        head.append("from typing import runtime_checkable")
    head.append("")
    exported = getattr(mod, "__all__", None)
    public = [f"__all__ = {list(exported)!r}", ""] if exported is not None else []
    text = "\n".join(head + imports + [""] + public + body).rstrip() + "\n"
    while "\n\n\n\n" in text:
        text = text.replace("\n\n\n\n", "\n\n\n")
    return text


def stub_path(short: str) -> Path:
    return ROOT / "src" / "private_core" / (short.replace(".", "/") + ".pyi")


def main() -> int:
    for short in extension_modules():
        path = stub_path(short)
        path.write_text(stub_for("private_core." + short))
        print("wrote", path.relative_to(ROOT))
    (ROOT / "src" / "private_core" / "py.typed").write_text("")
    return 0


if __name__ == "__main__":
    sys.exit(main())
