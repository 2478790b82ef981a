"""The module as Python sees it: names, classes, functions and the argument rules."""
import os

import pytest

import lumenstat

CLASSES = [
    "PySystemSummary", "PyMemoryInfo", "PyCpuInfo", "PyDiskInfo", "PySocketStateSummary",
    "PySocketConnection", "PyProcessInfo", "PyDirEntry", "PyChildProcessEvent", "PyProcessTracker",
    "PyCpuTimes", "PyDiskIoStats", "PyProcessIoInfo", "PySocketStats", "PySocketQueueInfo",
    "PySocketConnectionEvent", "PyProcessSocketTracker", "PyProcessQueueTracker",
]
FUNCTIONS = [
    "py_get_cpu_usage", "py_get_cpu_info", "py_get_cpu_times", "py_get_memory_info",
    "py_get_disks", "py_get_disk_io_stats", "py_get_socket_summary", "get_connections",
    "get_tcp_connections", "get_udp_sockets", "get_processes", "get_process_count",
    "get_process_by_pid", "get_process_io", "get_process_cpu_usage", "get_process_socket_stats",
    "get_process_socket_queues", "get_connection_by_pid", "get_connection_by_inode",
    "get_connection_by_local_addr", "get_connection_by_remote_addr", "get_connection_by_state",
    "list_dir", "kill_process", "start_tracking_children", "start_tracking_sockets",
    "start_tracking_queues",
]
ATTRIBUTES = {
    "PyCpuInfo": ["physical_cores", "logical_cores", "model_name", "vendor", "frequency_mhz"],
    "PyCpuTimes": ["user", "system", "idle", "nice", "iowait"],
    "PyMemoryInfo": ["total", "available", "used", "free", "usage_percent"],
    "PyDiskInfo": ["device", "mount_point", "fs_type", "total_bytes", "used_bytes",
                   "available_bytes", "usage_percent"],
    "PyDiskIoStats": ["device", "reads", "writes", "bytes_read", "bytes_written",
                      "read_time_ms", "write_time_ms"],
    "PyDirEntry": ["name", "path", "is_dir", "size"],
    "PyProcessInfo": ["pid", "name", "command", "status", "memory_usage"],
    "PyProcessIoInfo": ["pid", "read_bytes", "write_bytes", "read_chars", "write_chars",
                        "read_ops", "write_ops"],
    "PySocketConnection": ["protocol", "local_addr", "remote_addr", "state", "pid", "inode"],
    "PySocketStateSummary": ["total", "established", "listen", "time_wait", "close_wait"],
    "PySocketQueueInfo": ["pid", "fd", "protocol", "local_addr", "remote_addr", "state",
                          "recv_queue_bytes", "recv_queue_hiwat", "send_queue_bytes",
                          "send_queue_hiwat"],
    "PySocketStats": ["pid", "fd", "protocol", "local_addr", "remote_addr", "bytes_sent",
                      "bytes_received"],
    "PyChildProcessEvent": ["pid", "ppid", "name", "cmdline", "exe_path", "start_time"],
    "PySocketConnectionEvent": ["protocol", "local_addr", "remote_addr", "state", "pid", "inode"],
}


def test_all_lists_classes_then_functions_in_registration_order():
    names = lumenstat.__all__
    assert isinstance(names, list)
    assert names[:18] == CLASSES
    registered = [name for name in FUNCTIONS if hasattr(lumenstat, name)]
    assert names[18:] == registered
    for name in names:
        assert getattr(lumenstat, name) is not None
    assert lumenstat.__doc__ == ""


def test_every_class_shares_the_result_class_behaviour():
    for name in CLASSES:
        cls = getattr(lumenstat, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name and cls.__qualname__ == name
        assert cls.__base__ is object
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        if name != "PySystemSummary":
            with pytest.raises(TypeError):
                cls()
    for name, attributes in ATTRIBUTES.items():
        cls = getattr(lumenstat, name)
        declared = [key for key, value in vars(cls).items()
                    if type(value).__name__ == "getset_descriptor"]
        assert declared == attributes, name
    assert lumenstat.PySystemSummary.__text_signature__ == "(sample_duration)"
    assert lumenstat.PyProcessInfo.__doc__ is None


def test_instances_are_read_only_and_build_values_per_read():
    info = lumenstat.get_process_by_pid(os.getpid())
    with pytest.raises(AttributeError):
        info.pid = 5
    with pytest.raises(AttributeError):
        del info.name
    with pytest.raises(AttributeError):
        info.foo = 1
    assert not hasattr(info, "__dict__")
    first, second = info.name, info.name
    assert first == second
    assert repr(info).startswith("<builtins.PyProcessInfo object at 0x")
    assert info == info and info != lumenstat.get_process_by_pid(os.getpid())


def test_function_objects_carry_only_a_text_signature():
    for name in lumenstat.__all__[18:]:
        function = getattr(lumenstat, name)
        assert function.__name__ == name
        assert function.__doc__ is None
        assert function.__self__ is None
        assert function.__module__ is None
    assert lumenstat.get_process_by_pid.__text_signature__ == "(pid)"
    assert lumenstat.get_processes.__text_signature__ == "()"


@pytest.mark.parametrize("call, exception, text", [
    (lambda f: f(), TypeError, "get_process_by_pid() missing 1 required positional argument: 'pid'"),
    (lambda f: f(1, 2), TypeError, "get_process_by_pid() takes 1 positional arguments but 2 were given"),
    (lambda f: f(1, pid=1), TypeError, "get_process_by_pid() got multiple values for argument 'pid'"),
    (lambda f: f(p=1), TypeError, "get_process_by_pid() got an unexpected keyword argument 'p'"),
    (lambda f: f(-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda f: f(4294967296), OverflowError, "out of range integral type conversion attempted"),
    (lambda f: f(2**70), OverflowError, None),
    (lambda f: f("1"), TypeError, "argument 'pid': 'str' object cannot be interpreted as an integer"),
    (lambda f: f(1.0), TypeError, "argument 'pid': 'float' object cannot be interpreted as an integer"),
    (lambda f: f(None), TypeError, None),
])
def test_pid_argument_errors(call, exception, text):
    with pytest.raises(exception) as raised:
        call(lumenstat.get_process_by_pid)
    assert type(raised.value) is exception
    if text is not None:
        assert str(raised.value) == text
    elif exception is TypeError:
        assert str(raised.value).startswith("argument 'pid': ")


def test_pid_accepts_index_objects_and_the_whole_unsigned_range():
    class Index:
        def __index__(self):
            return os.getpid()

    assert lumenstat.get_process_by_pid(Index()).pid == os.getpid()
    assert lumenstat.get_process_by_pid(pid=os.getpid()).pid == os.getpid()
    assert lumenstat.get_process_by_pid(4294967295) is None
    assert lumenstat.get_process_by_pid(True).pid == 1


def test_an_index_method_that_raises_passes_its_exception_through():
    class Broken:
        def __index__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        lumenstat.get_process_by_pid(Broken())


def test_functions_without_parameters_reject_arguments():
    with pytest.raises(TypeError, match=r"get_processes\(\) takes no arguments \(1 given\)"):
        lumenstat.get_processes(1)
    with pytest.raises(TypeError):
        lumenstat.py_get_memory_info(x=1)
