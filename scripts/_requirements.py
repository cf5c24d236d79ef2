"""Prints the requirements that set-up installs, one a line, from pyproject.toml:
the build system's and the run-time dependencies, plus the extras named as
arguments (``test``).  The stand-in of the varnix layer is built in the same
venv, so its build system's requirements come too."""

import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main(extras: list[str]) -> int:
    core = tomllib.loads((ROOT / "pyproject.toml").read_text())
    layer = tomllib.loads((ROOT / "varnix_layer" / "pyproject.toml").read_text())
    wanted = [*core["build-system"]["requires"], *layer["build-system"]["requires"], *core["project"]["dependencies"]]
    for extra in extras:
        wanted += core["project"]["optional-dependencies"][extra]
    print("\n".join(dict.fromkeys(wanted)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
