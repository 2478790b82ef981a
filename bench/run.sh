#!/usr/bin/env bash
# Runs every benchmark in one run and prints each ratio with its goal and the medians in ms.
# Sets up like the test command, compiles the floors and the load programs, then hands over to
# bench/bench.py, which makes the load, measures, and cleans the load up. Exits 0 whether or not
# goals are met; non-zero when the run itself fails.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$repo/build/bench"
mkdir -p "$out"

# `run.sh serve` measures the report's server instead (bench/serve_bench.py), in a headless
# browser too.
script=bench.py
if [ "${1:-}" = serve ]; then
    script=serve_bench.py
    shift
fi

bash "$repo/scripts/setup.sh" --tests
python="$repo/.venv/bin/python"
/usr/bin/python3 -c 'import psutil' || {
    echo "bench: Debian's python3 with python3-psutil is needed" >&2
    exit 1
}

for program in floor_processes floor_sockets load_processes spawn_peer; do
    cc -O2 -std=c11 -Wall -Wextra -Werror -o "$out/$program" "$repo/bench/$program.c"
done

# The driver runs in a session of its own so that everything it starts can be ended as one group,
# whatever way this script ends.
setsid "$python" "$repo/bench/$script" --build-dir "$out" "$@" &
driver=$!
cleanup() {
    kill -TERM -- "-$driver" 2>/dev/null || true
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM
status=0
wait "$driver" || status=$?

sleep 0.2
left="$(ps -o pid= -s "$driver" 2>/dev/null || true)"
if [[ -n "$left" ]]; then
    echo "bench: processes of the run were still alive and have been ended: $(echo $left)" >&2
    kill -KILL -- "-$driver" 2>/dev/null || true
fi
exit "$status"
