#!/usr/bin/env bash
# The main job: set this machine up, then print a report of it read through lumenstat.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python tools/report.py "$@"
