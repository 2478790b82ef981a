import os
import subprocess
import sys
import time

import pytest


@pytest.fixture
def child():
    """Starts helper processes and makes sure none outlives the test."""
    started = []
    yield lambda argv, **kwargs: started.append(subprocess.Popen(argv, **kwargs)) or started[-1]
    for process in started:
        process.kill()
        process.wait()


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def proc_state(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        return f.read().rsplit(b")", 1)[1].split()[0].decode()


def resources():
    """What a leak would grow: Python memory blocks, descriptors, resident pages."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")), resident_pages
