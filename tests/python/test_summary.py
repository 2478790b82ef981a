"""PySystemSummary: one snapshot, read back through attributes and methods that build new objects."""
import os
import time

import lumenstat
from conftest import getters

ME = os.getpid()
# Each no-argument method and the attribute it answers like.
SAME_AS = {"get_connections": "connections", "get_processes": "processes",
           "get_process_count": "process_count", "get_cpu_usage": "cpu_usage",
           "get_cpu_info": "cpu", "get_memory_info": "memory", "get_disks": "disks",
           "get_socket_summary": "socket_summary"}


def fields(value):
    """Plain data of a result object or list, to compare values without identity."""
    if isinstance(value, list):
        return [fields(item) for item in value]
    if value is None or isinstance(value, (int, float, str)):
        return value
    return tuple(getattr(value, name) for name in getters(type(value)))


def test_every_read_builds_new_objects_and_lookups_compare_exact_texts(listener):
    started = time.monotonic()
    snapshot = lumenstat.PySystemSummary(sample_duration=0)
    assert time.monotonic() - started < 0.45  # no sampling wait
    assert len(snapshot.cpu_usage) == os.cpu_count()
    for name in getters(lumenstat.PySystemSummary):
        first, second = getattr(snapshot, name), getattr(snapshot, name)
        assert fields(first) == fields(second), name
        if not isinstance(first, int):
            assert first is not second, name
        if isinstance(first, list) and first and not isinstance(first[0], float):
            assert first[0] is not second[0], name
    for method, attribute in SAME_AS.items():
        assert fields(getattr(snapshot, method)()) == fields(getattr(snapshot, attribute)), method

    connections = snapshot.connections
    states = [c.state for c in connections]
    assert (snapshot.socket_summary.listen, snapshot.socket_summary.established) == (
        states.count("LISTEN"), states.count("ESTABLISHED"))
    cases = [
        (snapshot.get_connection_by_local_addr(listener),
         ("tcp", listener, "127.0.0.1:0", "LISTEN", ME, 0)),
        (snapshot.get_connection_by_local_addr(listener + "\x00"), None),
        (snapshot.get_connection_by_state("LISTEN"),
         [fields(c) for c in connections if c.state == "LISTEN"]),
        (snapshot.get_connection_by_state("LI\x00STEN"), []),
        (snapshot.get_connection_by_remote_addr("127.0.0.1:0"),
         fields(next(c for c in connections if c.remote_addr == "127.0.0.1:0"))),
        (snapshot.get_connection_by_inode(0), fields(connections[0])),
        (snapshot.get_connection_by_inode(2**64 - 1), None),
        (snapshot.get_connection_by_pid(ME), fields(next(c for c in connections if c.pid == ME))),
        (snapshot.get_connection_by_pid(pid=4294967295), None),
        (snapshot.get_process_by_pid(4294967295), None),
        (snapshot.get_process_by_pid(ME).pid, ME),
    ]
    for found, expected in cases:
        assert fields(found) == expected


def test_sample_duration_none_samples_half_a_second():
    started = time.monotonic()
    lumenstat.PySystemSummary(None)
    assert time.monotonic() - started >= 0.45
