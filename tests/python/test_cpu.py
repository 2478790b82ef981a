"""CPU identity, tick counters and sampled usage, compared with /proc and psutil."""
import json
import os
import subprocess
import threading
import time

import pytest

import lumenstat


def proc_stat_cpus():
    with open("/proc/stat") as f:
        return [list(map(int, line.split()[1:])) for line in f
                if line.startswith("cpu") and line[3].isdigit()]


def cpuinfo_field(key):
    with open("/proc/cpuinfo") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name.strip() == key:
                return value.strip()
    return None


def test_cpu_info_matches_the_kernel():
    info = lumenstat.py_get_cpu_info()
    assert type(info).__name__ == "PyCpuInfo"
    assert info.logical_cores == os.cpu_count()
    assert 1 <= info.physical_cores <= info.logical_cores
    model = cpuinfo_field("model name")
    if model is not None:
        assert info.model_name == model
    vendor = cpuinfo_field("vendor_id")
    if vendor is not None:
        assert info.vendor == vendor
    mhz = cpuinfo_field("cpu MHz")
    if mhz is not None and not os.path.exists("/sys/devices/system/cpu/cpu0/cpufreq"):
        assert info.frequency_mhz == int(float(mhz))
    assert all(type(v) is int for v in (info.physical_cores, info.logical_cores, info.frequency_mhz))


def test_cpu_times_are_the_proc_stat_ticks_folded_into_four_states():
    before = proc_stat_cpus()
    times = lumenstat.py_get_cpu_times()
    after = proc_stat_cpus()
    assert len(times) == len(before) == os.cpu_count()
    for t, b, a in zip(times, before, after):
        # user nice system idle iowait irq softirq steal
        assert b[0] <= t.user <= a[0]
        assert b[1] <= t.nice <= a[1]
        assert sum(b[i] for i in (2, 5, 6, 7)) <= t.system <= sum(a[i] for i in (2, 5, 6, 7))
        assert b[3] + b[4] <= t.idle <= a[3] + a[4]
        assert t.iowait == 0


def test_cpu_times_fold_the_states_psutil_counts_as_busy_and_idle():
    """psutil's busy time is everything but idle and iowait; ours is everything but idle."""
    script = ("import psutil, json; print(json.dumps([t._asdict() "
              "for t in psutil.cpu_times(percpu=True)]))")
    before = lumenstat.py_get_cpu_times()
    theirs = json.loads(subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True,
                                       text=True, check=True).stdout)
    after = lumenstat.py_get_cpu_times()
    ticks = os.sysconf("SC_CLK_TCK")
    for b, p, a in zip(before, theirs, after):
        idle = round((p["idle"] + p["iowait"]) * ticks)
        busy = round((p["user"] + p["nice"] + p["system"] + p["irq"] + p["softirq"]
                      + p["steal"]) * ticks)
        assert b.idle - 1 <= idle <= a.idle + 1
        assert (b.user + b.system + b.nice) - 2 <= busy <= (a.user + a.system + a.nice) + 2


def test_cpu_usage_values_and_sampling_span():
    started = time.monotonic()
    usage = lumenstat.py_get_cpu_usage(None)
    assert time.monotonic() - started >= 0.5
    assert len(usage) == os.cpu_count()
    assert all(type(u) is float and 0.0 <= u <= 100.0 for u in usage)
    back_to_back = lumenstat.py_get_cpu_usage(0)
    assert len(back_to_back) == os.cpu_count()
    assert all(0.0 <= u <= 100.0 for u in back_to_back)
    assert lumenstat.py_get_cpu_usage(sample_duration=1) is not None


def test_cpu_usage_holds_the_interpreter_lock_while_sampling():
    stamps = [time.monotonic()]
    done = threading.Event()

    def sample():
        time.sleep(0.05)  # let the main thread start its loop first
        lumenstat.py_get_cpu_usage(400)
        done.set()

    worker = threading.Thread(target=sample)
    worker.start()
    while not done.is_set():
        stamps.append(time.monotonic())
        time.sleep(0.005)
    worker.join()
    # The main thread could not run for the whole sampling span.
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert max(gaps) >= 0.35


@pytest.mark.parametrize("call, exception, text", [
    (lambda: lumenstat.py_get_cpu_usage(), TypeError,
     "py_get_cpu_usage() missing 1 required positional argument: 'sample_duration'"),
    (lambda: lumenstat.py_get_cpu_usage(1.5), TypeError,
     "argument 'sample_duration': 'float' object cannot be interpreted as an integer"),
    (lambda: lumenstat.py_get_cpu_usage(-1), OverflowError, None),
    (lambda: lumenstat.py_get_cpu_usage(2**64), OverflowError, None),
])
def test_argument_errors(call, exception, text):
    with pytest.raises(exception) as raised:
        call()
    assert type(raised.value) is exception
    if text is not None:
        assert str(raised.value) == text
