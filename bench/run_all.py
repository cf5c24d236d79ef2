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

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _table import Figure, print_table  # noqa: E402

CHILD = "import json, sys, dataclasses; import {mod} as b; " \
        "print(json.dumps([dataclasses.asdict(f) for f in b.figures()]))"


def run(mod: str) -> list[Figure]:
    env = dict(os.environ)
    # The children run from this folder: keep the caller's path entries valid.
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), *inherited])
    res = subprocess.run([sys.executable, "-c", CHILD.format(mod=mod)], capture_output=True, text=True, env=env,
                         cwd=HERE, timeout=1800)
    if res.returncode != 0:
        print(f"{mod} failed:\n{res.stderr}", file=sys.stderr)
        return []
    return [Figure(**d) for d in json.loads(res.stdout.strip().splitlines()[-1])]


def main() -> int:
    names = sorted(p.stem for p in HERE.glob("bench_*.py"))
    figures: list[Figure] = []
    for name in names:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        figures.extend(run(name))
    print_table(figures)
    return 0 if figures else 1


if __name__ == "__main__":
    sys.exit(main())
