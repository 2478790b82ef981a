"""CPU identity, tick counters and sampled usage, compared with /proc."""
import os
import threading
import time

import lumenstat


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


def test_cpu_usage_samples_its_span_holding_the_interpreter_lock():
    stamps, usage = [time.monotonic()], []
    # The sampler (the default span, 500 ms) starts once the main thread is in its loop.
    worker = threading.Timer(0.05, lambda: usage.append(lumenstat.py_get_cpu_usage(None)))
    worker.start()
    while worker.is_alive():
        stamps.append(time.monotonic())
        time.sleep(0.005)
    # The main thread could not run for the whole sampling span.
    assert max(b - a for a, b in zip(stamps, stamps[1:])) >= 0.45
    for sample in usage + [lumenstat.py_get_cpu_usage(0), lumenstat.py_get_cpu_usage(
            sample_duration=9)]:
        assert len(sample) == os.cpu_count()
        assert all(type(u) is float and 0.0 <= u <= 100.0 for u in sample)
