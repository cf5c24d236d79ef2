"""Runs a scenario in a child interpreter: what would kill a process must not
take the test run with it."""

import os
import subprocess
import sys
import textwrap


def run_child(code, timeout=120, **kwargs):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env, stdin=subprocess.DEVNULL, **kwargs)


def assert_clean_exit(proc, expected_stdout=None):
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    if expected_stdout is not None:
        assert proc.stdout.strip() == expected_stdout
