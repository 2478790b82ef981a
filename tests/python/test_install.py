"""What installing gives a user: the report command, and builds that fail with one clear line."""
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The interpreter itself, not a wrapper script that needs a PATH to start.
PYTHON = str(Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}")


def test_report_command_is_installed_and_describes_every_option():
    # Run through this interpreter: a sanitizer build needs its runtime preloaded.
    shown = subprocess.run([sys.executable, Path(sysconfig.get_paths()["scripts"]) /
                            "lumenstat-report", "--help"], capture_output=True, text=True,
                           check=True).stdout
    # An option without a description has nothing after it on its line and no indented line below.
    assert shown.startswith("usage: ") and "  -h, --help" in shown
    assert re.findall(r"^  \S(?:\S| (?! ))*\n(?! {4,}\S)", shown, re.M) == []


MAKE_CC = {"cmake": None, "make": "exit 0", "cc": "exit 0"}


@pytest.mark.parametrize("python, tools, env, line", [
    ("/usr/bin/python3", {"cmake": None}, {},
     r"needs CPython 3\.13, but this build runs cpython 3\.\d+ \(/usr/bin/python3\)"),
    (PYTHON, {}, {}, r"cmake not found on PATH; install CMake 3\.25 or newer"),
    (PYTHON, {"cmake": "echo 'cmake version 3.16.3'"}, {},
     r"CMake 3\.25 or newer needed, \S+/cmake is 3\.16\.3"),
    (PYTHON, {"cmake": None}, {},
     r"make not found on PATH; CMake's generator Unix Makefiles needs it"),
    (PYTHON, {"cmake": None, "make": "exit 0"}, {},
     r"no C compiler found \(looked for cc, gcc, clang"),
    (PYTHON, MAKE_CC, {"CXX": "clang++-99"},
     r"no C\+\+ compiler: CXX=clang\+\+-99 is not an executable on PATH"),
    (PYTHON, {**MAKE_CC, "c++": "echo 'error: no <expected>' >&2; exit 1"}, {},
     r"the C\+\+ compiler c\+\+ cannot compile C\+\+23 with std::expected"),
])
def test_build_stops_with_one_line_naming_what_is_missing(tmp_path, python, tools, env, line):
    for name, script in tools.items():  # a script body, or None for this machine's own tool
        if script is None:
            (tmp_path / name).symlink_to(shutil.which(name))
        else:
            (tmp_path / name).write_text("#!/bin/sh\n" + script + "\n")
            (tmp_path / name).chmod(0o755)
    hook = ("import sys; sys.path.insert(0, sys.argv[1]); import lumenstat_build; "
            "lumenstat_build.build_wheel(sys.argv[2], {'build-dir': sys.argv[3]})")
    result = subprocess.run([python, "-c", hook, ROOT / "build_backend", tmp_path,
                             tmp_path / "build"], capture_output=True, text=True,
                            env={"PATH": str(tmp_path), **env}, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert re.fullmatch("lumenstat build: " + line + r".*\n", result.stderr), result.stderr
    assert not (tmp_path / "build").exists()
