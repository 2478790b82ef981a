"""GET /snapshot.json: the document `lumenstat-report --json` prints, from one shared reading per
request, with the machine's name and the time of the reading."""

from __future__ import annotations

import json
import os
import threading
from collections.abc import Callable

from .reading import Reading, SharedReading
from .server import Route, reading_route

COUNTER_WRAP = 2**32  # the CPU tick counters are 32 bits wide and wrap around


def busy_percent(before, after) -> float:
    """Busy share of one CPU between two readings of its times (I/O wait counts as idle)."""
    spent = {mode: (getattr(after, mode) - getattr(before, mode)) % COUNTER_WRAP
             for mode in ("user", "nice", "system", "idle")}
    total = sum(spent.values())
    return 100.0 * (total - spent["idle"]) / total if total else 0.0


class SinceBoot:
    user = nice = system = idle = 0


class CpuUsageSincePrevious:
    """The reading of a request samples the CPU over no time, so its usage figures are taken
    between the reading of the previous answer and this one (the first answer: since boot)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._previous: Reading | None = None
        self._usage: list[float] = []

    def of(self, reading: Reading) -> list[float]:
        with self._lock:
            if reading is not self._previous:  # requests sharing a reading share its figures
                after = reading.cpu_times
                before = self._previous.cpu_times if self._previous else []
                if len(before) != len(after):
                    before = [SinceBoot] * len(after)
                self._usage = [busy_percent(b, a) for b, a in zip(before, after)]
                self._previous = reading
            return self._usage


def document_route(shared: SharedReading,
                   document: Callable[[object, list], dict]) -> Route:
    usage = CpuUsageSincePrevious()
    host = os.uname().nodename

    def snapshot_json(reading, environ, start_response):
        data = document(reading.summary, reading.disk_io)
        data["cpu_usage"] = usage.of(reading)
        # Served over the network, a command line could give away what it holds (passwords,
        # tokens): the page shows names only.
        for process in data["processes"]:
            del process["command"]
        data["host"] = host
        data["taken_at"] = reading.taken_at
        body = json.dumps(data, allow_nan=False, separators=(",", ":")).encode()
        start_response("200 OK", [("Content-Type", "application/json"),
                                  ("Content-Length", str(len(body))),
                                  ("Cache-Control", "no-store"),
                                  ("X-Content-Type-Options", "nosniff")])
        return [body]
    return reading_route(shared, snapshot_json)
