#!/usr/bin/env bash
# Prepares this machine for lumenstat: system packages, a Python 3.13 virtual environment with the
# package built and installed by `pip install .`, and Debian's pytest made importable in it.
# Safe to run again: each step only does what is missing (the CMake build is incremental).
#
#   bash scripts/setup.sh [--venv DIR] [--sanitize address,undefined] [--no-apt]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.venv
sanitize=
apt=1
while [ $# -gt 0 ]; do
    case "$1" in
        --venv) venv=$2; shift 2 ;;
        --sanitize) sanitize=$2; shift 2 ;;
        --no-apt) apt=0; shift ;;
        *) echo "setup.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done

say() { echo "setup: $*" >&2; }

# --- system packages -------------------------------------------------------------------------
packages=(
    cmake g++ make git file libgtest-dev        # build and C++ tests
    python3 python3-pytest python3-psutil       # Python tests; psutil is the benchmark's peer
    python3-mypy                                # type-checks code against the installed stubs
    clang-14 libclang-rt-14-dev llvm-14         # fuzzing (libFuzzer), llvm-nm for Mach-O
    procps iproute2                             # ps, free, ss: tests compare with them
)
# npm fetches zig for the macOS cross-check; a Node.js from elsewhere that brings npm will do.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
[ "$apt" = 1 ] && install_packages

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

# --- the package -----------------------------------------------------------------------------
pip_args=(install --no-index --disable-pip-version-check --quiet)
[ -n "$sanitize" ] && pip_args+=(-C "sanitize=$sanitize" -C build-type=RelWithDebInfo)
say "pip install .${sanitize:+ (sanitizers: $sanitize)} into $venv"
"$venv/bin/python" -m pip "${pip_args[@]}" .
say "ready: $venv/bin/python"
