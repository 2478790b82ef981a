"""The Prometheus metric families of one reading.

Names follow Prometheus's conventions: the prefix lumenstat_, base units (bytes, seconds), _total
on counters. What the system counts (CPU time, disk operations, bytes carried) is a counter, so
that rate() works; what it measures at the moment (memory, sizes, queues, counts) is a gauge.
Command lines are never a label: they may hold secrets.
"""

from __future__ import annotations

import collections
import os

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from .reading import Reading

PREFIX = "lumenstat_"
CLOCK_TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
NANOSECONDS_PER_SECOND = 1e9
CPU_MODES = ("user", "nice", "system", "idle")  # the module counts I/O wait as idle


def gauge(name, documentation, labels=(), unit=""):
    return GaugeMetricFamily(PREFIX + name, documentation, labels=list(labels), unit=unit)


def counter(name, documentation, labels=(), unit=""):
    return CounterMetricFamily(PREFIX + name, documentation, labels=list(labels), unit=unit)


def cpu_families(reading: Reading):
    seconds = counter("cpu_seconds", "Time each logical CPU spent in each mode since boot.",
                      ["cpu", "mode"], "seconds")
    for cpu, times in enumerate(reading.cpu_times):
        for mode in CPU_MODES:
            seconds.add_metric([str(cpu), mode], getattr(times, mode) / CLOCK_TICKS_PER_SECOND)
    return [seconds]


def memory_families(reading: Reading):
    memory = reading.summary.memory
    families = []
    for figure, documentation in [
            ("total", "Physical memory."),
            ("available", "Memory that programs can still take without swapping."),
            ("used", "Memory in use."),
            ("free", "Memory not used for anything.")]:
        family = gauge(f"memory_{figure}", documentation, unit="bytes")
        family.add_metric([], getattr(memory, figure))
        families.append(family)
    return families


def file_system_families(reading: Reading):
    labels = ["device", "mountpoint", "fstype"]
    size = gauge("filesystem_size", "Size of each mounted file system.", labels, "bytes")
    used = gauge("filesystem_used", "Blocks in use, the superuser's reserve included.", labels,
                 "bytes")
    available = gauge("filesystem_available",
                      "What an unprivileged user may still store on the file system.", labels,
                      "bytes")
    seen = set()
    for disk in reading.summary.disks:
        key = (disk.device, disk.mount_point, disk.fs_type)
        if key in seen:  # mounted twice on one point: the same file system, shown once
            continue
        seen.add(key)
        size.add_metric(key, disk.total_bytes)
        used.add_metric(key, disk.used_bytes)
        available.add_metric(key, disk.available_bytes)
    return [size, used, available]


def disk_families(reading: Reading):
    labels = ["device"]
    families = [
        (counter("disk_reads_completed", "Read operations of each storage driver.", labels),
         lambda d: d.reads),
        (counter("disk_writes_completed", "Write operations of each storage driver.", labels),
         lambda d: d.writes),
        (counter("disk_read", "Bytes read by each storage driver.", labels, "bytes"),
         lambda d: d.bytes_read),
        (counter("disk_written", "Bytes written by each storage driver.", labels, "bytes"),
         lambda d: d.bytes_written),
        # The module's *_time_ms figures carry nanoseconds, as the drivers count them.
        (counter("disk_read_time", "Time each storage driver spent reading.", labels, "seconds"),
         lambda d: d.read_time_ms / NANOSECONDS_PER_SECOND),
        (counter("disk_write_time", "Time each storage driver spent writing.", labels,
                 "seconds"), lambda d: d.write_time_ms / NANOSECONDS_PER_SECOND),
    ]
    for disk in reading.disk_io:
        for family, figure in families:
            family.add_metric([disk.device], figure(disk))
    return [family for family, _ in families]


def socket_families(connections, names: dict[int, str]):
    sockets = gauge("sockets", "TCP and UDP sockets of the machine by protocol and state.",
                    ["protocol", "state"])
    by_process = gauge("process_sockets",
                       "TCP and UDP sockets of each process holding any, by protocol and state.",
                       ["pid", "name", "protocol", "state"])
    counts = collections.Counter((c.pid, c.protocol, c.state) for c in connections)
    machine = collections.Counter()
    for (pid, protocol, state), count in sorted(counts.items()):
        machine[protocol, state] += count
        # A socket no process holds (pid 0, such as one in TIME_WAIT) counts for the machine only.
        if pid in names:
            by_process.add_metric([str(pid), names[pid], protocol, state], count)
    for (protocol, state), count in sorted(machine.items()):
        sockets.add_metric([protocol, state], count)
    return [sockets, by_process]


def process_families(processes, top: int):
    count = gauge("processes", "Processes on the machine.")
    count.add_metric([], len(processes))
    memory = gauge("process_memory", f"Memory used by the {top} processes using most.",
                   ["pid", "name"], "bytes")
    for process in sorted(processes, key=lambda p: p.memory_usage, reverse=True)[:top]:
        memory.add_metric([str(process.pid), process.name], process.memory_usage)
    return [count, memory]


def watched_process_families(reading: Reading):
    """The sockets of each process named with --process: a socket's labels are its process, its
    descriptor (which keeps two sockets with the same endpoints apart) and its endpoints."""
    socket_labels = ["pid", "name", "fd", "protocol", "local", "remote", "state"]
    queues = [
        (gauge("process_socket_receive_queue", "Bytes received and not yet read.",
               socket_labels, "bytes"), lambda q: q.recv_queue_bytes),
        (gauge("process_socket_send_queue", "Bytes written and not yet sent or acknowledged.",
               socket_labels, "bytes"), lambda q: q.send_queue_bytes),
        (gauge("process_socket_receive_buffer", "Size of the receive buffer.", socket_labels,
               "bytes"), lambda q: q.recv_queue_hiwat),
        (gauge("process_socket_send_buffer", "Size of the send buffer.", socket_labels,
               "bytes"), lambda q: q.send_queue_hiwat),
    ]
    connection_labels = ["pid", "name", "fd", "protocol", "local", "remote"]
    sent = counter("process_connection_sent", "Payload bytes sent on each TCP connection.",
                   connection_labels, "bytes")
    received = counter("process_connection_received",
                       "Payload bytes received on each TCP connection.", connection_labels,
                       "bytes")
    for process in reading.watched:
        owner = [str(process.pid), process.name]
        for q in process.queues:
            labels = owner + [str(q.fd), q.protocol, q.local_addr, q.remote_addr, q.state]
            for family, figure in queues:
                family.add_metric(labels, figure(q))
        for s in process.traffic:
            if s.remote_addr:  # a listener carries nothing
                labels = owner + [str(s.fd), s.protocol, s.local_addr, s.remote_addr]
                sent.add_metric(labels, s.bytes_sent)
                received.add_metric(labels, s.bytes_received)
    return [family for family, _ in queues] + [sent, received]


class ReadingCollector:
    """A collector of one reading, registered for the one request it answers."""

    def __init__(self, reading: Reading, top: int):
        self.reading = reading
        self.top = top

    def collect(self):
        reading = self.reading
        # Each read of a snapshot's list builds its objects anew: read each once.
        processes = reading.summary.processes
        yield from cpu_families(reading)
        yield from memory_families(reading)
        yield from file_system_families(reading)
        yield from disk_families(reading)
        yield from socket_families(reading.summary.connections,
                                   {p.pid: p.name for p in processes})
        yield from process_families(processes, self.top)
        yield from watched_process_families(reading)
