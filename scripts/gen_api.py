"""Writes docs/api.md, the API reference: one page from the type stubs (the
signatures) and the built modules' docstrings (the prose), module by module.
Run after a build, beside gen_stubs.py:

    .venv/bin/python scripts/gen_api.py

tests/test_api_doc.py checks that the committed page is what this writes today.
"""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import re
import sys
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "api.md"
PACKAGE = ROOT / "src" / "private_core"

# What a docstring cannot say: the keys of a parameter dictionary.
NOTES = {
    "private_core.investor.flow_engine.InvestorFlowEngine.fetch_df": """\
`params` holds the request; the engine normalises it before sending:

| key | value |
|---|---|
| `ids` | identifiers: symbols for `stock` and `market`, ICB codes for `sector`; a list (blank entries dropped) or one value |
| `group` | investor group, one of {groups} (trimmed, lower-cased) |
| `start`, `end` | dates as `YYYY-MM-DD` |
| `interval` | {intervals} (upper-cased); `1W` and `1M` resample the daily rows, summing numeric columns per identifier |

Any other key is sent as it is. Namespaces and their operations: {ops}.
Several `ids` are fetched one request each, with the progress display.""",
}


def load_gen_stubs() -> ModuleType:
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def note(qualname: str) -> str:
    if qualname not in NOTES:
        return ""
    from private_core.investor.FlowEngineContract import Interval, InvestorGroup
    from private_core.investor.flow_engine import InvestorFlowEngine

    def codes(values: object) -> str:
        return ", ".join(f"`{v}`" for v in values)  # type: ignore[attr-defined]

    ops = "; ".join(f"`{ns}`: {codes(sorted(names))}" for ns, names in InvestorFlowEngine._NAMESPACE_OPS.items())
    return NOTES[qualname].format(groups=codes(InvestorGroup.__args__), intervals=codes(Interval.__args__),
                                  ops=ops)


def prose(obj: object, name: str) -> str:
    """The docstring without its signature line (the signature comes from the stub)."""
    doc = inspect.cleandoc(getattr(obj, "__doc__", None) or "")
    lines = doc.splitlines()
    if lines and re.match(rf"(\w+\.)?{re.escape(name)}\(", lines[0]):
        lines = lines[1:]
    return "\n".join(lines).strip()


def signature(node: ast.FunctionDef, runtime: object) -> str:
    """The stub's signature, with the defaults the stub leaves as ``...`` taken from the module."""
    params = inspect.signature(runtime).parameters  # type: ignore[arg-type]
    args = node.args
    positional = [*args.posonlyargs, *args.args]
    named = list(zip(positional[len(positional) - len(args.defaults):], args.defaults)) + \
        [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
    for arg, default in named:
        if isinstance(default, ast.Constant) and default.value is ... and arg.arg in params:
            default.value = params[arg.arg].default
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"{node.name}({ast.unparse(args)}){returns}"


def public(name: str, module: ModuleType) -> bool:
    exported = getattr(module, "__all__", None)
    return name in exported if exported is not None else not name.startswith("_")


def section(modname: str, source: Path) -> list[str]:
    module = importlib.import_module(modname)
    tree = ast.parse(source.read_text())
    out = [f"## `{modname}`", "", inspect.cleandoc(module.__doc__ or ""), ""]
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            if name != "__all__" and public(name, module) and name[0].isupper() and not name.isupper():
                out += [f"`{name} = {ast.unparse(node.value)}`", ""]
        elif isinstance(node, ast.FunctionDef) and public(node.name, module):
            fn = getattr(module, node.name)
            out += [f"### `{signature(node, fn)}`", "", prose(fn, node.name), ""]
            if extra := note(f"{modname}.{node.name}"):
                out += [extra, ""]
        elif isinstance(node, ast.ClassDef) and public(node.name, module):
            cls = getattr(module, node.name)
            bases = ", ".join(ast.unparse(b) for b in node.bases)
            out += [f"### class `{node.name}{f'({bases})' if bases else ''}`", "", prose(cls, node.name), ""]
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and (item.name == "__init__" or not item.name.startswith("_")):
                    qual = f"{node.name}.{item.name}"
                    method = getattr(cls, item.name)
                    out += [f"#### `{node.name}.{signature(item, method)}`", "", prose(method, item.name), ""]
                    if extra := note(f"{modname}.{qual}"):
                        out += [extra, ""]
    return out


def render() -> str:
    gen_stubs = load_gen_stubs()
    sources = {f"private_core.{short}": gen_stubs.stub_path(short) for short in gen_stubs.extension_modules()}
    sources["private_core.helpers"] = PACKAGE / "helpers.py"
    lines = ["# API reference", "",
             "Generated by `scripts/gen_api.py` from the type stubs and the modules' docstrings; do not edit.", ""]
    for modname in sorted(sources):
        lines += section(modname, sources[modname])
    text = "\n".join(lines)
    while "\n\n\n" in text:
        text = text.replace("\n\n\n", "\n\n")
    return text.rstrip() + "\n"


def main() -> int:
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(render())
    print("wrote", PAGE.relative_to(ROOT))
    return 0


if __name__ == "__main__":
    sys.exit(main())
