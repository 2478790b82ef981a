"""What installing gives a user: the report command, and builds that fail with one clear line."""
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(sysconfig.get_paths()["scripts"])
# The interpreter itself, not a wrapper script that needs a PATH to start.
PYTHON = str(Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}")


def help_entries(text):
    """(entry, has_description) for each option or argument listed under a heading of --help."""
    lines = text.splitlines()
    entries = []
    for i, line in enumerate(lines):
        if not re.match(r"  \S", line):
            continue
        described = bool(re.match(r"  \S.*?\S\s{2,}\S", line)) or (
            i + 1 < len(lines) and re.match(r" {4,}\S", lines[i + 1]) is not None)
        entries.append((line.split()[0], described))
    return entries


def test_report_command_is_installed_and_describes_every_option():
    # Run through this interpreter: a sanitizer build needs its runtime preloaded.
    shown = subprocess.run([sys.executable, str(BIN / "lumenstat-report"), "--help"],
                           capture_output=True, text=True, check=True).stdout
    assert shown.startswith("usage: ")
    entries = help_entries(shown)
    assert ("-h,", True) in entries and [e for e, described in entries if not described] == []


def provide(directory, tools):
    """Puts the named tools in `directory`: a script body, or None for this machine's own."""
    for name, script in tools.items():
        path = directory / name
        if script is None:
            path.symlink_to(shutil.which(name))
        else:
            path.write_text("#!/bin/sh\n" + script + "\n")
            path.chmod(0o755)


CMAKE = {"cmake": None}
MAKE_CC = {"cmake": None, "make": "exit 0", "cc": "exit 0"}


@pytest.mark.parametrize("python, tools, env, line", [
    ("/usr/bin/python3", CMAKE, {},
     r"needs CPython 3\.13, but this build runs cpython 3\.\d+ \(/usr/bin/python3\)"),
    (PYTHON, {}, {}, r"cmake not found on PATH; install CMake 3\.25 or newer"),
    (PYTHON, {"cmake": "echo 'cmake version 3.16.3'"}, {},
     r"CMake 3\.25 or newer needed, \S+/cmake is 3\.16\.3"),
    (PYTHON, CMAKE, {}, r"make not found on PATH; CMake's generator Unix Makefiles needs it"),
    (PYTHON, {"cmake": None, "make": "exit 0"}, {},
     r"no C compiler found \(looked for cc, gcc, clang"),
    (PYTHON, MAKE_CC, {"CXX": "clang++-99"},
     r"no C\+\+ compiler: CXX=clang\+\+-99 is not an executable on PATH"),
    (PYTHON, {**MAKE_CC, "c++": "echo 'error: no <expected>' >&2; exit 1"}, {},
     r"the C\+\+ compiler c\+\+ cannot compile C\+\+23 with std::expected"),
])
def test_build_stops_with_one_line_naming_what_is_missing(tmp_path, python, tools, env, line):
    tools_dir = tmp_path / "bin"
    tools_dir.mkdir()
    provide(tools_dir, tools)
    build_dir = tmp_path / "build"
    hook = ("import sys; sys.path.insert(0, sys.argv[1]); import lumenstat_build; "
            "lumenstat_build.build_wheel(sys.argv[2], {'build-dir': sys.argv[3]})")
    result = subprocess.run(
        [python, "-c", hook, str(ROOT / "build_backend"), str(tmp_path), str(build_dir)],
        capture_output=True, text=True, env={"PATH": str(tools_dir), **env}, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout == ""
    assert re.fullmatch("lumenstat build: " + line + r".*\n", result.stderr), result.stderr
    assert not build_dir.exists()
