#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for FUZZ_SECONDS, or else for the seconds its second line asks (default 15). A target's
# first line names the core sources it needs:
#   // sources: src/process/argument_area.cpp src/text/utf8.cpp
#   // seconds: 60
# Corpora grow in build/fuzz/corpus/<target>/; a finding is saved in build/fuzz/artifacts/ and fails
# the run. Targets run FUZZ_JOBS at a time (default: the processors). Prints one
# "fuzz: <target>: passed|failed" line per target, in the order of the targets.
#
#   bash scripts/fuzz.sh [target ...]        (targets by name, e.g. fuzz_utf8; default all)
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${FUZZ_CXX:-clang++-14}
out=build/fuzz
mkdir -p "$out/bin" "$out/corpus" "$out/artifacts" "$out/log"
flags=(-std=c++2b -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
    -Wall -Wextra -Isrc)

if [ $# -gt 0 ]; then
    targets=()
    for name in "$@"; do targets+=("fuzz/${name%.cpp}.cpp"); done
else
    targets=(fuzz/fuzz_*.cpp)
fi
[ -e "${targets[0]}" ] || { echo "fuzz: no targets in fuzz/" >&2; exit 0; }

# fuzz_one TARGET: builds and runs one target; its one line goes to $out/log/<name>.result.
fuzz_one() {
    local target=$1 name sources=() first seconds asked bin log corpus seeds=() runs
    name=$(basename "$target" .cpp)
    local result="$out/log/$name.result"
    first=$(head -n 1 "$target")
    if [[ "$first" == "// sources:"* ]]; then
        read -r -a sources <<<"${first#// sources:}"
    fi
    seconds=${FUZZ_SECONDS:-}
    if [ -z "$seconds" ]; then
        asked=$(sed -n '2s#^// seconds: *\([0-9][0-9]*\).*#\1#p' "$target")
        seconds=${asked:-15}
    fi
    bin="$out/bin/$name"
    log="$out/log/$name.log"
    if ! "$cxx" "${flags[@]}" "$target" "${sources[@]}" -o "$bin" >"$log" 2>&1; then
        cat "$log" >&2
        echo "fuzz: $name: failed (build)" >"$result"
        return 1
    fi
    corpus="$out/corpus/$name"
    mkdir -p "$corpus"
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    echo "fuzz: running $name for ${seconds}s" >&2
    if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        runs=$(grep -oE 'Done [0-9]+ runs' "$log" | tail -n 1 || true)
        echo "fuzz: $name: passed (${runs:-done}, corpus $(ls "$corpus" | wc -l) inputs)" >"$result"
    else
        tail -n 60 "$log" >&2
        echo "fuzz: $name: failed (finding saved under $out/artifacts/)" >"$result"
        return 1
    fi
}

# Targets run FUZZ_JOBS at a time (default: one per processor), each on one core.
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    rm -f "$out/log/$(basename "$target" .cpp).result"
    fuzz_one "$target" &
    running=$((running + 1))
done
wait || true

failed=0
for target in "${targets[@]}"; do
    result="$out/log/$(basename "$target" .cpp).result"
    if [ -s "$result" ]; then
        cat "$result"
    else
        echo "fuzz: $(basename "$target" .cpp): failed (no result)"
    fi
    grep -q ': passed' "$result" 2>/dev/null || failed=1
done
exit $failed
