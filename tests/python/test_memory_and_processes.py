"""Memory figures and the process table compared with /proc and ps."""
import os
import subprocess
import sys

import pytest

import lumenstat
from conftest import proc_state, wait_until


def meminfo():
    with open("/proc/meminfo") as f:
        return {key: int(rest.split()[0]) * 1024 for key, rest in (l.split(":") for l in f)}


def test_memory_figures_match_proc_meminfo():
    before = meminfo()
    memory = lumenstat.py_get_memory_info()
    after = meminfo()
    assert memory.total == before["MemTotal"]
    for field, key in (("available", "MemAvailable"), ("free", "MemFree")):
        low, high = sorted((before[key], after[key]))
        # Other processes allocate while we read; allow a few MiB of drift.
        assert low - (8 << 20) <= getattr(memory, field) <= high + (8 << 20), field
    # Each getter reads its own field.
    assert memory.used + memory.available == memory.total
    assert memory.usage_percent == pytest.approx(memory.used / memory.total * 100.0)


def test_own_process_is_running_with_the_memory_ps_shows():
    me = lumenstat.get_process_by_pid(os.getpid())
    assert me.status == "Running"
    rss = subprocess.run(["ps", "-o", "rss=", "-p", str(os.getpid())], capture_output=True,
                         text=True, check=True).stdout
    assert abs(me.memory_usage - int(rss) * 1024) <= 4 << 20


def test_child_arguments_and_names(child):
    # Each state and argument area as the personality reads it: tests/os/process/process_table_test.cpp.
    script = "import sys, time; time.sleep(60)"
    sleeper = child([sys.executable, "-c", script, "", "two words", b"bad\xffutf8", "last"])
    zombie = child(["true"])
    for process, state in ((zombie, "Z"), (sleeper, "S")):
        assert wait_until(lambda: proc_state(process.pid) == state)
    by_pid = {p.pid: p for p in lumenstat.get_processes()}
    # The empty and the non-UTF-8 arguments are left out; the others keep their order.
    assert by_pid[sleeper.pid].command == f"{sys.executable} -c {script} two words last"
    assert (by_pid[zombie.pid].name, by_pid[zombie.pid].command) == ("true", "")


def test_table_covers_the_processes_of_proc():
    listed = [p.pid for p in lumenstat.get_processes()]
    assert len(listed) == len(set(listed))
    on_disk = {int(name) for name in os.listdir("/proc") if name.isdigit()}
    # Processes come and go between the two readings, but not many.
    assert len(set(listed) ^ on_disk) <= 10
    assert abs(lumenstat.get_process_count() - len(listed)) <= 10
    with open("/proc/sys/kernel/pid_max") as f:
        assert lumenstat.get_process_by_pid(int(f.read()) + 1) is None
