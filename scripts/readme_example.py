"""Runs the README's Python example against the local simulator, with the
installed private_core: `python scripts/readme_example.py` (with the project's
root on PYTHONPATH for the simulator).  scripts/wheels.sh runs it for every
wheel it builds."""

import re
import sys
from pathlib import Path

from varnix_sim import Simulator

README = Path(__file__).resolve().parent.parent / "README.md"
EXAMPLE_URL = "http://127.0.0.1:8765/api/v1/varnix"


def main() -> int:
    (example,) = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    with Simulator(today="2025-06-30") as sim:
        exec(compile(example.replace(EXAMPLE_URL, sim.base_url), str(README), "exec"), {"__name__": "readme_example"})
    return 0


if __name__ == "__main__":
    sys.exit(main())
