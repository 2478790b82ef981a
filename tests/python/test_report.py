"""The report command: its JSON against the module's own answers, its text, --watch and --help."""
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import sysconfig
import time

import pytest

import lumenstat
from conftest import getters

REPORT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "report.py")


def run_report(*args):
    done = subprocess.run([sys.executable, REPORT, *args], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


def test_json_is_the_snapshot_with_every_attribute(listener):
    doc = json.loads(run_report("--json"))
    for key, cls in {"memory": lumenstat.PyMemoryInfo, "cpu": lumenstat.PyCpuInfo,
                     "socket_summary": lumenstat.PySocketStateSummary,
                     "disks": lumenstat.PyDiskInfo, "connections": lumenstat.PySocketConnection,
                     "disk_io_stats": lumenstat.PyDiskIoStats,
                     "processes": lumenstat.PyProcessInfo}.items():
        for item in doc[key] if isinstance(doc[key], list) else [doc[key]]:
            assert list(item) == getters(cls), key
    assert {type(v) for v in doc["cpu_usage"] + [doc["memory"]["usage_percent"]]} == {float}
    me = lumenstat.get_process_by_pid(os.getpid())
    assert {"pid": me.pid, "name": me.name, "command": me.command} in [
        {k: p[k] for k in ("pid", "name", "command")} for p in doc["processes"]]
    assert {"protocol": "tcp", "local_addr": listener, "remote_addr": "127.0.0.1:0",
            "state": "LISTEN", "pid": os.getpid(), "inode": 0} in doc["connections"]


def test_main_job_prints_the_document_alone_and_installs_only_what_changed(tmp_path):
    # Set-up that still has packages to install: the package tools answer nothing installed, and
    # apt-get talks on standard output, as the real one does.
    for tool, body in (("dpkg-query", "exit 1"), ("apt-get", 'echo "Reading package lists..."')):
        (tmp_path / tool).write_text(f"#!/bin/sh\n{body}\n")
        (tmp_path / tool).chmod(0o755)
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}")
    script = os.path.join(os.path.dirname(REPORT), "..", "scripts", "report.sh")
    runs = [subprocess.run(["bash", script, "--json"], capture_output=True, text=True, env=env,
                           timeout=600) for _ in range(2)]
    for done in runs:
        assert done.returncode == 0 and json.loads(done.stdout)["process_count"] > 0, done.stderr
        assert "Reading package lists..." in done.stderr
    # The test command installed the package from this tree just before: nothing is rebuilt. A
    # module imported from elsewhere (a build under test) leaves .venv to the first run to update.
    built = ["lumenstat in .venv is built from these sources" in done.stderr for done in runs]
    installed = os.path.dirname(lumenstat.__file__) == sysconfig.get_paths()["purelib"]
    assert built == [True, True] if installed else built[1], [done.stderr for done in runs]


def test_text_report_shows_every_section(listener):
    before = lumenstat.get_process_count()
    lines = run_report().splitlines()
    after = lumenstat.get_process_count()
    assert {"Memory", "CPU", "File systems", "Disks", "Sockets", "Processes"} <= set(lines)
    assert sum(ln.lstrip().startswith("cpu") and "[" in ln for ln in lines) == os.cpu_count()
    assert any(listener in line and str(os.getpid()) in line for line in lines)
    total = lumenstat.py_get_memory_info().total  # in GiB on any machine this runs on
    assert ["total", f"{total / 2**30:.1f}", "GiB", f"{total:,}", "bytes"] in map(str.split, lines)
    shown = next(int(line.split()[0]) for line in lines if line.endswith("using most memory:"))
    # Processes come and go while the report runs (the test command builds beside it).
    assert min(before, after) - 10 <= shown <= max(before, after) + 10


@pytest.mark.parametrize("interruption", [signal.SIGINT, signal.SIGTERM])
def test_watch_redraws_in_place_until_interrupted_and_restores_the_terminal(interruption):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.executable, [sys.executable, REPORT, "--watch", "0.2"])
    output, deadline = b"", time.monotonic() + 20
    while output.count(b"\x1b[H") < 2 and time.monotonic() < deadline:
        output += os.read(fd, 65536) if select.select([fd], [], [], 0.1)[0] else b""
    os.kill(pid, interruption)
    try:
        while chunk := os.read(fd, 65536):
            output += chunk
    except OSError:  # the child side closed
        pass
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 and b"Traceback" not in output
    os.close(fd)
    assert output.count(b"\x1b[H") >= 2
    assert output.startswith(b"\x1b[?1049h\x1b[?25l") and output.endswith(b"\x1b[?25h\x1b[?1049l")


def test_watch_into_a_pipe_ends_quietly_when_the_reader_goes():
    child = subprocess.Popen([sys.executable, REPORT, "--watch", "0.1", "--json"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first, second = (json.loads(child.stdout.readline()) for _ in range(2))
    assert list(first) == list(second) and first["memory"]["total"] == second["memory"]["total"]
    child.stdout.close()
    assert (child.wait(timeout=20), child.stderr.read()) == (0, b"")


def test_installed_command_describes_every_option():
    # Run through this interpreter: a sanitizer build needs its runtime preloaded.
    shown = subprocess.run([sys.executable, os.path.join(sysconfig.get_paths()["scripts"],
                            "lumenstat-report"), "--help"], capture_output=True, text=True,
                           check=True).stdout
    # An option without a description has nothing after it on its line and no indented line below.
    assert shown.startswith("usage: ") and "  -h, --help" in shown
    assert re.findall(r"^  \S(?:\S| (?! ))*\n(?! {4,}\S)", shown, re.M) == []
