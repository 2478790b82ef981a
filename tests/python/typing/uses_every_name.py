"""Calls every function and method of lumenstat as a typed program would, each result kept under
its own type; type-checked, never run. What each attribute holds is checked against the stubs at
run time (test_stubs.py)."""
from collections.abc import Callable

import lumenstat
from lumenstat import (
    PyChildProcessEvent, PyCpuInfo, PyCpuTimes, PyDirEntry, PyDiskInfo, PyDiskIoStats,
    PyMemoryInfo, PyProcessInfo, PyProcessIoInfo, PyProcessQueueTracker, PyProcessSocketTracker,
    PyProcessTracker, PySocketConnection, PySocketConnectionEvent, PySocketQueueInfo,
    PySocketStateSummary, PySocketStats, PySystemSummary,
)

names: list[str] = lumenstat.__all__


def events(child: PyChildProcessEvent, sock: PySocketConnectionEvent) -> list[str]:
    numbers: int = child.pid + child.ppid + child.start_time + sock.pid + sock.inode
    return child.cmdline + [child.name, child.exe_path, sock.state, str(numbers)]


def calls(me: int, s: PySystemSummary) -> list[object]:
    memory: list[PyMemoryInfo] = [lumenstat.py_get_memory_info(), s.memory, s.get_memory_info()]
    cpu: list[PyCpuInfo] = [lumenstat.py_get_cpu_info(), s.cpu, s.get_cpu_info()]
    times: list[PyCpuTimes] = lumenstat.py_get_cpu_times()
    usage: list[float] = lumenstat.py_get_cpu_usage(None) + lumenstat.py_get_cpu_usage(100)
    usage += s.cpu_usage + s.get_cpu_usage() + [lumenstat.get_process_cpu_usage(me, 0)]
    disks: list[PyDiskInfo] = lumenstat.py_get_disks() + s.disks + s.get_disks()
    drivers: list[PyDiskIoStats] = lumenstat.py_get_disk_io_stats()
    entries: list[PyDirEntry] = lumenstat.list_dir(path="/")
    summary: list[PySocketStateSummary] = [lumenstat.py_get_socket_summary(), s.socket_summary,
                                           s.get_socket_summary()]
    held: list[PySocketConnection] = lumenstat.get_connections() + lumenstat.get_tcp_connections()
    held += lumenstat.get_udp_sockets() + lumenstat.get_connection_by_state("listen")
    held += s.connections + s.get_connections() + s.get_connection_by_state("LISTEN")
    found: list[PySocketConnection | None] = [
        lumenstat.get_connection_by_pid(me), lumenstat.get_connection_by_inode(0),
        lumenstat.get_connection_by_local_addr("127.0.0.1:80"),
        lumenstat.get_connection_by_remote_addr("[::1]:80"), s.get_connection_by_pid(me),
        s.get_connection_by_inode(0), s.get_connection_by_local_addr("127.0.0.1:80"),
        s.get_connection_by_remote_addr("[::1]:80")]
    processes: list[PyProcessInfo | None] = [lumenstat.get_process_by_pid(me),
                                             s.get_process_by_pid(me)]
    processes += lumenstat.get_processes() + s.processes + s.get_processes()
    count: int = lumenstat.get_process_count() + s.process_count + s.get_process_count()
    io: PyProcessIoInfo = lumenstat.get_process_io(me)
    queues: list[PySocketQueueInfo] = lumenstat.get_process_socket_queues(me)
    traffic: list[PySocketStats] = lumenstat.get_process_socket_stats(me)
    lumenstat.kill_process(2**31 - 1)
    children: PyProcessTracker = lumenstat.start_tracking_children(
        me, lambda event: print(event["pid"], event["ppid"], event["cmdline"][0]))
    sockets: PyProcessSocketTracker = lumenstat.start_tracking_sockets(
        me, lambda event: print(event["local_addr"], event["state"], event["inode"]))
    queue_tracker: PyProcessQueueTracker = lumenstat.start_tracking_queues(
        me, lambda infos: print(sum(q.recv_queue_bytes for q in infos)))
    children.stop()
    sockets.stop()
    queue_tracker.stop()
    make: Callable[[int | None], PySystemSummary] = lumenstat.PySystemSummary
    return [memory, cpu, times, usage, disks, drivers, entries, summary, held, found, processes,
            count, io, queues, traffic, make, names, events]
