#!/usr/bin/env bash
# Finds CPython 3.13, creates .venv beside the project, installs the run-time,
# build and test dependencies, the stand-in of the public `varnix` layer and
# builds the package with meson-python.  Sourced by the other scripts; prints
# the venv's python path on success, and one line per stage on stderr.
#
# Another venv and build of the same tree (the sanitized one) come from the
# same steps: PRIVATE_CORE_VENV names the venv (default .venv),
# PRIVATE_CORE_BUILD_DIR the meson build folder (default build/wheel) and
# PRIVATE_CORE_BUILD_ARGS adds whitespace-separated meson-python settings
# (-Csetup-args=..., -Ccompile-args=...) to the build.
#
# PRIVATE_CORE_PYTHON sets up with another CPython than 3.13, named as found
# on PATH (python3.14, python3.15, python3.14d: scripts/pythons.sh's matrix).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${PRIVATE_CORE_VENV:-$ROOT/.venv}"
BUILD_DIR="${PRIVATE_CORE_BUILD_DIR:-$ROOT/build/wheel}"
read -r -a BUILD_ARGS <<< "${PRIVATE_CORE_BUILD_ARGS:-}"

say() { echo "setup: $*" >&2; }

find_python() {
    local cand
    for cand in python3.13 "$(command -v pyenv >/dev/null 2>&1 && pyenv root 2>/dev/null)/versions/"3.13*/bin/python3.13 \
                /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -n "$cand" ] || continue
        if "$cand" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            echo "$cand"; return 0
        fi
    done
    return 1
}

if [ -n "${PRIVATE_CORE_PYTHON:-}" ]; then
    # The named interpreter as it is: the venv is made again when it runs
    # another one (version, build date or ABI flags such as the debug `d`).
    PY="$(command -v "$PRIVATE_CORE_PYTHON")" || { say "$PRIVATE_CORE_PYTHON not found"; exit 1; }
    SAME='import sys; print(sys.version, sys.abiflags)'
    if [ "$("$VENV/bin/python" -c "$SAME" 2>/dev/null)" != "$("$PY" -c "$SAME")" ]; then
        say "creating $(basename "$VENV") with $PY"
        rm -rf "$VENV"
        "$PY" -m venv "$VENV" >&2
    fi
elif [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    PY="$(find_python || true)"
    if [ -z "$PY" ]; then
        say "CPython 3.13 not found; installing it with apt-get"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2
        apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >&2
        PY="$(find_python)"
    fi
    say "creating $(basename "$VENV")"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV" >&2
fi

PYBIN="$VENV/bin/python"
STAMP="$VENV/.deps-stamp"
REQ="$ROOT/requirements-dev.txt"
LAYER="$ROOT/varnix_layer"
if [ ! -f "$STAMP" ] || [ "$REQ" -nt "$STAMP" ] || [ -n "$(find "$LAYER" -newer "$STAMP" -name '*.py*' -print -quit)" ]; then
    say "installing dependencies"
    "$PYBIN" -m pip install -q --upgrade pip >&2
    "$PYBIN" -m pip install -q -r "$REQ" >&2
    # The public layer's stand-in is a distribution of its own: never part
    # of the core's wheel.
    "$PYBIN" -m pip install -q --no-build-isolation --no-deps --force-reinstall "$LAYER" >&2
    touch "$STAMP"
fi

# Build and install the wheel; the build directory is kept so that a rebuild
# only recompiles what changed.
say "building the extension modules"
"$PYBIN" -m pip install -q --no-build-isolation --no-deps \
    -Cbuild-dir="$BUILD_DIR" ${BUILD_ARGS[@]+"${BUILD_ARGS[@]}"} --force-reinstall "$ROOT" >&2
echo "$PYBIN"
