"""PySystemSummary: one snapshot, read back through attributes and methods that build new objects."""
import os
import time

import pytest

import lumenstat
from conftest import getters

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
    return tuple(getattr(value, name) for name in getters(type(value)))


@pytest.fixture(scope="module")
def snapshot(listener):
    return lumenstat.PySystemSummary(0)


def test_every_read_builds_new_objects(snapshot):
    for name in getters(lumenstat.PySystemSummary):
        first, second = getattr(snapshot, name), getattr(snapshot, name)
        assert fields(first) == fields(second), name
        if not isinstance(first, int):
            assert first is not second, name
        if isinstance(first, list) and first and not isinstance(first[0], float):
            assert first[0] is not second[0], name
    for method, attribute in SAME_AS.items():
        assert fields(getattr(snapshot, method)()) == fields(getattr(snapshot, attribute)), method
    assert snapshot.connections[0] is not snapshot.get_connections()[0]


def test_lookups_compare_exact_texts_and_numbers(snapshot, listener):
    connections = snapshot.connections
    listening = [fields(c) for c in connections if c.state == "LISTEN"]
    first_unconnected = next(c for c in connections if c.remote_addr == "127.0.0.1:0")
    first_mine = next(c for c in connections if c.pid == os.getpid())
    summary, states = snapshot.socket_summary, [c.state for c in connections]
    assert (summary.listen, summary.established) == (states.count("LISTEN"),
                                                     states.count("ESTABLISHED"))
    cases = [
        (snapshot.get_connection_by_local_addr(listener),
         ("tcp", listener, "127.0.0.1:0", "LISTEN", os.getpid(), 0)),
        (snapshot.get_connection_by_local_addr(listener + "\x00"), None),
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


def test_sample_duration():
    started = time.monotonic()
    lumenstat.PySystemSummary(None)
    assert time.monotonic() - started >= 0.45
    started = time.monotonic()
    assert len(lumenstat.PySystemSummary(sample_duration=0).cpu_usage) == os.cpu_count()
    assert time.monotonic() - started < 0.45
