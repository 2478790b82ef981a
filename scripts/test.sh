#!/usr/bin/env bash
# Runs every check of lumenstat and ends with one line "N passed, N failed[, N skipped]":
#   1. C++ tests (core against the fake, Linux personality against this machine) via ctest
#   2. Python tests of the installed module via pytest, and its exports: the module that CMake
#      built and pip installed defines one dynamic symbol, PyInit_lumenstat (nm -D)
#      and the failure sweep over the Linux personality (tests/faults/linux_sweep.py)
#   3. the macOS arm64 cross-check (scripts/check_macos.sh)
#   4. the sanitizer suite: C++ tests and Python tests again, built with LUMENSTAT_SANITIZERS
#   5. every fuzz target for FUZZ_SECONDS (scripts/fuzz.sh), one per processor at a time
# Every stage runs even when an earlier one fails; the exit status is non-zero if anything failed.
#
# Environment:
#   LUMENSTAT_SANITIZERS  sanitizer sets for stage 4, space-separated (default
#                         "address,undefined thread": an ASan+UBSan pass, then a ThreadSanitizer pass)
#   FUZZ_SECONDS          seconds per fuzz target (default 6; scripts/fuzz.sh alone runs each for
#                         what the target asks, else 15)
#   LUMENSTAT_FAULT_SECONDS  time bound of the failure sweep over the Linux personality (default 40)
#   LUMENSTAT_SKIP        stages to leave out, space-separated: macos sanitize fuzz
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

results=$root/build/test-results
rm -rf "$results"
mkdir -p "$results"
: >"$results/stages.tsv"
sanitizers=${LUMENSTAT_SANITIZERS:-address,undefined thread}
skip=" ${LUMENSTAT_SKIP:-} "

# A stage's time runs from its banner to its record.
stage_start=$SECONDS
banner() { printf '\n=== %s\n' "$*"; stage_start=$SECONDS; }
record() {
    printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:-$((SECONDS - stage_start))}" \
        >>"$results/stages.tsv"
}
# step NAME KIND COMMAND...: runs the command and records it as ok or failed.
step() {
    local name=$1 kind=$2
    shift 2
    banner "$name"
    if "$@"; then record "$name" "$kind" ok; else record "$name" "$kind" failed; return 1; fi
}
skipped() { [[ "$skip" == *" $1 "* ]]; }

# ctest_suite NAME BUILD_DIR VENV [CMAKE_ARGS...]: configures and builds the C++ tests, runs ctest.
# The tree is the one set-up built VENV's module in, configured as the package's build configures it,
# so that the library compiled for the module is not compiled again for the tests.
ctest_suite() {
    local name=$1 dir=$2 venv=$3 module=(-DLUMENSTAT_MODULE=OFF)
    shift 3
    [ -x "$venv/bin/python" ] &&
        module=(-DLUMENSTAT_MODULE=ON -DPython3_EXECUTABLE="$root/$venv/bin/python")
    step "configure $name" step cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DLUMENSTAT_TESTS=ON "${module[@]}" "$@" || return
    step "build $name" step cmake --build "$dir" -j2 || return
    step "$name" tests ctest --test-dir "$dir" -j2 --output-on-failure --timeout 300 \
        --output-junit "$results/$name.xml"
}

# pytest_suite NAME VENV [ENV...]: runs tests/python with the venv's interpreter, passing on the
# arguments in the array pytest_args.
pytest_args=()
pytest_python=
pytest_suite() {
    local name=$1 venv=$2
    shift 2
    banner "$name"
    local status=0
    env "$@" "${pytest_python:-$venv/bin/python}" -m pytest -q -p no:cacheprovider \
        "${pytest_args[@]}" tests/python --junitxml="$results/$name.xml" || status=$?
    # 5: no tests collected - an empty suite is not a failure
    if [ $status -eq 0 ] || [ $status -eq 5 ]; then
        record "$name" tests ok
    else
        record "$name" tests failed
    fi
}

preload_for() {
    local list=$1 libs=() san
    for san in ${list//,/ }; do
        case $san in
            address) libs+=("$(g++ -print-file-name=libasan.so)") ;;
            undefined) libs+=("$(g++ -print-file-name=libubsan.so)") ;;
            thread) libs+=("$(g++ -print-file-name=libtsan.so)") ;;
        esac
    done
    local IFS=:
    echo "${libs[*]}"
}

# sanitized_python VENV SANITIZERS: prints the path of an interpreter for VENV that runs with the
# sanitizer runtimes preloaded. Python is not built with the sanitizers, so the module's runtimes
# must come first; but only Python processes may get them (ps, for one, hangs under a preloaded
# ASan), so a .pth file drops LD_PRELOAD from the environment once the interpreter has started,
# and the wrapper, being sys.executable, puts it back for Python children.
sanitized_python() {
    local venv=$1 list=$2
    local wrapper="$venv/bin/python-sanitized"
    local real
    real=$(realpath "$venv/bin/python")
    cat >"$wrapper" <<WRAPPER
#!/usr/bin/env bash
LD_PRELOAD="$(preload_for "$list")" exec -a "\$0" "$real" "\$@"
WRAPPER
    chmod +x "$wrapper"
    local site
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    echo 'import os; os.environ.pop("LD_PRELOAD", None)' >"$site/sanitizer_preload.pth"
    echo "$wrapper"
}

# module_exports VENV: the defined dynamic symbols of the venv's module are PyInit_lumenstat alone.
module_exports() {
    local module defined
    module=$("$1/bin/python" -c 'import lumenstat; print(lumenstat.__file__)') || return 1
    defined=$(nm -D --defined-only "$module" | awk '{print $NF}') || return 1
    echo "$module defines: $(echo $defined)"
    [ "$defined" = PyInit_lumenstat ]
}

# Each failure sweep (over the fake os, a ctest case; over the Linux personality, below) adds its
# closing line here; the summary joins them into one.
export LUMENSTAT_FAULT_SWEEP_LINES=$results/fault-sweeps.txt

# The failure sweep over the Linux personality, with the failing C library of the ctest build
# preloaded.
linux_fault_sweep() {
    LD_PRELOAD="$root/build/tests/libfailing_libc.so" .venv/bin/python tests/faults/linux_sweep.py \
        "${LUMENSTAT_FAULT_SECONDS:-40}"
}

start=$SECONDS

# Set-up in two steps: what the build and the C++ tests need, then, while the module and the C++
# tests build and run, the Python tests' and later stages' packages (a browser, Prometheus, clang)
# install in the background.
banner "setup"
test_packages=
if bash scripts/setup.sh --cxx-tests --packages-only; then
    bash scripts/setup.sh --tests --packages-only >"$results/test-packages.log" 2>&1 &
    test_packages=$!
    if bash scripts/setup.sh --no-apt --build-dir build/tests; then
        record setup step ok
    else
        record setup step failed
    fi
else
    record setup step failed
fi

ctest_suite ctest build/tests .venv

banner "setup for the tests"
have_venv=0
if [ -n "$test_packages" ] && wait "$test_packages" &&
    bash scripts/setup.sh --tests --no-apt --build-dir build/tests; then
    record "setup for the tests" step ok
    have_venv=1
else
    cat "$results/test-packages.log" >&2
    record "setup for the tests" step failed
fi
# The macOS cross-check compiles while the Python tests and the sweep, which mostly wait on one
# core, run beside it.
macos_pid=
if ! skipped macos; then
    macos_start=$SECONDS
    bash scripts/check_macos.sh >"$results/macos.txt" 2>&1 &
    macos_pid=$!
fi

if [ $have_venv = 1 ]; then
    pytest_suite pytest .venv
    step "module exports" check module_exports .venv
    step "fault sweep (linux)" check linux_fault_sweep
fi

if [ -n "$macos_pid" ]; then
    banner "macos check"
    macos_status=ok
    wait "$macos_pid" || macos_status=failed
    cat "$results/macos.txt"
    record "macos check" check "$macos_status" $((SECONDS - macos_start))
fi

if ! skipped sanitize; then
    # Some tests ask for impossible allocations on purpose and expect a failure, not an abort.
    export TSAN_OPTIONS="allocator_may_return_null=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp"
    for list in $sanitizers; do
        tag=${list//,/-}
        module_ok=0
        step "module $tag" step bash scripts/setup.sh --tests --no-apt --venv ".venv-$tag" \
            --sanitize "$list" --build-dir "build/tests-$tag" && module_ok=1
        ctest_suite "ctest-$tag" "build/tests-$tag" ".venv-$tag" "-DLUMENSTAT_SANITIZE=$list" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo
        # Leak checks are off for the module: the interpreter keeps its own allocations until exit.
        if [ $module_ok = 1 ]; then
            pytest_args=(-m "not slow and not real")
            pytest_python=$(sanitized_python ".venv-$tag" "$list")
            pytest_suite "pytest-$tag" ".venv-$tag" ASAN_OPTIONS=detect_leaks=0 \
                UBSAN_OPTIONS=print_stacktrace=1
        fi
    done
fi

if ! skipped fuzz; then
    # Each target's committed seeds are replayed by ctest; this stage looks for new inputs.
    export FUZZ_SECONDS=${FUZZ_SECONDS:-6}
    banner "fuzz (${FUZZ_SECONDS}s per target)"
    bash scripts/fuzz.sh | tee "$results/fuzz.txt"
    grep -E '^fuzz: [^ ]+: ' "$results/fuzz.txt" | while read -r _ target status _; do
        record "${target%:}" check "$([ "$status" = passed ] && echo ok || echo failed)" -
    done
    record fuzz step ok
fi

banner "summary ($((SECONDS - start)) s)"
[ -s "$LUMENSTAT_FAULT_SWEEP_LINES" ] && sort -u "$LUMENSTAT_FAULT_SWEEP_LINES" | paste -sd '|' |
    sed 's/|/ | /g'
python3 scripts/summarize_tests.py "$results"
