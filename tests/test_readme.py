"""The README opens with the set-up commands and its Python example runs, as
written, against the simulator."""

import re
from pathlib import Path

from varnix_sim import Simulator

README = (Path(__file__).resolve().parents[1] / "README.md").read_text()
EXAMPLE_URL = "http://127.0.0.1:8765/api/v1/varnix"


def test_setup_commands_come_first():
    first_block = re.search(r"```(\w+)\n(.*?)```", README, re.S)
    commands = [line.split("#")[0].strip() for line in first_block.group(2).splitlines()]
    assert first_block.group(1) == "sh" and commands[:2] == ["bash scripts/run.sh", "bash scripts/test.sh"]


def test_python_example_runs_against_the_simulator(capsys):
    (example,) = re.findall(r"```python\n(.*?)```", README, re.S)
    assert example.count(EXAMPLE_URL) == 1
    with Simulator(today="2025-06-30") as sim:
        code = compile(example.replace(EXAMPLE_URL, sim.base_url), "README.md", "exec")
        exec(code, {"__name__": "readme_example"})
        assert [r.path for r in sim.requests] == [
            "/auth/validate", "/market-data/eod/ohlcv", "/market-data/eod/ohlcv", "/market-data/investor/stock/flow"]
    out = capsys.readouterr().out
    assert out.startswith("key valid: True plan: pro\n") and "VNM" in out
