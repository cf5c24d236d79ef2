"""A user's typed script passes mypy --strict and pyright's strict mode, the
stubs agree with the modules under stubtest (the whole package: its pure-Python
modules are checked as they are), and the script really runs."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support import ROOT
from varnix_sim import Simulator

TYPED = ROOT / "tests" / "typed"
SCRIPT = TYPED / "user_script.py"
BIN = Path(sys.executable).parent

# The checkers read files only: running them again against a sanitized
# build proves nothing more.
static = [pytest.mark.slow, pytest.mark.skipif(bool(os.environ.get("PRIVATE_CORE_SANITIZED")),
                                                reason="static checks do not run the modules")]


def check(args, cwd):
    """Runs a checker; on failure its whole report is the assertion message."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MYPY", "PYTHONPATH"))}
    res = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


@pytest.mark.parametrize("checker", [
    pytest.param("mypy", marks=static),
    pytest.param("pyright", marks=static),
    pytest.param("stubtest", marks=static),
])
def test_checker_passes(checker, tmp_path):
    config = TYPED / "mypy.ini"
    if checker == "mypy":
        out = check([sys.executable, "-m", "mypy", "--config-file", config, "--cache-dir", tmp_path / "cache",
                     SCRIPT], tmp_path)
        assert out.startswith("Success: no issues found")
    elif checker == "pyright":
        out = check([BIN / "basedpyright", "-p", TYPED / "pyrightconfig.json", "--pythonpath", sys.executable],
                    tmp_path)
        assert "0 errors, 0 warnings" in out
    else:
        check([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", config,
               "--allowlist", TYPED / "stubtest_allowlist.txt", "private_core"], tmp_path)


def test_user_script_runs_against_the_simulator():
    spec = importlib.util.spec_from_file_location("user_script", SCRIPT)
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    with Simulator(today="2025-06-30") as sim:
        sizes = script.run(sim.base_url, "typed-key")
    assert sizes.pop("error_status") == 404
    assert sizes["daily"] == 2 * 4 and sizes["flows"] == 4  # two symbols and one, four weeks each
    assert all(n > 0 for n in sizes.values()), sizes
