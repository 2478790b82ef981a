"""Uses every name of lumenstat the way a typed program would; type-checked, never run."""
import os
from collections.abc import Callable

import lumenstat
from lumenstat import (
    PyChildProcessEvent, PyCpuInfo, PyCpuTimes, PyDirEntry, PyDiskInfo, PyDiskIoStats,
    PyMemoryInfo, PyProcessInfo, PyProcessIoInfo, PyProcessQueueTracker, PyProcessSocketTracker,
    PyProcessTracker, PySocketConnection, PySocketConnectionEvent, PySocketQueueInfo,
    PySocketStateSummary, PySocketStats, PySystemSummary,
)

names: list[str] = lumenstat.__all__


def memory(info: PyMemoryInfo) -> tuple[int, int, int, int, float]:
    return info.total, info.available, info.used, info.free, info.usage_percent


def cpu(info: PyCpuInfo, times: list[PyCpuTimes], usage: list[float]) -> str:
    t = times[0]
    ticks: int = t.user + t.system + t.idle + t.nice + t.iowait
    cores: int = info.physical_cores + info.logical_cores + info.frequency_mhz
    return f"{info.model_name} {info.vendor} {cores} {ticks} {max(usage)}"


def disk(d: PyDiskInfo, io: PyDiskIoStats) -> tuple[str, int, float]:
    text: str = d.device + d.mount_point + d.fs_type + io.device
    size: int = d.total_bytes + d.used_bytes + d.available_bytes
    counts: int = io.reads + io.writes + io.bytes_read + io.bytes_written
    times: int = io.read_time_ms + io.write_time_ms
    return text, size + counts + times, d.usage_percent


def entry(e: PyDirEntry) -> tuple[str, str, bool, int]:
    return e.name, e.path, e.is_dir, e.size


def sockets(summary: PySocketStateSummary, c: PySocketConnection) -> tuple[str, int]:
    counts: int = (summary.total + summary.established + summary.listen + summary.time_wait
                   + summary.close_wait)
    text: str = c.protocol + c.local_addr + c.remote_addr + c.state
    return text, counts + c.pid + c.inode


def per_process(q: PySocketQueueInfo, s: PySocketStats, io: PyProcessIoInfo) -> int:
    queue: int = (q.pid + q.fd + q.recv_queue_bytes + q.recv_queue_hiwat + q.send_queue_bytes
                  + q.send_queue_hiwat)
    text: str = q.protocol + q.local_addr + q.remote_addr + q.state
    text += s.protocol + s.local_addr + s.remote_addr
    traffic: int = s.pid + s.fd + s.bytes_sent + s.bytes_received
    done: int = (io.pid + io.read_bytes + io.write_bytes + io.read_chars + io.write_chars
                 + io.read_ops + io.write_ops)
    return queue + traffic + done + len(text)


def process(p: PyProcessInfo) -> str:
    return f"{p.pid} {p.name} {p.command} {p.status} {p.memory_usage}"


def snapshot(s: PySystemSummary, me: int) -> int:
    memory_total: int = s.memory.total + s.get_memory_info().total
    cores: int = s.cpu.logical_cores + s.get_cpu_info().logical_cores
    sizes: list[int] = [d.total_bytes for d in s.disks + s.get_disks()]
    socket_count: int = s.socket_summary.total + s.get_socket_summary().listen
    held: list[PySocketConnection] = s.connections + s.get_connections()
    held += s.get_connection_by_state("LISTEN")
    found: list[PySocketConnection | None] = [
        s.get_connection_by_pid(me), s.get_connection_by_inode(0),
        s.get_connection_by_local_addr("127.0.0.1:80"),
        s.get_connection_by_remote_addr("[::1]:80"),
    ]
    processes: list[PyProcessInfo] = s.processes + s.get_processes()
    mine: PyProcessInfo | None = s.get_process_by_pid(me)
    usage: list[float] = s.cpu_usage + s.get_cpu_usage()
    count: int = s.process_count + s.get_process_count() + len(processes) + len(found)
    return (memory_total + cores + sum(sizes) + socket_count + len(held) + count + len(usage)
            + (mine.pid if mine is not None else 0))


def storage(path: str) -> int:
    disks: list[PyDiskInfo] = lumenstat.py_get_disks()
    drivers: list[PyDiskIoStats] = lumenstat.py_get_disk_io_stats()
    entries: list[PyDirEntry] = lumenstat.list_dir(path)
    return sum(disk(d, drivers[0])[1] for d in disks) + sum(entry(e)[3] for e in entries)


def events(child: PyChildProcessEvent, sock: PySocketConnectionEvent) -> list[str]:
    numbers: int = child.pid + child.ppid + child.start_time + sock.pid + sock.inode
    return child.cmdline + [child.name, child.exe_path, sock.protocol, sock.local_addr,
                            sock.remote_addr, sock.state, str(numbers)]


def trackers(pid: int) -> None:
    children: PyProcessTracker = lumenstat.start_tracking_children(
        pid, lambda event: print(event["pid"], event["ppid"], event["cmdline"][0]))
    sockets: PyProcessSocketTracker = lumenstat.start_tracking_sockets(
        pid, lambda event: print(event["local_addr"], event["state"], event["inode"]))
    queues: PyProcessQueueTracker = lumenstat.start_tracking_queues(
        pid, lambda infos: print(sum(q.recv_queue_bytes for q in infos)))
    children.stop()
    sockets.stop()
    queues.stop()


def main() -> None:
    me = os.getpid()
    print(memory(lumenstat.py_get_memory_info()))
    print(cpu(lumenstat.py_get_cpu_info(), lumenstat.py_get_cpu_times(),
              lumenstat.py_get_cpu_usage(None) + lumenstat.py_get_cpu_usage(100)))
    summary = lumenstat.py_get_socket_summary()
    for c in lumenstat.get_connections() + lumenstat.get_tcp_connections():
        print(sockets(summary, c))
    listeners: list[PySocketConnection] = lumenstat.get_connection_by_state("listen")
    listeners += lumenstat.get_udp_sockets()
    found: list[PySocketConnection | None] = [
        lumenstat.get_connection_by_pid(me), lumenstat.get_connection_by_inode(0),
        lumenstat.get_connection_by_local_addr("127.0.0.1:80"),
        lumenstat.get_connection_by_remote_addr("[::1]:80"),
    ]
    count: int = lumenstat.get_process_count() + len(lumenstat.get_processes()) + len(found)
    mine = lumenstat.get_process_by_pid(me)
    if mine is not None:
        print(process(mine), count)
    percent: float = lumenstat.get_process_cpu_usage(me, 0)
    io = lumenstat.get_process_io(me)
    print(io.read_bytes)
    for q in lumenstat.get_process_socket_queues(me):
        print(percent, q.fd)
    for traffic in lumenstat.get_process_socket_stats(me):
        print(per_process(lumenstat.get_process_socket_queues(me)[0], traffic, io))
    lumenstat.kill_process(2**31 - 1)
    make: Callable[[int | None], PySystemSummary] = lumenstat.PySystemSummary
    print(snapshot(lumenstat.PySystemSummary(100), me), storage("/"))
    trackers(me)
    print(make, names, listeners, entry, disk, events)


if __name__ == "__main__":
    main()
