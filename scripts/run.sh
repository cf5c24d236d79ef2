#!/usr/bin/env bash
# The main job: set everything up (CPython 3.13, .venv, dependencies, build)
# and run the demo against the local service simulator.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$(bash "$ROOT/scripts/bootstrap.sh")"
cd "$ROOT"
unset PYTHONPATH
exec "$PY" -m demo.main "$@"
