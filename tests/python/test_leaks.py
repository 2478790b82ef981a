"""Every query called many times over: no descriptor, Python object or resident memory may grow."""
import os

import pytest

import lumenstat
from conftest import getters, resources


def snapshot_read_whole():
    s = lumenstat.PySystemSummary(0)
    return [getattr(s, name) for name in getters(lumenstat.PySystemSummary)] + [
        s.get_connection_by_state("LISTEN"), s.get_process_by_pid(os.getpid())]


# A Python object kept per call would grow the blocks by the number of calls, past the limit of
# 100; queries that read the process table are repeated less, as each costs as much as the
# machine has processes.
CALLS = {"py_get_memory_info": (lambda: lumenstat.py_get_memory_info().total, 2000),
         "get_process_by_pid": (lambda: lumenstat.get_process_by_pid(os.getpid()).command, 300),
         "get_processes": (lambda: [p.name for p in lumenstat.get_processes()], 300),
         "py_get_disks": (lumenstat.py_get_disks, 2000),
         "py_get_disk_io_stats": (lumenstat.py_get_disk_io_stats, 2000),
         "list_dir": (lambda: lumenstat.list_dir("/proc/self"), 2000),
         "list_dir_error": (lambda: pytest.raises(OSError, lumenstat.list_dir, "/nope"), 2000),
         "PySystemSummary": (snapshot_read_whole, 300)}


@pytest.mark.slow
@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_leak_nothing(name):
    function, calls = CALLS[name]
    for _ in range(50):
        function()
    blocks, fds, pages = resources()
    for _ in range(calls):
        function()
    blocks_after, fds_after, pages_after = resources()
    assert (fds_after, blocks_after - blocks < 100, pages_after - pages < 1024) == (fds, True, True)
