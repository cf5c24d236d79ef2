"""The set-up as a fresh machine runs it: the main command from a copy of the
project, with a PATH that holds CPython 3.13 and the system's folders only (no
meson), builds with the venv's own tools and installs only what the demo
needs; without CPython 3.13 the set-up stops with one line saying where to get
it.  The installed package reports the distribution's version."""

import importlib.metadata
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import private_core
from tests.support import ROOT

SYSTEM_PATH = "/usr/bin:/bin"
COPY_IGNORE = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", "*.so", "*.egg-info")


def clean_env(path: str, **extra: str) -> dict[str, str]:
    return {"PATH": path, "HOME": os.environ.get("HOME", "/root"), "LANG": "C.UTF-8", **extra}


def python_only_path(folder: Path, python: str | None) -> str:
    """SYSTEM_PATH behind a folder holding python3.13 alone (or nothing)."""
    folder.mkdir()
    if python:
        (folder / "python3.13").symlink_to(python)
    return f"{folder}:{SYSTEM_PATH}"


def test_version_is_the_distributions():
    assert private_core.__version__ == importlib.metadata.version("private-core")


@pytest.mark.skipif(any(Path(p, "python3.13").exists() for p in ("/usr/bin", "/usr/local/bin")),
                    reason="this machine has a system CPython 3.13")
def test_setup_without_cpython_313_says_where_to_get_it(tmp_path):
    env = clean_env(python_only_path(tmp_path / "bin", None), PRIVATE_CORE_VENV=str(tmp_path / "venv"))
    res = subprocess.run(["bash", ROOT / "scripts" / "bootstrap.sh"], env=env, capture_output=True, text=True,
                         timeout=120)
    assert res.returncode != 0 and res.stdout == ""
    (line,) = res.stderr.splitlines()
    assert line.startswith("setup: CPython 3.13 not found") and "install" in line
    assert not (tmp_path / "venv").exists()


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("PRIVATE_CORE_SANITIZED")), reason="sets up its own, plain build")
@pytest.mark.skipif(sys.version_info[:2] != (3, 13), reason="the main command sets up CPython 3.13")
def test_main_command_from_a_fresh_copy_without_meson_on_path(tmp_path):
    base_python = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
    path = python_only_path(tmp_path / "bin", base_python)
    if shutil.which("meson", path=SYSTEM_PATH):
        pytest.skip("the system folders hold a meson")
    copy = tmp_path / "project"
    shutil.copytree(ROOT, copy, ignore=COPY_IGNORE)
    res = subprocess.run(["bash", "scripts/run.sh"], cwd=copy, env=clean_env(path), capture_output=True,
                         text=True, timeout=1800)
    assert res.returncode == 0, res.stdout[-2000:] + res.stderr[-4000:]
    assert "key valid: True" in res.stdout
    assert "setup:   [1/" in res.stderr  # the build's own progress

    venv = copy / ".venv"
    size = sum(f.stat().st_size for f in venv.rglob("*") if f.is_file() and not f.is_symlink())
    assert size <= 300 * 2**20, f"{size / 2**20:.0f} MB"
    # The development tools come with the test command only.
    probe = "import importlib.util as u; print([m for m in ('pytest', 'mypy', 'basedpyright') if u.find_spec(m)])"
    out = subprocess.run([venv / "bin" / "python", "-c", probe], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"
