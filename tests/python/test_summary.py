"""PySystemSummary: one snapshot, read back through attributes and methods that build new objects."""
import json
import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

import lumenstat
from conftest import resources

ATTRIBUTES = ["memory", "cpu", "disks", "socket_summary", "connections", "process_count",
              "processes", "cpu_usage"]
# Each no-argument method and the attribute it answers like.
SAME_AS = {"get_connections": "connections", "get_processes": "processes",
           "get_process_count": "process_count", "get_cpu_usage": "cpu_usage",
           "get_cpu_info": "cpu", "get_memory_info": "memory", "get_disks": "disks",
           "get_socket_summary": "socket_summary"}


def fields(value):
    """Plain data of a result object or list, to compare values without identity."""
    if isinstance(value, list):
        return [fields(item) for item in value]
    if isinstance(value, (int, float, str)):
        return value
    return tuple(getattr(value, name) for name, kind in vars(type(value)).items()
                 if type(kind).__name__ == "getset_descriptor")


@pytest.fixture(scope="module")
def listener():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen()
        yield sock.getsockname()


@pytest.fixture(scope="module")
def snapshot(listener):
    time.sleep(1.05)  # past the socket listing's cache, so the listener is seen
    return lumenstat.PySystemSummary(0)


def test_class_surface():
    cls = lumenstat.PySystemSummary
    assert [name for name, v in vars(cls).items()
            if type(v).__name__ == "getset_descriptor"] == ATTRIBUTES
    methods = [name for name, v in vars(cls).items() if type(v).__name__ == "method_descriptor"]
    assert methods == ["get_connections", "get_processes", "get_process_count",
                       "get_process_by_pid", "get_connection_by_pid", "get_connection_by_inode",
                       "get_connection_by_local_addr", "get_connection_by_remote_addr",
                       "get_connection_by_state", "get_cpu_usage", "get_cpu_info",
                       "get_memory_info", "get_disks", "get_socket_summary"]
    assert cls.get_connections.__text_signature__ == "($self)"
    assert cls.get_connection_by_state.__text_signature__ == "($self, state)"
    assert cls.get_connections.__doc__ is None


def test_every_read_builds_new_objects(snapshot):
    for name in ATTRIBUTES:
        first, second = getattr(snapshot, name), getattr(snapshot, name)
        assert fields(first) == fields(second), name
        if not isinstance(first, int):
            assert first is not second, name
        if isinstance(first, list) and first and not isinstance(first[0], float):
            assert first[0] is not second[0], name
    for method, attribute in SAME_AS.items():
        assert fields(getattr(snapshot, method)()) == fields(getattr(snapshot, attribute)), method
    assert snapshot.connections[0] is not snapshot.get_connections()[0]
    assert snapshot.process_count == len(snapshot.processes) == snapshot.get_process_count()


def test_lookups_compare_exact_texts_and_numbers(snapshot, listener):
    connections = snapshot.connections
    listening = [fields(c) for c in connections if c.state == "LISTEN"]
    first_unconnected = next(c for c in connections if c.remote_addr == "127.0.0.1:0")
    first_mine = next(c for c in connections if c.pid == os.getpid())
    local = f"{listener[0]}:{listener[1]}"
    summary, states = snapshot.socket_summary, [c.state for c in connections]
    assert (summary.listen, summary.established) == (states.count("LISTEN"),
                                                     states.count("ESTABLISHED"))
    cases = [
        (snapshot.get_connection_by_local_addr(local),
         ("tcp", local, "127.0.0.1:0", "LISTEN", os.getpid(), 0)),
        (snapshot.get_connection_by_local_addr(local + "\x00"), None),
        (snapshot.get_connection_by_state("LISTEN"), listening),
        (snapshot.get_connection_by_state("listen"), []),
        (snapshot.get_connection_by_state("LI\x00STEN"), []),
        (snapshot.get_connection_by_local_addr("localhost:80"), None),
        (snapshot.get_connection_by_remote_addr("127.0.0.1:0"), fields(first_unconnected)),
        (snapshot.get_connection_by_inode(0), fields(connections[0])),
        (snapshot.get_connection_by_inode(2**64 - 1), None),
        (snapshot.get_connection_by_pid(os.getpid()), fields(first_mine)),
        (snapshot.get_connection_by_pid(pid=4294967295), None),
        (snapshot.get_process_by_pid(4294967295), None),
        (snapshot.get_process_by_pid(os.getpid()).pid, os.getpid()),
    ]
    for found, expected in cases:
        assert (fields(found) if found is not None else None) == expected


@pytest.mark.parametrize("call, text", [
    (lambda s: s.get_connection_by_state(),
     "PySystemSummary.get_connection_by_state() missing 1 required positional argument: 'state'"),
    (lambda s: s.get_connection_by_inode(1, inode=1),
     "PySystemSummary.get_connection_by_inode() got multiple values for argument 'inode'"),
    (lambda s: s.get_connection_by_local_addr(None),
     "argument 'local_addr': 'None' is not an instance of 'str'"),
])
def test_method_argument_errors(snapshot, call, text):
    with pytest.raises(TypeError) as raised:
        call(snapshot)
    assert str(raised.value) == text


def test_sample_duration():
    started = time.monotonic()
    lumenstat.PySystemSummary(None)
    assert time.monotonic() - started >= 0.45
    started = time.monotonic()
    assert len(lumenstat.PySystemSummary(sample_duration=0).cpu_usage) == os.cpu_count()
    assert time.monotonic() - started < 0.45


FAILING = """
import json, lumenstat
def error(call):
    try:
        call()
    except BaseException as e:
        return [type(e).__name__, type(e).__base__.__name__, str(e)]
print(json.dumps([error(lambda: lumenstat.PySystemSummary(0)), error(lumenstat.py_get_memory_info)]))
"""


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None,
                    reason="hiding /proc/meminfo takes root and a mount namespace")
def test_a_failed_query_raises_fatal_error():
    hide = 'mount --bind /dev/null /proc/meminfo && exec "$0" -c "$1"'
    done = subprocess.run(["unshare", "-m", "sh", "-c", hide, sys.executable, FAILING],
                          capture_output=True, text=True, timeout=60)
    summary, memory = json.loads(done.stdout)
    assert summary[:2] == ["FatalError", "BaseException"]
    assert summary[2] == "PySystemSummary failed: " + memory[2].split(" failed: ", 1)[1]


@pytest.mark.slow
def test_repeated_snapshots_leak_nothing():
    def one():
        s = lumenstat.PySystemSummary(0)
        for name in ATTRIBUTES:
            getattr(s, name)
        s.get_connection_by_state("LISTEN")
        s.get_process_by_pid(os.getpid())

    for _ in range(20):
        one()
    blocks, fds, pages = resources()
    for _ in range(1000):
        one()
    blocks_after, fds_after, pages_after = resources()
    assert fds_after == fds
    assert blocks_after - blocks < 100
    assert pages_after - pages < 1024  # 4 MiB
