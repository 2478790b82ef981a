import os
import subprocess
import sys
import time

import pytest


@pytest.fixture
def child():
    """Starts helper processes and makes sure none outlives the test."""
    started = []

    def start(argv, **kwargs):
        process = subprocess.Popen(argv, **kwargs)
        started.append(process)
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait()


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def proc_state(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        data = f.read()
    return data[data.rindex(b")") + 2 : data.rindex(b")") + 3].decode()


def resources():
    """What a leak would grow: Python memory blocks, descriptors, resident pages."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")), resident_pages
