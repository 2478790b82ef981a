"""The module as Python sees it: names, classes, functions and the argument rules."""
import os

import pytest

import lumenstat

CLASSES = """PySystemSummary PyMemoryInfo PyCpuInfo PyDiskInfo PySocketStateSummary
    PySocketConnection PyProcessInfo PyDirEntry PyChildProcessEvent PyProcessTracker PyCpuTimes
    PyDiskIoStats PyProcessIoInfo PySocketStats PySocketQueueInfo PySocketConnectionEvent
    PyProcessSocketTracker PyProcessQueueTracker""".split()
FUNCTIONS = """py_get_cpu_usage py_get_cpu_info py_get_cpu_times py_get_memory_info py_get_disks
    py_get_disk_io_stats py_get_socket_summary get_connections get_tcp_connections get_udp_sockets
    get_processes get_process_count get_process_by_pid get_process_io get_process_cpu_usage
    get_process_socket_stats get_process_socket_queues get_connection_by_pid
    get_connection_by_inode get_connection_by_local_addr get_connection_by_remote_addr
    get_connection_by_state list_dir kill_process start_tracking_children start_tracking_sockets
    start_tracking_queues""".split()
# The attributes of the classes no other test here reads, in declaration order.
ATTRIBUTES = [line.split() for line in """
    PyDiskInfo device mount_point fs_type total_bytes used_bytes available_bytes usage_percent
    PyDiskIoStats device reads writes bytes_read bytes_written read_time_ms write_time_ms
    PyDirEntry name path is_dir size
    PySocketStats pid fd protocol local_addr remote_addr bytes_sent bytes_received
    PyChildProcessEvent pid ppid name cmdline exe_path start_time
    PySocketConnectionEvent protocol local_addr remote_addr state pid inode
""".strip().splitlines()]


def test_names_classes_and_functions():
    assert lumenstat.__doc__ == ""
    assert lumenstat.__all__ == CLASSES + [f for f in FUNCTIONS if hasattr(lumenstat, f)]
    for name in CLASSES:
        cls = getattr(lumenstat, name)
        assert (cls.__module__, cls.__qualname__, cls.__base__) == ("builtins", name, object)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        if name != "PySystemSummary":
            with pytest.raises(TypeError):
                cls()
    for name, *attributes in ATTRIBUTES:
        assert [key for key, value in vars(getattr(lumenstat, name)).items()
                if type(value).__name__ == "getset_descriptor"] == attributes, name
    assert lumenstat.PySystemSummary.__text_signature__ == "(sample_duration)"
    assert lumenstat.PyProcessInfo.__doc__ is None
    for name in lumenstat.__all__[len(CLASSES):]:
        function = getattr(lumenstat, name)
        assert (function.__name__, function.__doc__, function.__self__,
                function.__module__) == (name, None, None, None)
    assert lumenstat.get_process_by_pid.__text_signature__ == "(pid)"
    assert lumenstat.get_processes.__text_signature__ == "()"


def test_instances_are_read_only_and_build_values_per_read():
    info = lumenstat.get_process_by_pid(os.getpid())
    for change in (lambda: setattr(info, "pid", 5), lambda: delattr(info, "name"),
                   lambda: setattr(info, "foo", 1)):
        with pytest.raises(AttributeError):
            change()
    assert info.name == info.name
    assert repr(info).startswith("<builtins.PyProcessInfo object at 0x")
    assert info == info and info != lumenstat.get_process_by_pid(os.getpid())


def test_pid_accepts_index_objects_and_the_whole_unsigned_range():
    class Index:
        def __index__(self):
            return os.getpid()

    class Broken:
        def __index__(self):
            raise KeyError("nope")

    assert lumenstat.get_process_by_pid(Index()).pid == os.getpid()
    assert lumenstat.get_process_by_pid(pid=os.getpid()).pid == os.getpid()
    assert lumenstat.get_process_by_pid(True).pid == 1
    assert lumenstat.get_process_by_pid(4294967295) is None
    with pytest.raises(KeyError):
        lumenstat.get_process_by_pid(Broken())


RANGE = "out of range integral type conversion attempted"
NOT_INT = "argument '{}': '{}' object cannot be interpreted as an integer"


@pytest.mark.parametrize("function, args, kwargs, exception, text", [
    ("get_process_by_pid", (), {}, TypeError,
     "get_process_by_pid() missing 1 required positional argument: 'pid'"),
    ("get_process_by_pid", (1, 2), {}, TypeError,
     "get_process_by_pid() takes 1 positional arguments but 2 were given"),
    ("get_process_by_pid", (1,), {"pid": 1}, TypeError,
     "get_process_by_pid() got multiple values for argument 'pid'"),
    ("get_process_by_pid", (), {"p": 1}, TypeError,
     "get_process_by_pid() got an unexpected keyword argument 'p'"),
    ("get_process_by_pid", (-1,), {}, OverflowError, RANGE),
    ("get_process_by_pid", (4294967296,), {}, OverflowError, RANGE),
    ("get_process_by_pid", (2**70,), {}, OverflowError, None),
    ("get_process_by_pid", ("1",), {}, TypeError, NOT_INT.format("pid", "str")),
    ("get_process_by_pid", (1.0,), {}, TypeError, NOT_INT.format("pid", "float")),
    ("get_process_by_pid", (None,), {}, TypeError, NOT_INT.format("pid", "NoneType")),
    ("get_processes", (1,), {}, TypeError, "get_processes() takes no arguments (1 given)"),
    ("py_get_memory_info", (), {"x": 1}, TypeError, None),
    ("py_get_cpu_usage", (1.5,), {}, TypeError, NOT_INT.format("sample_duration", "float")),
    ("py_get_cpu_usage", (-1,), {}, OverflowError, None),
    ("py_get_cpu_usage", (2**64,), {}, OverflowError, None),
    ("get_process_cpu_usage", (), {}, TypeError, "get_process_cpu_usage() missing 2 required "
     "positional arguments: 'pid' and 'sample_duration'"),
])
def test_argument_errors(function, args, kwargs, exception, text):
    with pytest.raises(exception) as raised:
        getattr(lumenstat, function)(*args, **kwargs)
    assert type(raised.value) is exception
    assert text is None or str(raised.value) == text
