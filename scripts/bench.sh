#!/usr/bin/env bash
# Set everything up as the other commands do, then run every benchmark and
# print one table of figures with their same-run baselines.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$(bash "$ROOT/scripts/bootstrap.sh")"
cd "$ROOT"
unset PYTHONPATH
exec "$PY" bench/run_all.py "$@"
