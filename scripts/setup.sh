#!/usr/bin/env bash
# Prepares this machine for lumenstat: system packages, a Python 3.13 virtual environment with the
# package built and installed by `pip install .`; with --tests also what the tests and benchmarks
# need, Debian's pytest made importable in the venv among it.
# Safe to run again: each step only does what is missing, and the package is built and installed
# again only when a source it is built from has changed since the last install into this venv.
# Everything it prints goes to standard error, so that a caller's own output stays its own.
#
#   bash scripts/setup.sh [--tests | --cxx-tests] [--venv DIR] [--sanitize address,undefined]
#                         [--no-apt | --packages-only] [--build-dir DIR]
# --cxx-tests installs only the C++ tests' packages beside the build's; --packages-only stops after
# the system packages (the test command installs the Python tests' packages in the background
# while it builds).
# --build-dir builds in that CMake tree (the test command's, so that the C++ tests it builds there
# next reuse the library compiled for the module), instead of the package's own under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
exec >&2

venv=.venv
sanitize=
build_dir=
apt=1
packages_only=0
tests=0
cxx_tests=0
while [ $# -gt 0 ]; do
    case "$1" in
        --venv) venv=$2; shift 2 ;;
        --sanitize) sanitize=$2; shift 2 ;;
        --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
        --no-apt) apt=0; shift ;;
        --tests) tests=1; cxx_tests=1; shift ;;
        --cxx-tests) cxx_tests=1; shift ;;
        --packages-only) packages_only=1; shift ;;
        *) echo "setup.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done

say() { echo "setup: $*" >&2; }

# --- system packages -------------------------------------------------------------------------
packages=(cmake g++ make)                      # the build
packages+=(python3-prometheus-client)           # the report's server (--serve)
[ "$cxx_tests" = 1 ] && packages+=(
    git file libgtest-dev                       # C++ tests
    procps iproute2                             # ps: tests compare with it; ss: the benchmarks
)
if [ "$tests" = 1 ]; then
    packages+=(
        python3 python3-pytest python3-psutil   # Python tests; psutil is the benchmark's peer
        clang-14 libclang-rt-14-dev llvm-14     # fuzzing (libFuzzer), llvm-nm for Mach-O
    )
    # npm fetches zig for the macOS cross-check; a Node.js from elsewhere that brings npm will do.
    command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
fi
install_packages() {
    local have missing=() p
    # dpkg-query fails when it knows a name not at all; it still lists the ones it knows.
    have=" $({ dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true; } \
        | awk '$NF == "installed" { printf "%s ", $1 }')"
    for p in "${packages[@]}"; do
        [[ "$have" == *" $p "* ]] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another set-up may hold the package lock for a while (the test command runs one beside it).
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
    $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
}
[ "$apt" = 1 ] && install_packages
# What only the server's tests and benchmarks run: a real Prometheus (with promtool) and a headless
# Chromium with its driver. Without them those tests fail and say which package they need; the
# rest of the set-up goes on.
test_programs=(prometheus chromium chromium-driver python3-selenium)
if [ "$apt" = 1 ] && [ "$tests" = 1 ]; then
    (packages=("${test_programs[@]}") && install_packages) \
        || say "could not install ${test_programs[*]}; the tests that run them will fail"
fi
[ "$packages_only" = 1 ] && exit 0

# --- Python 3.13 -----------------------------------------------------------------------------
find_python() {
    if [ -n "${LUMENSTAT_PYTHON:-}" ]; then echo "$LUMENSTAT_PYTHON"; return; fi
    local root="${PYENV_ROOT:-$HOME/.pyenv}"
    command -v pyenv >/dev/null 2>&1 && root=$(pyenv root)
    local found
    found=$(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$found" ] || found=$(command -v python3.13 || true)
    [ -n "$found" ] || { echo "setup: no Python 3.13 found (pyenv or PATH)" >&2; exit 1; }
    echo "$found"
}
python=$(find_python)

is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }
if ! is_313 "$venv/bin/python"; then
    say "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

# --- pytest from Debian ----------------------------------------------------------------------
if [ "$tests" = 1 ]; then
# Debian builds pytest for its own Python, but it is pure Python and runs on 3.13. Only pytest and
# the pure-Python packages it imports are exposed, through a folder of symlinks named in a .pth
# file, so that nothing else from Debian's dist-packages shadows the venv.
dist=/usr/lib/python3/dist-packages
shim="$venv/debian-pytest"
mkdir -p "$shim"
for name in _pytest pytest py.py pluggy iniconfig packaging attr attrs; do
    [ -e "$dist/$name" ] || { echo "setup: $dist/$name missing (python3-pytest)" >&2; exit 1; }
    ln -sfn "$dist/$name" "$shim/$name"
done
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
realpath "$shim" > "$site/debian_pytest.pth"
"$venv/bin/python" -m pytest --version >/dev/null 2>&1 \
    || { echo "setup: pytest does not start in $venv" >&2; exit 1; }
fi

# --- the server's library, and the browser driver of the tests -------------------------------
# prometheus_client (the package's optional extra `serve`; Debian's imports decorator) is exposed
# like pytest, with its metadata, so that pip counts the extra as installed; with --tests also
# selenium and what it imports, where it is installed.
dist=/usr/lib/python3/dist-packages
serve_shim="$venv/debian-serve"
info=("$dist"/prometheus_client-*.egg-info)
mkdir -p "$serve_shim"
for name in prometheus_client "${info[0]#"$dist/"}" decorator.py; do
    [ -e "$dist/$name" ] || { echo "setup: $dist/$name missing (python3-prometheus-client)" >&2; exit 1; }
    ln -sfn "$dist/$name" "$serve_shim/$name"
done
if [ "$tests" = 1 ]; then
    for name in selenium urllib3 six.py certifi; do
        if [ -e "$dist/$name" ]; then ln -sfn "$dist/$name" "$serve_shim/$name"; fi
    done
fi
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
realpath "$serve_shim" > "$site/debian_serve.pth"

# --- the package -----------------------------------------------------------------------------
# The stamp names every file the build reads, with its contents, and how it was built; the install
# is skipped while the venv holds the module built from exactly that.
sources_stamp() {
    {
        printf '%s\n' "$python" "$sanitize"
        find CMakeLists.txt pyproject.toml build_backend src py-abi tools lumenstat-stubs \
            -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum
    } | sha256sum | cut -d ' ' -f 1
}
stamp_file="$venv/lumenstat-sources.stamp"
stamp=$(sources_stamp)
installed() {
    [ "$(cat "$stamp_file" 2>/dev/null)" = "$stamp" ] \
        && compgen -G "$venv/lib/python3.13/site-packages/lumenstat.*.so" >/dev/null
}
if installed; then
    say "lumenstat in $venv is built from these sources"
else
    pip_args=(install --no-index --disable-pip-version-check --quiet)
    [ -n "$sanitize" ] && pip_args+=(-C "sanitize=$sanitize" -C build-type=RelWithDebInfo)
    [ -n "$build_dir" ] && pip_args+=(-C "build-dir=$build_dir")
    say "pip install .${sanitize:+ (sanitizers: $sanitize)} into $venv"
    rm -f "$stamp_file"
    "$venv/bin/python" -m pip "${pip_args[@]}" .
    echo "$stamp" >"$stamp_file"
fi
say "ready: $venv/bin/python"
