"""CPU and memory figures, the process table, per-process I/O, CPU usage and kill, compared with
/proc and ps and with children the tests start."""
import os
import subprocess
import sys

import pytest

import lumenstat
from conftest import wait_until

ME = os.getpid()
MISSING = 4194304  # above the largest pid Linux hands out


def stat_fields(pid):
    """The fields of /proc/PID/stat after the command name: the state first."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        return f.read().rsplit(b")", 1)[1].split()


def proc_file(path):
    with open(path) as f:
        return {key: int(rest.split()[0]) for key, rest in (line.split(":") for line in f)}


def proc_stat_cpus():
    with open("/proc/stat") as f:
        return [list(map(int, line.split()[1:])) for line in f if line[3].isdigit()]


def test_cpu_info_and_times_match_the_kernel():
    with open("/proc/cpuinfo") as f:
        fields = {}
        for key, _, value in (line.partition(":") for line in f):
            fields.setdefault(key.strip(), value.strip())
    info = lumenstat.py_get_cpu_info()
    assert info.logical_cores == os.cpu_count() and 1 <= info.physical_cores <= info.logical_cores
    assert (info.model_name, info.vendor) == (fields.get("model name", info.model_name),
                                              fields.get("vendor_id", info.vendor))
    if "cpu MHz" in fields and not os.path.exists("/sys/devices/system/cpu/cpu0/cpufreq"):
        assert info.frequency_mhz == int(float(fields["cpu MHz"]))
    before, times, after = proc_stat_cpus(), lumenstat.py_get_cpu_times(), proc_stat_cpus()
    assert len(times) == len(before) == os.cpu_count()
    # /proc/stat: user nice system idle iowait irq softirq steal
    fold = {"user": (0,), "nice": (1,), "system": (2, 5, 6, 7), "idle": (3, 4)}
    for t, b, a in zip(times, before, after):
        for state, columns in fold.items():
            assert sum(b[i] for i in columns) <= getattr(t, state) <= sum(a[i] for i in columns)
        assert t.iowait == 0


def test_memory_figures_match_proc_meminfo():
    before, memory, after = proc_file("/proc/meminfo"), lumenstat.py_get_memory_info(), proc_file(
        "/proc/meminfo")
    assert memory.total == before["MemTotal"] * 1024
    for field, key in (("available", "MemAvailable"), ("free", "MemFree")):
        low, high = sorted((before[key] * 1024, after[key] * 1024))
        # Other processes allocate while we read; allow a few MiB of drift.
        assert low - (8 << 20) <= getattr(memory, field) <= high + (8 << 20), field
    assert memory.usage_percent == pytest.approx(memory.used / memory.total * 100.0)


def test_table_shows_proc_and_ps_and_the_arguments_of_children(child):
    script = "import sys, time; time.sleep(60)"
    sleeper = child([sys.executable, "-c", script, "", "two words", b"bad\xffutf8", "last"])
    zombie = child(["true"])
    for process, state in ((zombie, b"Z"), (sleeper, b"S")):
        assert wait_until(lambda: stat_fields(process.pid)[0] == state)
    listed = {p.pid: p for p in lumenstat.get_processes()}
    # The empty and the non-UTF-8 arguments are left out; the others keep their order.
    assert listed[sleeper.pid].command == f"{sys.executable} -c {script} two words last"
    assert (listed[zombie.pid].name, listed[zombie.pid].command) == ("true", "")
    # Processes come and go between the readings, but not many.
    on_disk = {int(name) for name in os.listdir("/proc") if name.isdigit()}
    assert len(set(listed) ^ on_disk) <= 10
    assert abs(lumenstat.get_process_count() - len(listed)) <= 10
    me = lumenstat.get_process_by_pid(ME)
    rss = subprocess.run(["ps", "-o", "rss=", "-p", str(ME)], capture_output=True, text=True,
                         check=True).stdout
    assert abs(me.memory_usage - int(rss) * 1024) <= 4 << 20


def test_process_io_counts_disk_bytes_only():
    before, io, after = proc_file(f"/proc/{ME}/io"), lumenstat.get_process_io(ME), proc_file(
        f"/proc/{ME}/io")
    for ours, key in ((io.read_bytes, "read_bytes"), (io.write_bytes, "write_bytes")):
        assert before[key] <= ours <= after[key], key
    assert (io.pid, io.read_chars, io.write_chars) == (ME, 0, 0)
    with pytest.raises(RuntimeError, match=rf"^ProcessNotFound\({MISSING}\)$"):
        lumenstat.get_process_io(MISSING)


def test_process_cpu_usage_of_a_spinning_child(child):
    spinner = child([sys.executable, "-c", "while True: pass"])
    # The spinner's share depends on how busy the machine is; compare with its own ticks.
    cpu_ticks = lambda: sum(map(int, stat_fields(spinner.pid)[11:13]))  # noqa: E731
    ticks, before = os.sysconf("SC_CLK_TCK"), cpu_ticks()
    usage = lumenstat.get_process_cpu_usage(spinner.pid, None)
    spent = (cpu_ticks() - before) / ticks
    assert usage > 0.0 and usage / 100.0 * 0.5 == pytest.approx(spent, abs=3 / ticks)


def test_kill_process_refuses_absent_and_group_pids():
    # Pids that would signal a process group or every process are refused as absent.
    for pid in MISSING, 2**31, 2**32 - 2, 2**32 - 1:
        with pytest.raises(RuntimeError, match=f"^kill_process: Process not found: pid {pid}$"):
            lumenstat.kill_process(pid)
