"""Fast in-tree build for development: compiles the named modules (or all)
straight into build/dev, next to links to the pure-Python files, so that
``PYTHONPATH=build/dev`` imports the package without a wheel.

    .venv/bin/python scripts/dev_build.py progress stash_store
"""

from __future__ import annotations

import concurrent.futures
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "dev"
MODULES = {
    "wire_link": "private_core", "key_gate": "private_core", "progress": "private_core",
    "daily_bars": "private_core", "tick_bars": "private_core", "statement_desk": "private_core",
    "stash_store": "private_core", "stash_rules": "private_core", "stash_layer": "private_core",
    "FlowEngineContract": "private_core/investor", "flow_engine": "private_core/investor",
}


def link_python_files() -> None:
    for src in (ROOT / "python").rglob("*"):
        if src.is_dir() or src.suffix not in (".py", ".pyi", ".typed") or "__pycache__" in src.parts:
            continue
        dst = OUT / src.relative_to(ROOT / "python")
        dst.parent.mkdir(parents=True, exist_ok=True)
        if not dst.is_symlink():
            if dst.exists():
                dst.unlink()
            dst.symlink_to(src)


def build(name: str) -> str:
    sub = MODULES[name]
    src = ROOT / "src" / sub / f"{name}.cpp"
    dst_dir = OUT / sub
    dst_dir.mkdir(parents=True, exist_ok=True)
    dst = dst_dir / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    tmp = dst.with_suffix(f".tmp{os.getpid()}")
    cmd = ["g++", "-std=c++20", "-O2", "-g", "-fPIC", "-shared", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-Wall", "-Wextra",
           f"-I{sysconfig.get_paths()['include']}", f"-I{ROOT / 'src'}", str(src), "-o", str(tmp)]
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        return f"{name}: FAILED\n{res.stderr}"
    tmp.replace(dst)
    return f"{name}: ok" + (f"\n{res.stderr}" if res.stderr.strip() else "")


def main(argv: list[str]) -> int:
    names = argv or list(MODULES)
    unknown = [n for n in names if n not in MODULES]
    if unknown:
        print("unknown module(s):", ", ".join(unknown), file=sys.stderr)
        return 2
    link_python_files()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(build, names))
    print("\n".join(results))
    return 0 if all(": ok" in r.splitlines()[0] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
