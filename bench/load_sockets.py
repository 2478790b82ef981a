"""Socket load for the benchmarks, run as its own process.

Opens TCP listeners and connected TCP pairs on loopback, IPv4 and IPv6, plus bound and connected
UDP sockets of both families, leaves some bytes unread in a few queues, prints one JSON line
describing what it holds, and keeps everything open until its standard input closes.

All descriptors stay below 2048 so that a per-process queue query, which reads only the first 2048
descriptor entries, sees every socket of this process, as psutil does.
"""

import json
import os
import resource
import signal
import socket
import sys

LISTENERS_PER_FAMILY = 50
PAIRS_PER_FAMILY = 280
UDP_PER_FAMILY = 100
MAX_DESCRIPTORS = 2048

FAMILIES = ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1"))


def raise_descriptor_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < needed:
        target = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


def open_tcp(family, host, held):
    listeners = []
    for _ in range(LISTENERS_PER_FAMILY):
        listener = socket.socket(family, socket.SOCK_STREAM)
        listener.bind((host, 0))
        listener.listen(64)
        listeners.append(listener)
    held.extend(listeners)
    for i in range(PAIRS_PER_FAMILY):
        listener = listeners[i % len(listeners)]
        client = socket.create_connection(listener.getsockname()[:2])
        server, _ = listener.accept()
        held.extend((client, server))
        if i % 10 == 0:
            # Unread bytes give the queue figures something other than zero.
            client.sendall(b"x" * (100 + i))


def open_udp(family, host, held):
    sockets = []
    for i in range(UDP_PER_FAMILY):
        udp = socket.socket(family, socket.SOCK_DGRAM)
        udp.bind((host, 0))
        if i % 2 == 1:
            udp.connect(sockets[-1].getsockname()[:2])
        sockets.append(udp)
    held.extend(sockets)


def main():
    raise_descriptor_limit(MAX_DESCRIPTORS + 64)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    held = []
    for family, host in FAMILIES:
        open_tcp(family, host, held)
        open_udp(family, host, held)
    highest = max(s.fileno() for s in held)
    if highest >= MAX_DESCRIPTORS:
        raise SystemExit(f"load_sockets: descriptor {highest} is beyond {MAX_DESCRIPTORS}")
    tcp = sum(1 for s in held if s.type == socket.SOCK_STREAM)
    summary = {"pid": os.getpid(), "tcp": tcp, "udp": len(held) - tcp, "highest_fd": highest}
    print(json.dumps(summary), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
