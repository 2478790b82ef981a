"""Per-process disk I/O, CPU usage and kill, against children the tests start."""
import os
import signal
import subprocess
import sys

import pytest

import lumenstat

SLEEPER = [sys.executable, "-c", "import time; print(flush=True); time.sleep(60)"]
MISSING = 4194304  # above the largest pid Linux hands out


def proc_io(pid):
    with open(f"/proc/{pid}/io") as f:
        return {k: int(v) for k, v in (line.split(":") for line in f)}


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def test_process_io_counts_disk_bytes_only():
    before = proc_io(os.getpid())
    io = lumenstat.get_process_io(os.getpid())
    after = proc_io(os.getpid())
    assert io.pid == os.getpid()
    assert before["read_bytes"] <= io.read_bytes <= after["read_bytes"]
    assert before["write_bytes"] <= io.write_bytes <= after["write_bytes"]
    assert (io.read_chars, io.write_chars, io.read_ops, io.write_ops) == (0, 0, 0, 0)
    assert not os.path.exists(f"/proc/{MISSING}")
    with pytest.raises(RuntimeError, match=rf"^ProcessNotFound\({MISSING}\)$"):
        lumenstat.get_process_io(MISSING)


def test_process_cpu_usage_of_a_spinning_and_a_sleeping_child(child):
    spinner = child([sys.executable, "-c", "while True: pass"])
    sleeper = child(SLEEPER, stdout=subprocess.PIPE)
    sleeper.stdout.readline()  # its start-up work is done
    assert lumenstat.get_process_cpu_usage(sleeper.pid, 300) < 5.0
    assert lumenstat.get_process_cpu_usage(pid=spinner.pid, sample_duration=0) == 0.0
    # The spinner's share depends on how busy the machine is; compare with its own ticks.
    ticks = os.sysconf("SC_CLK_TCK")
    before = cpu_ticks(spinner.pid)
    usage = lumenstat.get_process_cpu_usage(spinner.pid, None)
    spent = (cpu_ticks(spinner.pid) - before) / ticks
    assert usage > 0.0
    assert usage / 100.0 * 0.5 == pytest.approx(spent, abs=3 / ticks)


def test_kill_process_kills_then_reports_not_found_and_refuses_group_pids(child):
    victim = child(SLEEPER)
    assert lumenstat.kill_process(victim.pid) is None
    assert victim.wait(timeout=10) == -signal.SIGKILL
    # Pids that would signal a process group or every process are refused as absent.
    for pid in victim.pid, 0, 2**31, 2**32 - 2, 2**32 - 1:
        with pytest.raises(RuntimeError) as raised:
            lumenstat.kill_process(pid)
        assert str(raised.value) == f"kill_process: Process not found: pid {pid}"
