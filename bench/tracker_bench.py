"""Tracker measurements of the benchmark: what an idle tracker of each kind costs, and how late a
new socket and a new child of the watched process are reported.

The watched process (load_tracked.py) holds 100 sockets and 20 descendants, while the process and
socket loads of the run are alive. CPU time is this driver's, which runs nothing but the tracker
while it is measured (the main thread sleeps), so it is the tracker's polls, their helper threads
and its callbacks.
"""

import json
import os
import resource
import statistics
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
IDLE_SECONDS = 6.0
LATENCY_SAMPLES = 50
SPACING_S = 0.37  # not a multiple of the poll interval, so new items land at every phase of it
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
    """Seconds from making a socket and a child to their reports, LATENCY_SAMPLES of each."""
    lock = threading.Lock()
    seen_ports, seen_pids = {}, {}

    def on_socket(event):
        if event["state"] == "LISTEN":
            port = int(event["local_addr"].rsplit(":", 1)[1])
            with lock:
                seen_ports.setdefault(port, time.monotonic())

    def on_child(event):
        with lock:
            seen_pids.setdefault(event["pid"], time.monotonic())

    pid = watched.process.pid
    trackers = [module.start_tracking_sockets(pid, on_socket),
                module.start_tracking_children(pid, on_child)]
    try:
        time.sleep(1.5)  # the known sets take in what exists
        made = []
        for _ in range(LATENCY_SAMPLES):
            port, child, started = watched.ask("new").split()
            made.append((int(port), int(child), float(started)))
            time.sleep(SPACING_S)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            with lock:
                if all(p in seen_ports and c in seen_pids for p, c, _ in made):
                    break
            time.sleep(0.05)
    finally:
        for tracker in trackers:
            tracker.stop()
    with lock:
        sockets = [seen_ports[p] - t for p, _, t in made if p in seen_ports]
        children = [seen_pids[c] - t for _, c, t in made if c in seen_pids]
    return sockets, children


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
        sockets, children = report_latencies(module, watched)
        for what, delays in (("new socket", sockets), ("new child", children)):
            missing = LATENCY_SAMPLES - len(delays)
            text = (f"median {statistics.median(delays) * 1000:7.1f} ms, worst "
                    f"{max(delays) * 1000:7.1f} ms" if delays else "never reported")
            lines.append(f"  {what} reported after: {text} of {len(delays)}"
                         + (f" ({missing} not reported within 5 s)" if missing else ""))
            print(lines[-1], flush=True)
        return lines
    finally:
        watched.close()
