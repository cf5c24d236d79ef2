#!/usr/bin/env bash
# Set everything up (CPython 3.13, .venv, dependencies with the test extra,
# build) and run the whole test suite against the installed build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$(PRIVATE_CORE_EXTRAS="test ${PRIVATE_CORE_EXTRAS:-}" bash "$ROOT/scripts/bootstrap.sh")"
cd "$ROOT"
unset PYTHONPATH
# The builds that tests start (wheel, sdist) use the venv's meson and ninja too.
export PATH="$(dirname "$PY"):$PATH"
exec "$PY" -m pytest -q -p no:cacheprovider "$@"
