"""The watched process of the tracker benchmarks, run as its own process.

Holds 100 sockets (25 TCP listeners and 25 connected pairs on 127.0.0.1, and 25 bound UDP sockets)
and 20 descendants (10 shells, each with a sleeping child), prints its pid as one JSON line, then
answers one line per request: "new" replaces the listener and child it made last (if any) by a
new TCP listener and a new child, so the tree keeps its size, and answers with the listener's
port, the child's pid and the monotonic time (seconds, the clock every process of the machine
shares) taken just before both were made. Everything ends when standard input closes.
"""

import json
import os
import socket
import subprocess
import sys
import time

held = []
children = []


def listener():
    sock = socket.create_server(("127.0.0.1", 0))
    held.append(sock)
    return sock.getsockname()[1]


def main():
    for _ in range(25):
        listener()
    for _ in range(25):
        server = socket.create_server(("127.0.0.1", 0))
        client = socket.create_connection(server.getsockname())
        accepted, _ = server.accept()
        server.close()
        held.extend([client, accepted])
    for _ in range(25):
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("127.0.0.1", 0))
        held.append(udp)
    for _ in range(10):
        children.append(subprocess.Popen(["sh", "-c", "sleep 100000; true"]))
    print(json.dumps({"pid": os.getpid(), "sockets": len(held), "descendants": 20}), flush=True)
    extra = None
    for line in sys.stdin:
        if line.strip() != "new":
            continue
        if extra is not None:
            extra[0].close()
            extra[1].kill()
            extra[1].wait()
        started = time.monotonic()
        port = listener()
        child = subprocess.Popen(["sleep", "100000"])
        extra = (held.pop(), child)
        print(f"{port} {child.pid} {started!r}", flush=True)
    if extra is not None:
        extra[0].close()
        children.append(extra[1])
    for child in children:
        child.kill()
        child.wait()


if __name__ == "__main__":
    main()
