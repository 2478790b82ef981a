"""Tracker measurements of the benchmark: what an idle tracker of each kind costs, and how late a
new socket and a new child of the watched process are reported.

The watched process (load_tracked.py) holds 100 sockets and 20 descendants, while the process and
socket loads of the run are alive. CPU time is this driver's, which runs nothing but the tracker
while it is measured (the main thread sleeps), so it is the tracker's polls, their helper threads
and its callbacks.
"""

import json
import os
import random
import resource
import statistics
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
IDLE_SECONDS = 6.0
LATENCY_SAMPLES = 50
LATENCY_BUDGET_S = 150.0
MISSED_AFTER_S = 5.0
KINDS = ("start_tracking_children", "start_tracking_sockets", "start_tracking_queues")


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def idle_cost_ms_per_s(start, pid):
    """CPU milliseconds per second of wall time of one tracker watching `pid`, its first poll
    left out."""
    tracker = start(pid, lambda payload: None)
    try:
        time.sleep(1.0)
        cpu, wall = cpu_seconds(), time.monotonic()
        time.sleep(IDLE_SECONDS)
        return (cpu_seconds() - cpu) * 1000 / (time.monotonic() - wall)
    finally:
        tracker.stop()
        time.sleep(0.7)  # its last poll and sleep end before the next measurement


def report_latencies(module, watched):
    """Seconds from making a socket and a child to their reports, LATENCY_SAMPLES of each or as
    many as LATENCY_BUDGET_S allows; and how many were not reported within MISSED_AFTER_S.

    One socket and one child are under way at a time, each made a random part of a poll
    interval after the previous one was reported (or given up), so that new items land at every
    phase of the poll; the watched process replaces the previous one, so its tree and its
    socket count stay as they are."""
    lock = threading.Lock()
    seen = {"socket": {}, "child": {}}

    def on_socket(event):
        if event["state"] == "LISTEN":
            port = int(event["local_addr"].rsplit(":", 1)[1])
            with lock:
                seen["socket"].setdefault(port, time.monotonic())

    def on_child(event):
        with lock:
            seen["child"].setdefault(event["pid"], time.monotonic())

    pid = watched.process.pid
    trackers = [module.start_tracking_sockets(pid, on_socket),
                module.start_tracking_children(pid, on_child)]
    chance = random.Random(13)
    delays = {"socket": [], "child": []}
    missed = {"socket": 0, "child": 0}
    pending = {"socket": None, "child": None}  # (key, started) or (None, when to ask)
    try:
        time.sleep(1.5)  # the known sets take in what exists
        budget_end = time.monotonic() + LATENCY_BUDGET_S
        for kind in pending:
            pending[kind] = (None, time.monotonic() + chance.uniform(0, 0.5))
        while time.monotonic() < budget_end and any(
                len(delays[k]) + missed[k] < LATENCY_SAMPLES for k in delays):
            for kind, (key, when) in pending.items():
                if len(delays[kind]) + missed[kind] >= LATENCY_SAMPLES:
                    continue
                now = time.monotonic()
                if key is None:
                    if now >= when:
                        made, started = watched.ask(kind).split()
                        pending[kind] = (int(made), float(started))
                    continue
                with lock:
                    reported = seen[kind].get(key)
                if reported is not None:
                    delays[kind].append(reported - when)
                elif now - when > MISSED_AFTER_S:
                    missed[kind] += 1
                else:
                    continue
                pending[kind] = (None, now + chance.uniform(0, 0.5))
            time.sleep(0.01)
    finally:
        for tracker in trackers:
            tracker.stop()
    return delays, missed


def tracker_phase(module, worker_class, args):
    """Returns the lines of the tracker table; the loads of the run are alive meanwhile."""
    if module is None or not all(hasattr(module, kind) for kind in KINDS):
        return ["trackers: skipped (not available)"]
    watched = worker_class(["/usr/bin/python3", os.path.join(HERE, "load_tracked.py")],
                           "tracked process")
    try:
        held = json.loads(watched.read_line())
        print(f"\ntracked process: pid {held['pid']} with {held['sockets']} sockets and "
              f"{held['descendants']} descendants", flush=True)
        lines = []
        for kind in KINDS:
            cost = idle_cost_ms_per_s(getattr(module, kind), held["pid"])
            lines.append(f"  idle {kind}(pid): {cost:7.2f} ms CPU per second")
            print(lines[-1], flush=True)
        delays, missed = report_latencies(module, watched)
        for kind, what in (("socket", "new socket"), ("child", "new child")):
            got = delays[kind]
            text = (f"median {statistics.median(got) * 1000:7.1f} ms, worst "
                    f"{max(got) * 1000:7.1f} ms of {len(got)}" if got else "never reported")
            if missed[kind]:
                text += f"; {missed[kind]} not reported within {MISSED_AFTER_S:.0f} s"
            lines.append(f"  {what} reported after: {text}")
            print(lines[-1], flush=True)
        return lines
    finally:
        watched.close()
