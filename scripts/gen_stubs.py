"""Writes the type stubs (src/private_core/**/*.pyi) from the built modules.

The extension modules carry their signatures (``__signature__``, with the
annotation texts of the source), so the stubs are derived from what was
built rather than written twice by hand.  Run after a build:

    .venv/bin/python scripts/gen_stubs.py

tests/test_stubs.py checks that the committed stubs still match the modules.
"""

from __future__ import annotations

import dataclasses
import importlib
import inspect
import logging
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
                "Protocol", "Sequence", "Tuple", "Union"]
# Where a name's home module is private, import it from its public one.
PUBLIC_HOME = {"ValidationError": "pydantic"}
# Names that annotations use although the module binds them only for type checkers.
TYPE_ONLY_IMPORTS = {"private_core.investor.FlowEngineContract": ["from private_core.wire_link import HttpSession"]}


def is_kit_function(obj: object) -> bool:
    return repr(type(obj)) == "<class 'private_core.function'>"


def type_text(tp: object, mod: types.ModuleType) -> str:
    """How the module itself would spell an annotation object."""
    if isinstance(tp, str):
        return tp
    if isinstance(tp, type):
        if vars(mod).get(tp.__name__) is tp or tp.__module__ == "builtins":
            return tp.__name__
        for alias, value in vars(mod).items():
            if isinstance(value, types.ModuleType) and tp.__module__.startswith(value.__name__) and \
                    getattr(value, tp.__name__, None) is tp:
                return f"{alias}.{tp.__name__}"
        return tp.__name__
    text = repr(tp).replace("typing.", "")
    for inner in getattr(tp, "__args__", ()):
        if isinstance(inner, type):
            text = text.replace(f"{inner.__module__}.{inner.__qualname__}", type_text(inner, mod))
    return text


def param_text(p: inspect.Parameter) -> str:
    prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}.get(p.kind, "")
    text = prefix + p.name
    if p.annotation is not inspect.Parameter.empty:
        text += ": " + str(p.annotation)
    if p.default is not inspect.Parameter.empty:
        text += " = ..."
    return text


def def_text(name: str, fn: object, indent: str = "") -> str:
    sig = inspect.signature(fn)
    parts = []
    saw_kwonly_marker = False
    for p in sig.parameters.values():
        if p.kind is inspect.Parameter.KEYWORD_ONLY and not saw_kwonly_marker:
            parts.append("*")
            saw_kwonly_marker = True
        if p.kind is inspect.Parameter.VAR_POSITIONAL:
            saw_kwonly_marker = True
        parts.append(param_text(p))
    ret = "" if sig.return_annotation is inspect.Signature.empty else " -> " + str(sig.return_annotation)
    return f"{indent}def {name}({', '.join(parts)}){ret}: ..."


def alias_text(value: object) -> str:
    if isinstance(value, type):
        return value.__name__
    return repr(value).replace("typing.", "")


def value_type(value: object) -> str:
    if value is None:
        return "Any"
    if isinstance(value, logging.Logger):
        return "_logging.Logger"
    if isinstance(value, tuple):
        inner = {type(v).__name__ for v in value}
        return f"Tuple[{inner.pop()}, ...]" if len(inner) == 1 else "tuple"
    if isinstance(value, (list, dict)) and not value:
        return type(value).__name__
    if isinstance(value, list):
        inner = {type(v).__name__ for v in value}
        return f"List[{inner.pop()}]" if len(inner) == 1 else "list"
    if isinstance(value, dict):
        return "Dict[str, Any]"
    return type(value).__name__


def class_text(name: str, cls: type, mod: types.ModuleType) -> list[str]:
    bases = [b for b in cls.__bases__ if b is not object]
    base_names = []
    for b in bases:
        base_names.append(b.__name__)
    head = f"class {name}({', '.join(base_names)}):" if base_names else f"class {name}:"
    lines = [head]
    body: list[str] = []
    if dataclasses.is_dataclass(cls):
        for f in dataclasses.fields(cls):
            ann = type_text(f.type, mod)
            has_default = f.default is not dataclasses.MISSING or f.default_factory is not dataclasses.MISSING
            body.append(f"    {f.name}: {ann}" + (" = ..." if has_default else ""))
    for attr, ann in cls.__dict__.get("__annotations__", {}).items():
        if not dataclasses.is_dataclass(cls):
            body.append(f"    {attr}: {ann if isinstance(ann, str) else alias_text(ann)}")
    for attr, value in cls.__dict__.items():
        if attr.startswith("__") and attr not in ("__init__", "__enter__", "__exit__"):
            continue
        if attr.startswith(("_abc", "_is_")):  # the protocol machinery's own
            continue
        if dataclasses.is_dataclass(cls) and attr in {f.name for f in dataclasses.fields(cls)}:
            continue
        if is_kit_function(value):
            body.append(def_text(attr, value, "    "))
        elif inspect.isfunction(value):
            continue
        elif not callable(value) and attr not in cls.__dict__.get("__annotations__", {}):
            body.append(f"    {attr}: {value_type(value)}")
    if dataclasses.is_dataclass(cls):
        sig = inspect.signature(cls)
        body.append(def_text("__init__", _with_self(sig, mod), "    "))
    lines.extend(body or ["    ..."])
    return lines


def _with_self(sig: inspect.Signature, mod: types.ModuleType):
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)] + [
        p.replace(annotation=type_text(p.annotation, mod))
        for p in sig.parameters.values()
    ]

    def stand_in():
        pass

    stand_in.__signature__ = sig.replace(parameters=params, return_annotation="None")
    return stand_in


def stub_for(modname: str) -> str:
    mod = importlib.import_module(modname)
    head = [f'"""Type stub of the extension module {modname}."""', "",
            "import logging as _logging", "from typing import " + ", ".join(TYPING_NAMES), ""]
    imports: list[str] = []
    body: list[str] = []
    for name, value in vars(mod).items():
        if name.startswith("__") and name != "__all__":
            continue
        if isinstance(value, types.ModuleType):
            imports.append(f"import {value.__name__}" if value.__name__ == name else f"import {value.__name__} as {name}")
            continue
        home = PUBLIC_HOME.get(name, getattr(value, "__module__", None))
        if name in TYPING_NAMES or name == "TYPE_CHECKING":
            if name == "TYPE_CHECKING":
                imports.append("from typing import TYPE_CHECKING as TYPE_CHECKING")
            else:
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
    text = "\n".join(head + imports + extra + [""] + body).rstrip() + "\n"
    while "\n\n\n\n" in text:
        text = text.replace("\n\n\n\n", "\n\n\n")
    return text


def main() -> int:
    for short in extension_modules():
        modname = "private_core." + short
        path = ROOT / "src" / "private_core" / (short.replace(".", "/") + ".pyi")
        path.write_text(stub_for(modname))
        print("wrote", path.relative_to(ROOT))
    (ROOT / "src" / "private_core" / "py.typed").write_text("")
    return 0


if __name__ == "__main__":
    sys.exit(main())
