"""Follows one process live, read through lumenstat's trackers: each new descendant and each new
socket as it appears, and the queue fill of its sockets whenever it changes; and, read once a second,
the bytes sent and received on each of its TCP connections whenever they change; until the process
exits or Ctrl-C.

    python tools/watch.py PID
"""

from __future__ import annotations

import queue
import sys
import time

import lumenstat


def child_line(event: dict) -> str:
    command = " ".join(event["cmdline"]) or f"[{event['name']}]"
    return f"child   pid {event['pid']} (parent {event['ppid']}) {event['name']}: {command}"


def socket_line(event: dict) -> str:
    peer = f" -> {event['remote_addr']}" if event["remote_addr"] else ""
    return f"socket  {event['protocol']:<5} {event['local_addr']}{peer} {event['state']}"


def queue_lines(queues: list) -> list[str]:
    if not queues:
        return ["queues  no sockets"]
    lines = []
    for q in queues:
        peer = f" -> {q.remote_addr}" if q.remote_addr else ""
        lines.append(
            f"queues  fd {q.fd:<4} {q.protocol:<5} {q.local_addr}{peer} {q.state}:"
            f" receive {q.recv_queue_bytes}/{q.recv_queue_hiwat} B,"
            f" send {q.send_queue_bytes}/{q.send_queue_hiwat} B"
        )
    return lines


def queue_fill(queues: list) -> tuple:
    return tuple((q.fd, q.protocol, q.local_addr, q.remote_addr, q.state, q.recv_queue_bytes,
                  q.send_queue_bytes) for q in queues)


def traffic_lines(stats: list) -> list[str]:
    if not stats:
        return ["traffic no TCP sockets"]
    return [
        f"traffic fd {s.fd:<4} {s.protocol:<5} {s.local_addr} -> {s.remote_addr or '*'}:"
        f" sent {s.bytes_sent} B, received {s.bytes_received} B"
        for s in stats
    ]


TRAFFIC_PERIOD = 1.0  # seconds between two runs of the traffic tool and looks at the process


def exited(pid: int) -> bool:
    """Whether the process is gone or has ended and waits for its parent to collect it."""
    process = lumenstat.get_process_by_pid(pid)
    return process is None or process.status == "Zombie"


def watch(pid: int, out=sys.stdout) -> None:
    """Prints what the trackers report until the process exits or the watch is interrupted; the
    trackers are stopped on the way out."""
    events: queue.Queue = queue.Queue()
    trackers = [
        lumenstat.start_tracking_children(pid, lambda e: events.put(child_line(e))),
        lumenstat.start_tracking_sockets(pid, lambda e: events.put(socket_line(e))),
        lumenstat.start_tracking_queues(pid, lambda q: events.put(q)),
    ]
    last_fill = None
    last_traffic = None
    next_traffic = time.monotonic()
    try:
        while True:
            if time.monotonic() >= next_traffic:
                next_traffic = time.monotonic() + TRAFFIC_PERIOD
                if exited(pid):
                    print(f"pid {pid} exited", file=out, flush=True)
                    return
                lines = traffic_lines(lumenstat.get_process_socket_stats(pid))
                if lines != last_traffic:
                    last_traffic = lines
                    print("\n".join(lines), file=out, flush=True)
            try:
                item = events.get(timeout=max(next_traffic - time.monotonic(), 0))
            except queue.Empty:
                continue
            if isinstance(item, list):
                fill = queue_fill(item)
                if fill == last_fill:
                    continue
                last_fill = fill
                lines = queue_lines(item)
            else:
                lines = [item]
            print("\n".join(lines), file=out, flush=True)
    finally:
        for tracker in trackers:
            tracker.stop()


def main(argv: list[str]) -> int:
    if len(argv) != 1 or not argv[0].isdigit():
        print("usage: report.sh watch PID", file=sys.stderr)
        return 2
    pid = int(argv[0])
    process = lumenstat.get_process_by_pid(pid)
    if process is None:
        print(f"watch: no process with pid {pid}", file=sys.stderr)
        return 1
    print(f"watching pid {pid} ({process.name}) until it exits; Ctrl-C ends", flush=True)
    try:
        watch(pid)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
