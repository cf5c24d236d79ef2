"""The core's distributions as a user gets them: the wheel (built from the
sdist, as an installer does) holds the private_core package and nothing else,
and installing and removing it leaves a separately installed varnix alone."""

import importlib.machinery
import importlib.metadata
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "private_core"

pytestmark = [pytest.mark.slow, pytest.mark.skipif(bool(os.environ.get("PRIVATE_CORE_SANITIZED")),
                                                   reason="builds its own wheel without the sanitizer")]


def run(*args, cwd=None):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PIP_REQUIRE_VIRTUALENV")}
    res = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=1200)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


def only(paths):
    found = list(paths)
    assert len(found) == 1, found
    return found[0]


def dependency_tree(name, seen=None):
    """The installed distributions `name` needs to run, itself excluded."""
    seen = set() if seen is None else seen
    for text in importlib.metadata.requires(name) or []:
        req = Requirement(text)
        if req.marker is None or req.marker.evaluate({"extra": ""}):
            dist = importlib.metadata.distribution(req.name)
            if dist.metadata["Name"] not in seen:
                seen.add(dist.metadata["Name"])
                dependency_tree(req.name, seen)
    return seen


def link_dependencies(target: Path):
    """The run-time dependencies of the core and of varnix, linked from this
    environment: a fresh venv reads them through a .pth file, with no
    download, and sees no copy of private_core or varnix."""
    target.mkdir()
    for name in dependency_tree("private-core") | dependency_tree("varnix-layer"):
        for file in importlib.metadata.distribution(name).files or []:
            top = file.parts[0]
            if top.endswith(".dist-info") or top in ("..", "__pycache__") or (target / top).exists():
                continue
            os.symlink(file.locate().parents[len(file.parts) - 1] / top, target / top)


def test_wheel_holds_only_the_core_and_leaves_varnix_alone(tmp_path):
    # One build folder for both, one compile job: the machine is shared.
    dist, build = tmp_path / "dist", f"-Cbuild-dir={tmp_path / 'build'}"
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", dist, build, ROOT)
    sdist = only(dist.glob("private_core-*.tar.gz"))
    with tarfile.open(sdist) as tar:
        in_sdist = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {str(p.relative_to(ROOT)) for p in PACKAGE.rglob("*") if p.suffix in (".cpp", ".pyi", ".build")}
    assert sources <= in_sdist and {"pyproject.toml", "meson.build"} <= in_sdist
    assert not [n for n in in_sdist if n.startswith("varnix_layer/build/") or ".egg-info/" in n]

    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", dist, build,
        "-Ccompile-args=-j1", sdist)
    wheel = only(dist.glob("private_core-*.whl"))
    names = zipfile.ZipFile(wheel).namelist()
    dist_info = "-".join(wheel.name.split("-")[:2]) + ".dist-info"
    assert {n.split("/")[0] for n in names} == {"private_core", dist_info}
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    modules = [p.relative_to(PACKAGE.parent).with_suffix("") for p in PACKAGE.rglob("*.cpp")]
    expected = {f"{s}.pyi" for s in modules} | {f"{s}{suffix}" for s in modules} | {
        "private_core/py.typed", "private_core/__init__.py", "private_core/_version.py",
        "private_core/_version.pyi", "private_core/helpers.py", "private_core/investor/__init__.py"}
    assert expected <= set(names)

    # The stand-in of the public package, built from a clean copy of its sources.
    layer = tmp_path / "varnix_layer"
    shutil.copytree(ROOT / "varnix_layer", layer, ignore=shutil.ignore_patterns("build", "*.egg-info"))
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", dist, layer)

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    py = venv / "bin" / "python"
    site = Path(run(py, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))").strip())
    link_dependencies(tmp_path / "deps")
    (site / "_dependencies.pth").write_text(str(tmp_path / "deps") + "\n")
    run(py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", only(dist.glob("varnix_layer-*.whl")))
    run(py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    run(py, "-c", "import sys, private_core.wire_link, private_core.investor.flow_engine, varnix.exceptions; "
                  "assert all(m.__file__.startswith(sys.argv[1]) for m in "
                  "(private_core.wire_link, private_core.investor.flow_engine, varnix.exceptions))", site)

    run(py, "-m", "pip", "uninstall", "-q", "-y", "private-core")
    assert not (site / "private_core").exists()
    check_layer = (
        "import importlib.metadata as md, importlib.util, sys\n"
        "import varnix, varnix.exceptions, varnix.types\n"
        "assert varnix.__file__.startswith(sys.argv[1])\n"
        "files = md.distribution('varnix-layer').files\n"
        "assert 'varnix/py.typed' in {str(f) for f in files}\n"
        "assert all(f.locate().exists() for f in files if f.suffix != '.pyc')\n"
        "assert importlib.util.find_spec('private_core') is None\n"
    )
    run(py, "-c", check_layer, site)
