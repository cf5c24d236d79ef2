"""The bench command: one table with a legend for its ratio column, and a
failing exit when any benchmark fails (the others' figures still shown)."""

import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
SOURCES = {
    "good": "from _table import Figure\n"
            "def figures():\n    return [Figure('fake', 'one call', 2.0, 'ns/call', 'plain Python', 4.0)]\n",
    "broken": "def figures():\n    raise RuntimeError('measurement broke')\n",
    "empty": "def figures():\n    return []\n",
}


@pytest.mark.parametrize("benches, failed", [
    (["good"], []),
    (["good", "broken"], ["bench_broken"]),
    (["empty", "good"], ["bench_empty"]),
])
def test_table_legend_and_exit_status(tmp_path, benches, failed):
    for name in benches:
        (tmp_path / f"bench_{name}.py").write_text(SOURCES[name])
    code = "import pathlib, sys, run_all; sys.exit(run_all.main(pathlib.Path(sys.argv[1])))"
    res = subprocess.run([sys.executable, "-c", code, str(tmp_path)], cwd=BENCH, capture_output=True, text=True,
                         timeout=120)
    lines = res.stdout.splitlines()
    assert lines[2].split()[-1] == "0.50x"  # the good one's figure over its baseline
    assert lines[-1] == ("ratio: this build's time divided by the same-run baseline's time; "
                         "below 1 is faster than the baseline, above 1 slower.")
    assert res.returncode == (1 if failed else 0)
    if failed:
        assert res.stderr.splitlines()[-1] == f"1 of 2 benchmarks failed: {failed[0]}"
        assert "measurement broke" in res.stderr or "measured nothing" in res.stderr
