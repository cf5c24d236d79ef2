"""Runs a scenario in a child interpreter: what would kill a process must not
take the test run with it."""

import os
import subprocess
import sys
import textwrap


# Set by the suite's conftest when it runs with fast paths off: children run
# the same way.
FAST_PATHS_OFF = "PRIVATE_CORE_TEST_FAST_PATHS_OFF"
_SWITCH_OFF = "import private_core.progress as _p; _p.__fast_paths__(False); del _p\n"


def run_child(code, timeout=120, **kwargs):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    code = textwrap.dedent(code)
    if env.get(FAST_PATHS_OFF):
        code = _SWITCH_OFF + code
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env, stdin=subprocess.DEVNULL, **kwargs)


def assert_clean_exit(proc, expected_stdout=None):
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    if expected_stdout is not None:
        assert proc.stdout.strip() == expected_stdout
