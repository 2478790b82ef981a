import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

# Tests end the programs they start with SIGINT. A shell without job control starts its
# background commands with SIGINT ignored, and the programs started from them would inherit
# that; a handler of our own is reset to the default action in every program started.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def child():
    """Starts helper processes and makes sure none outlives the test."""
    started = []
    yield lambda argv, **kwargs: started.append(subprocess.Popen(argv, **kwargs)) or started[-1]
    for process in started:
        process.kill()
        process.wait()


@pytest.fixture(scope="session")
def listener():
    """A loopback TCP listener of this process, as "127.0.0.1:PORT", that listings show."""
    with socket.create_server(("127.0.0.1", 0)) as sock:
        time.sleep(1.05)  # past the socket listing's cache
        yield "127.0.0.1:%d" % sock.getsockname()[1]


def address_text(address):
    """A socket address tuple as the module writes it: "[::1]:80", "127.0.0.1:80"."""
    host, port = address[:2]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def getters(cls):
    """The attribute names of a result class, in declaration order."""
    return [name for name, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def resources():
    """What a leak would grow: Python memory blocks, descriptors, resident pages."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")), resident_pages


@pytest.fixture(scope="session")
def failing_new(tmp_path_factory):
    """An environment whose Python processes preload a library that makes operator new fail on
    the threads that ask it to (see tests/support/failing_new.cpp)."""
    if sys.executable.endswith("-sanitized"):
        pytest.skip("the sanitizer's operator new comes before any preloaded one")
    library = tmp_path_factory.mktemp("failing_new") / "failing_new.so"
    subprocess.run(["c++", "-shared", "-fPIC", "-O2", "-o", library,
                    Path(__file__).parents[1] / "support" / "failing_new.cpp"], check=True)
    return dict(os.environ, LD_PRELOAD=str(library))
