"""CPU identity, tick counters and sampled usage, compared with /proc."""
import os
import threading
import time

import lumenstat


def proc_stat_cpus():
    with open("/proc/stat") as f:
        return [list(map(int, line.split()[1:])) for line in f
                if line.startswith("cpu") and line[3].isdigit()]


def test_cpu_info_matches_the_kernel():
    fields = {}
    with open("/proc/cpuinfo") as f:
        for key, _, value in (line.partition(":") for line in f):
            fields.setdefault(key.strip(), value.strip())
    info = lumenstat.py_get_cpu_info()
    assert info.logical_cores == os.cpu_count()
    assert 1 <= info.physical_cores <= info.logical_cores
    assert info.model_name == fields.get("model name", info.model_name)
    assert info.vendor == fields.get("vendor_id", info.vendor)
    if "cpu MHz" in fields and not os.path.exists("/sys/devices/system/cpu/cpu0/cpufreq"):
        assert info.frequency_mhz == int(float(fields["cpu MHz"]))


def test_cpu_times_are_the_proc_stat_ticks_folded_into_four_states():
    before = proc_stat_cpus()
    times = lumenstat.py_get_cpu_times()
    after = proc_stat_cpus()
    assert len(times) == len(before) == os.cpu_count()
    # /proc/stat: user nice system idle iowait irq softirq steal
    fold = {"user": (0,), "nice": (1,), "system": (2, 5, 6, 7), "idle": (3, 4)}
    for t, b, a in zip(times, before, after):
        for state, columns in fold.items():
            assert sum(b[i] for i in columns) <= getattr(t, state) <= sum(a[i] for i in columns)
        assert t.iowait == 0


def test_cpu_usage_values_and_sampling_span():
    started = time.monotonic()
    default = lumenstat.py_get_cpu_usage(None)
    assert time.monotonic() - started >= 0.5
    keyword = lumenstat.py_get_cpu_usage(sample_duration=9)
    for usage in default, lumenstat.py_get_cpu_usage(0), keyword:
        assert len(usage) == os.cpu_count()
        assert all(type(u) is float and 0.0 <= u <= 100.0 for u in usage)


def test_cpu_usage_holds_the_interpreter_lock_while_sampling():
    stamps = [time.monotonic()]
    # The sampler starts once the main thread is in its loop.
    worker = threading.Timer(0.05, lumenstat.py_get_cpu_usage, (400,))
    worker.start()
    while worker.is_alive():
        stamps.append(time.monotonic())
        time.sleep(0.005)
    # The main thread could not run for the whole sampling span.
    assert max(b - a for a, b in zip(stamps, stamps[1:])) >= 0.35
