"""What a build needs before CMake runs, each missing piece named in one line.

A build that lacks CMake, a working compiler or the right Python would otherwise end in a CMake
trace or a Python traceback; these checks stop it first with `BuildPrerequisiteMissing`, whose text
is the one line a user needs to read.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

MACOS_TOOLS = "on macOS: xcode-select --install"


class BuildPrerequisiteMissing(SystemExit):
    """Ends the build hook with one line on standard error and exit status 1."""

    def __init__(self, line: str) -> None:
        super().__init__(f"lumenstat build: {line}")


def check_python(requires: str) -> None:
    """The module is built against the running interpreter's C API: CPython of one minor version."""
    wanted = re.findall(r"(\d+)\.(\d+)", requires)
    if not wanted:
        return
    major, minor = (int(part) for part in wanted[0])
    running = sys.version_info
    name = sys.implementation.name
    if name != "cpython" or (running.major, running.minor) != (major, minor):
        raise BuildPrerequisiteMissing(
            f"needs CPython {major}.{minor}, but this build runs {name} "
            f"{running.major}.{running.minor} ({sys.executable}); run pip with a "
            f"Python {major}.{minor} interpreter, for example python{major}.{minor} -m pip install ."
        )
    header = Path(sysconfig.get_paths()["include"]) / "Python.h"
    if not header.is_file():
        raise BuildPrerequisiteMissing(
            f"Python.h of Python {major}.{minor} not found in {header.parent}; install the "
            f"interpreter's development headers (python{major}.{minor}-dev or "
            f"python{major}.{minor}-devel)"
        )


def cmake_minimum(cmakelists: Path) -> tuple[int, ...]:
    found = re.search(r"cmake_minimum_required\s*\(\s*VERSION\s+([\d.]+)", cmakelists.read_text())
    return tuple(int(p) for p in found.group(1).split(".")) if found else (0,)


def check_cmake(cmakelists: Path) -> str:
    """Returns the cmake to run: on PATH and at least the version CMakeLists.txt asks for."""
    needed = cmake_minimum(cmakelists)
    needed_text = ".".join(map(str, needed))
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildPrerequisiteMissing(
            f"cmake not found on PATH; install CMake {needed_text} or newer "
            "(apt install cmake, dnf install cmake, brew install cmake, or pip install cmake)"
        )
    try:
        output = subprocess.run([cmake, "--version"], capture_output=True, text=True,
                                timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired) as error:
        raise BuildPrerequisiteMissing(f"{cmake} does not run: {error}") from None
    version = re.search(r"cmake version (\d+(?:\.\d+)*)", output)
    have = tuple(int(p) for p in version.group(1).split(".")) if version else (0,)
    if have < needed:
        shown = version.group(1) if version else "of unknown version"
        raise BuildPrerequisiteMissing(
            f"CMake {needed_text} or newer needed, {cmake} is {shown}"
        )
    return cmake


def _compiler(variable: str, candidates: list[str], language: str) -> list[str]:
    chosen = os.environ.get(variable, "").split()
    if chosen:
        if shutil.which(chosen[0]) is None:
            raise BuildPrerequisiteMissing(
                f"no {language} compiler: {variable}={os.environ[variable]} is not an executable "
                "on PATH"
            )
        return chosen
    for name in candidates:
        if shutil.which(name):
            return [name]
    raise BuildPrerequisiteMissing(
        f"no {language} compiler found (looked for {', '.join(candidates)} on PATH); install "
        f"g++ or clang++ ({MACOS_TOOLS}), or name one in {variable}"
    )


# What the sources need from the standard library: C++23 with std::expected.
_CXX23_PROBE = "#include <expected>\nstd::expected<int, int> probe() { return 1; }\n"


def check_compilers() -> None:
    """A C and a C++ compiler the way CMake finds them, the C++ one able to compile C++23."""
    _compiler("CC", ["cc", "gcc", "clang"], "C")
    cxx = _compiler("CXX", ["c++", "g++", "clang++"], "C++")
    with tempfile.TemporaryDirectory() as scratch:
        source = Path(scratch) / "probe.cpp"
        source.write_text(_CXX23_PROBE)
        try:
            result = subprocess.run(cxx + ["-std=c++23", "-fsyntax-only", str(source)],
                                    capture_output=True, text=True, timeout=300)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise BuildPrerequisiteMissing(
                f"the C++ compiler {' '.join(cxx)} does not run: {error} ({MACOS_TOOLS})"
            ) from None
    if result.returncode != 0:
        raise BuildPrerequisiteMissing(
            f"the C++ compiler {' '.join(cxx)} cannot compile C++23 with std::expected; "
            f"GCC 12, Clang 16 or Apple clang 15 or newer is needed ({MACOS_TOOLS})"
        )


def check_build_tool() -> None:
    """The program CMake's generator drives: make by default, ninja when CMAKE_GENERATOR asks."""
    generator = os.environ.get("CMAKE_GENERATOR", "Unix Makefiles")
    tools = ["ninja"] if "Ninja" in generator else ["make", "gmake"] if "Makefiles" in generator \
        else []
    if tools and not any(shutil.which(tool) for tool in tools):
        raise BuildPrerequisiteMissing(
            f"{tools[0]} not found on PATH; CMake's generator {generator} needs it "
            f"(apt install {tools[0]}, dnf install {tools[0]}, {MACOS_TOOLS})"
        )


def check_all(root: Path, requires_python: str, build_dir: Path) -> str:
    """Runs every check and returns the cmake to use. A build directory that CMake configured
    before has already proven its tools, so those checks run only for a new one."""
    check_python(requires_python)
    cmake = check_cmake(root / "CMakeLists.txt")
    if not (build_dir / "CMakeCache.txt").is_file():
        check_build_tool()
        check_compilers()
    return cmake
