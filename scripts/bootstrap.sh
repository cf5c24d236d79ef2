#!/usr/bin/env bash
# Finds CPython 3.13, creates .venv beside the project, installs the build
# tools and run-time dependencies (pyproject.toml), the stand-in of the public
# `varnix` layer, and builds the package with meson-python.  Sourced by the
# other scripts; prints the venv's python path on success, and one line per
# stage (and per compiled module) on stderr.
#
# PRIVATE_CORE_EXTRAS adds extras of pyproject.toml (the test command: test).
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
read -r -a EXTRAS <<< "${PRIVATE_CORE_EXTRAS:-}"
# shellcheck source=scripts/_python.sh
source "$ROOT/scripts/_python.sh"

say() { echo "setup: $*" >&2; }

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
elif [ ! -x "$VENV/bin/python" ] || ! python_is_313 "$VENV/bin/python"; then
    PY="$(find_python)" || exit 1
    say "creating $(basename "$VENV") with $PY"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV" >&2
fi

PYBIN="$VENV/bin/python"
# meson-python runs `meson` and `ninja` from PATH: the venv's own, never
# another Python's that happens to be there.
export PATH="$VENV/bin:$PATH"
unset MESON NINJA

LAYER="$ROOT/varnix_layer"
WANTED="$("$PYBIN" "$ROOT/scripts/_requirements.py" ${EXTRAS[@]+"${EXTRAS[@]}"})"
STAMP="$VENV/.deps-$(IFS=-; echo "base${EXTRAS[*]+-${EXTRAS[*]}}")"
if [ ! -f "$STAMP" ] || [ "$(cat "$STAMP")" != "$WANTED" ] ||
   [ -n "$(find "$LAYER" -newer "$STAMP" -name '*.py*' -print -quit)" ]; then
    say "installing dependencies${EXTRAS[*]+ (with ${EXTRAS[*]})}"
    # shellcheck disable=SC2086
    "$PYBIN" -m pip install -q --disable-pip-version-check $WANTED >&2
    # The public layer's stand-in is a distribution of its own: never part
    # of the core's wheel.
    "$PYBIN" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
        "$LAYER" >&2
    echo "$WANTED" > "$STAMP"
fi

# Build and install the wheel; the build directory is kept so that a rebuild
# only recompiles what changed.  The compiler's steps ([n/N] lines) are shown
# as they come; the whole log stays in the build folder, and its end is shown
# when the build fails.
say "building the extension modules"
mkdir -p "$BUILD_DIR"
LOG="$BUILD_DIR/setup.log"
if ! "$PYBIN" -m pip install -v --disable-pip-version-check --no-build-isolation --no-deps \
        -Cbuild-dir="$BUILD_DIR" ${BUILD_ARGS[@]+"${BUILD_ARGS[@]}"} --force-reinstall "$ROOT" 2>&1 |
     tee "$LOG" | sed -nu -E 's#^ *\[([0-9]+/[0-9]+)\] (Compiling|Linking) .* ([^ ]*/)?([^/ .]+)[^/ ]*$#setup:   [\1] \L\2\E \4#p' >&2; then
    tail -n 40 "$LOG" >&2
    say "the build failed; its whole log: $LOG"
    exit 1
fi
echo "$PYBIN"
