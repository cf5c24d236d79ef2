"""Runs every benchmark of this folder, each in a process of its own (they
replace module globals such as the progress display's output), and prints
one table of figures, each beside the baseline measured in the same run."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from dataclasses import asdict
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _table import Figure, print_table  # noqa: E402

CHILD = "import json, sys, dataclasses; import {mod} as b; " \
        "print(json.dumps([dataclasses.asdict(f) for f in b.figures()]))"


def run(mod: str, folder: Path = HERE) -> Optional[list[Figure]]:
    """The figures of one benchmark, or None when it failed."""
    env = dict(os.environ)
    # The children run from the benchmarks' folder: keep the caller's path entries valid.
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys([str(folder), str(HERE), *inherited]))
    try:
        res = subprocess.run([sys.executable, "-c", CHILD.format(mod=mod)], capture_output=True, text=True,
                             env=env, cwd=folder, timeout=1800)
    except subprocess.TimeoutExpired:
        print(f"{mod} failed: no answer within 1800 s", file=sys.stderr)
        return None
    if res.returncode != 0:
        print(f"{mod} failed:\n{res.stderr}", file=sys.stderr)
        return None
    try:
        figures = [Figure(**d) for d in json.loads(res.stdout.strip().splitlines()[-1])]
    except (IndexError, TypeError, ValueError) as exc:
        print(f"{mod} failed: its figures could not be read ({exc})", file=sys.stderr)
        return None
    if not figures:
        print(f"{mod} failed: it measured nothing", file=sys.stderr)
        return None
    return figures


def main(folder: Path = HERE) -> int:
    names = sorted(p.stem for p in folder.glob("bench_*.py"))
    figures: list[Figure] = []
    failed: list[str] = []
    for name in names:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        got = run(name, folder)
        if got is None:
            failed.append(name)
        else:
            figures.extend(got)
    if figures:
        print_table(figures)
    if failed or not names:
        print(f"{len(failed)} of {len(names)} benchmarks failed: {', '.join(failed) or 'none found'}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
