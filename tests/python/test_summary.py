"""PySystemSummary: one snapshot, read back through attributes and methods building new objects."""
import os

import lumenstat
from conftest import getters

ME = os.getpid()


def fields(value):
    """Plain data of a result object or list, to compare values without identity."""
    if isinstance(value, list):
        return [fields(item) for item in value]
    if value is None or isinstance(value, (int, float, str)):
        return value
    return tuple(getattr(value, name) for name in getters(type(value)))


def test_every_read_builds_new_objects_and_lookups_compare_exact_texts(listener):
    snapshot = lumenstat.PySystemSummary(sample_duration=0)
    for name in getters(lumenstat.PySystemSummary):
        first, second = getattr(snapshot, name), getattr(snapshot, name)
        assert fields(first) == fields(second), name
        if not isinstance(first, int):
            assert first is not second, name
        if isinstance(first, list) and first and not isinstance(first[0], float):
            assert first[0] is not second[0], name
    # Each method without arguments answers as its attribute: get_cpu_info() as cpu.
    methods = [m for m, f in vars(lumenstat.PySystemSummary).items()
               if getattr(f, "__text_signature__", None) == "($self)"]
    assert len(methods) == 8 and {m: fields(getattr(snapshot, m)()) for m in methods} == {
        m: fields(getattr(snapshot, m.removeprefix("get_").removesuffix("_info"))) for m in methods}

    # Texts are compared whole, a NUL included; the records each lookup picks are the core's.
    assert [fields(found) for found in (
        snapshot.get_connection_by_local_addr(listener),
        snapshot.get_connection_by_local_addr(listener + "\x00"),
        snapshot.get_connection_by_state("LI\x00STEN"), snapshot.get_connection_by_inode(2**64 - 1),
        snapshot.get_connection_by_pid(pid=4294967295), snapshot.get_process_by_pid(4294967295),
    )] + [snapshot.get_process_by_pid(ME).pid] == [
        ("tcp", listener, "127.0.0.1:0", "LISTEN", ME, 0), None, [], None, None, None, ME]
