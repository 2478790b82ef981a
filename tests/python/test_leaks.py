"""Every query called many times over: no descriptor, Python object or resident memory may grow."""
import os

import pytest

import lumenstat
from conftest import getters, resources


def snapshot_read_whole():
    s = lumenstat.PySystemSummary(0)
    for name in getters(lumenstat.PySystemSummary):
        getattr(s, name)
    s.get_connection_by_state("LISTEN")
    s.get_process_by_pid(os.getpid())


# A Python object kept per call would grow the blocks by the number of calls, past the limit of
# 100; queries that read the process table are repeated less, as each costs as much as the
# machine has processes.
@pytest.mark.slow
@pytest.mark.parametrize("function, calls", [
    (lambda: lumenstat.py_get_memory_info().total, 2000),
    (lambda: lumenstat.get_process_by_pid(os.getpid()).command, 300),
    (lambda: [p.name for p in lumenstat.get_processes()], 300),
    (lambda: lumenstat.py_get_disks(), 2000),
    (lambda: lumenstat.py_get_disk_io_stats(), 2000),
    (lambda: lumenstat.list_dir("/proc/self"), 2000),
    (lambda: pytest.raises(OSError, lumenstat.list_dir, "/nope"), 2000),
    (snapshot_read_whole, 300),
], ids=["py_get_memory_info", "get_process_by_pid", "get_processes", "py_get_disks",
        "py_get_disk_io_stats", "list_dir", "list_dir_error", "PySystemSummary"])
def test_repeated_calls_leak_nothing(function, calls):
    for _ in range(50):
        function()
    blocks, fds, pages = resources()
    for _ in range(calls):
        function()
    blocks_after, fds_after, pages_after = resources()
    assert fds_after == fds
    assert blocks_after - blocks < 100
    assert pages_after - pages < 1024  # 4 MiB
