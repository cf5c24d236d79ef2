"""The demo script itself, run as a user runs it, with its output going to a
pipe: no progress line may be drawn there."""
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

HEADINGS = [
    "simulator: http://127.0.0.1:",
    "key valid: True, plan: pro",
    "== daily bars, 8 symbols, 2025: 2024 rows x 7 columns",
    "same call again: answered by the cache: True",
    "== intraday FPT, resampled to 5 minutes: 96 rows x 7 columns",
    "== order book VNM, 2025-06-03: ",
    "== company types: {'error': None, 'data': [{'symbol': 'VCB', 'valid': True, 'company_type': 'bank'",
    "== income statement FPT 2023-2024: 24 items",
    "== foreign investors' weekly flows, VNM and FPT: 18 rows x 9 columns",
]


def test_demo_runs_the_whole_road_into_a_pipe():
    done = subprocess.run([sys.executable, "-m", "demo.main"], cwd=ROOT, env=dict(os.environ),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    out = done.stdout.decode("utf-8")
    err = done.stderr.decode("utf-8")
    assert done.returncode == 0, err
    assert "\r" not in out and "\x1b" not in out
    assert "Traceback" not in err
    positions = []
    for heading in HEADINGS:
        assert heading in out, heading
        positions.append(out.index(heading))
    assert positions == sorted(positions)
