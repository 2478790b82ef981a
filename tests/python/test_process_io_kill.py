"""Per-process disk I/O, CPU usage and kill, against children the tests start."""
import os
import signal
import subprocess
import sys
import threading

import pytest

import lumenstat

SLEEPER = [sys.executable, "-c", "import time; time.sleep(60)"]
# Says so once its start-up work is done, then sleeps.
QUIET = [sys.executable, "-c", "import time; print(flush=True); time.sleep(60)"]
SPINNER = [sys.executable, "-c", "while True: pass"]


def proc_io(pid):
    with open(f"/proc/{pid}/io") as f:
        return {k: int(v) for k, v in (line.split(":") for line in f)}


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def missing_pid():
    pid = 4194304  # above the largest pid Linux hands out
    assert not os.path.exists(f"/proc/{pid}")
    return pid


def test_process_io_counts_disk_bytes_only(tmp_path):
    before = proc_io(os.getpid())
    io = lumenstat.get_process_io(os.getpid())
    after = proc_io(os.getpid())
    assert type(io).__name__ == "PyProcessIoInfo"
    assert io.pid == os.getpid()
    assert before["read_bytes"] <= io.read_bytes <= after["read_bytes"]
    assert before["write_bytes"] <= io.write_bytes <= after["write_bytes"]
    assert (io.read_chars, io.write_chars, io.read_ops, io.write_ops) == (0, 0, 0, 0)


def test_process_io_of_a_missing_process():
    pid = missing_pid()
    with pytest.raises(RuntimeError) as raised:
        lumenstat.get_process_io(pid)
    assert str(raised.value) == f"ProcessNotFound({pid})"


def test_process_cpu_usage_of_a_spinning_and_a_sleeping_child(child):
    spinner = child(SPINNER)
    sleeper = child(QUIET, stdout=subprocess.PIPE)
    sleeper.stdout.readline()
    assert lumenstat.get_process_cpu_usage(sleeper.pid, 300) < 5.0
    assert lumenstat.get_process_cpu_usage(pid=spinner.pid, sample_duration=0) == 0.0
    # The spinner's share depends on how busy the machine is; compare with its own ticks.
    ticks = os.sysconf("SC_CLK_TCK")
    before = cpu_ticks(spinner.pid)
    usage = lumenstat.get_process_cpu_usage(spinner.pid, None)
    spent = (cpu_ticks(spinner.pid) - before) / ticks
    assert usage > 0.0
    assert usage / 100.0 * 0.5 == pytest.approx(spent, abs=3 / ticks)


def test_process_that_exits_between_the_samples_is_not_found():
    exiting = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(0.2)"])
    # Reaped by a thread blocked in waitpid, which needs no interpreter lock to reap.
    reaper = threading.Thread(target=os.waitpid, args=(exiting.pid, 0))
    reaper.start()
    with pytest.raises(RuntimeError) as raised:
        lumenstat.get_process_cpu_usage(exiting.pid, 1500)
    reaper.join()
    exiting.returncode = 0
    assert str(raised.value) == f"ProcessNotFound({exiting.pid})"


def test_kill_process_kills_then_reports_not_found(child):
    victim = child(SLEEPER)
    assert lumenstat.kill_process(victim.pid) is None
    assert victim.wait(timeout=10) == -signal.SIGKILL
    with pytest.raises(RuntimeError) as raised:
        lumenstat.kill_process(victim.pid)
    assert str(raised.value) == f"kill_process: Process not found: pid {victim.pid}"


@pytest.mark.parametrize("pid", [0, 2**31, 2**32 - 2, 2**32 - 1])
def test_kill_process_refuses_group_and_broadcast_pids(pid):
    with pytest.raises(RuntimeError) as raised:
        lumenstat.kill_process(pid)
    assert str(raised.value) == f"kill_process: Process not found: pid {pid}"


@pytest.mark.parametrize("call, exception, text", [
    (lambda: lumenstat.get_process_cpu_usage(), TypeError,
     "get_process_cpu_usage() missing 2 required positional arguments: 'pid' and 'sample_duration'"),
    (lambda: lumenstat.get_process_cpu_usage(1), TypeError,
     "get_process_cpu_usage() missing 1 required positional argument: 'sample_duration'"),
    (lambda: lumenstat.get_process_cpu_usage(None, 0), TypeError, None),
    (lambda: lumenstat.get_process_cpu_usage(1, -5), OverflowError, None),
    (lambda: lumenstat.get_process_cpu_usage(1, 0.5), TypeError,
     "argument 'sample_duration': 'float' object cannot be interpreted as an integer"),
    (lambda: lumenstat.kill_process(), TypeError,
     "kill_process() missing 1 required positional argument: 'pid'"),
    (lambda: lumenstat.kill_process(pid=1, signal=9), TypeError,
     "kill_process() got an unexpected keyword argument 'signal'"),
])
def test_argument_errors(call, exception, text):
    with pytest.raises(exception) as raised:
        call()
    assert type(raised.value) is exception
    if text is not None:
        assert str(raised.value) == text
