#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for FUZZ_SECONDS, or else for the seconds its second line asks (default 15). A target's
# first line names the core sources it needs:
#   // sources: src/process/argument_area.cpp src/text/utf8.cpp
#   // seconds: 60
# Corpora grow in build/fuzz/corpus/<target>/; a finding is saved in build/fuzz/artifacts/ and fails
# the run. Prints one "fuzz: <target>: passed|failed" line per target.
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

failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target" .cpp)
    sources=()
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
        echo "fuzz: $name: failed (build)"
        failed=1
        continue
    fi
    corpus="$out/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    echo "fuzz: running $name for ${seconds}s" >&2
    if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        runs=$(grep -oE 'Done [0-9]+ runs' "$log" | tail -n 1 || true)
        echo "fuzz: $name: passed (${runs:-done}, corpus $(ls "$corpus" | wc -l) inputs)"
    else
        tail -n 60 "$log" >&2
        echo "fuzz: $name: failed (finding saved under $out/artifacts/)"
        failed=1
    fi
done
exit $failed
