"""One reading of the machine per request, shared by the requests that arrive while it is taken."""

from __future__ import annotations

import dataclasses
import threading
import time
from collections.abc import Callable, Sequence

import lumenstat


@dataclasses.dataclass(frozen=True)
class WatchedProcess:
    """A process named with --process, as found in the reading."""

    pid: int
    name: str
    queues: list  # PySocketQueueInfo
    traffic: list  # PySocketStats


@dataclasses.dataclass(frozen=True)
class Reading:
    summary: lumenstat.PySystemSummary
    cpu_times: list  # PyCpuTimes, one per logical CPU
    disk_io: list  # PyDiskIoStats
    watched: list[WatchedProcess]
    taken_at: float  # seconds since the epoch


def read_machine(take_summary: Callable[[int], lumenstat.PySystemSummary],
                 watched_pids: Sequence[int]) -> Reading:
    """Everything a request is answered from. The snapshot samples the CPU over no time at all:
    CPU figures are served as the cumulative times, and a request never waits for a sample."""
    taken_at = time.time()
    summary = take_summary(0)
    cpu_times = lumenstat.py_get_cpu_times()
    disk_io = lumenstat.py_get_disk_io_stats()
    watched = []
    if watched_pids:
        names = {p.pid: p.name for p in summary.processes}
        # A watched process that has gone has no series, and is not asked about.
        watched = [WatchedProcess(pid, names[pid], lumenstat.get_process_socket_queues(pid),
                                  lumenstat.get_process_socket_stats(pid))
                   for pid in watched_pids if pid in names]
    return Reading(summary, cpu_times, disk_io, watched, taken_at)


class _Flight:
    def __init__(self):
        self.done = threading.Event()
        self.reading: Reading | None = None
        self.error: BaseException | None = None


class SharedReading:
    """Takes at most one reading at a time: a request that arrives while one is being taken
    waits for it and is answered from it; the next request after it takes a new one."""

    def __init__(self, take: Callable[[], Reading]):
        self._take = take
        self._lock = threading.Lock()
        self._in_flight: _Flight | None = None

    def get(self) -> Reading:
        with self._lock:
            flight = self._in_flight
            leads = flight is None
            if leads:
                flight = self._in_flight = _Flight()
        if leads:
            try:
                flight.reading = self._take()
            except BaseException as error:  # the module's FatalError too, for every waiter
                flight.error = error
            finally:
                with self._lock:
                    self._in_flight = None
                flight.done.set()
        else:
            flight.done.wait()
        if flight.error is not None:
            raise flight.error
        return flight.reading
