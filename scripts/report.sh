#!/usr/bin/env bash
# The main job: set this machine up, then print a report of it read through lumenstat.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# `report.sh watch PID` follows one process live instead, until it exits or Ctrl-C.
if [ "${1:-}" = watch ]; then
    shift
    exec .venv/bin/python tools/watch.py "$@"
fi
exec .venv/bin/python tools/report.py "$@"
