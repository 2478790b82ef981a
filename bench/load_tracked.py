"""The watched process of the tracker benchmarks, run as its own process.

Holds 100 sockets (25 TCP listeners and 25 connected pairs on 127.0.0.1, and 25 bound UDP sockets)
and 20 descendants (10 shells, each with a sleeping child), prints its pid as one JSON line, then
answers one line per request: "socket" replaces the listener it made last (if any) by a new TCP
listener and answers with its port; "child" replaces the child it made last by a new one and
answers with its pid. Each answer ends with the monotonic time (seconds, the clock every process
of the machine shares) taken just before the new item was made. Everything ends, grandchildren
included, when standard input closes.
"""

import json
import os
import signal
import socket
import subprocess
import sys
import time

held = []
children = []


def listener():
    sock = socket.create_server(("127.0.0.1", 0))
    return sock, sock.getsockname()[1]


def main():
    for _ in range(25):
        held.append(listener()[0])
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
        # A session of its own, so that ending its group ends its sleeping child too.
        children.append(subprocess.Popen(["sh", "-c", "sleep 100000; true"],
                                         start_new_session=True))
    print(json.dumps({"pid": os.getpid(), "sockets": len(held), "descendants": 20}), flush=True)
    extra_socket = extra_child = None
    for line in sys.stdin:
        request = line.strip()
        started = time.monotonic()
        if request == "socket":
            if extra_socket is not None:
                extra_socket.close()
            started = time.monotonic()
            extra_socket, port = listener()
            print(f"{port} {started!r}", flush=True)
        elif request == "child":
            if extra_child is not None:
                extra_child.kill()
                extra_child.wait()
            started = time.monotonic()
            extra_child = subprocess.Popen(["sleep", "100000"])
            print(f"{extra_child.pid} {started!r}", flush=True)
    if extra_child is not None:
        extra_child.kill()
        extra_child.wait()
    for child in children:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()


if __name__ == "__main__":
    main()
