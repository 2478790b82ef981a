"""Traffic load for the benchmarks, run as its own process.

Holds 200 connected TCP sockets on loopback (100 connections, both ends in this process, on one
listener), each of which has carried some bytes both ways, prints one JSON line with its pid and the
listener's port, and keeps everything open until its standard input closes.
"""

import json
import os
import signal
import socket
import sys

CONNECTIONS = 100


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.create_server(("127.0.0.1", 0), backlog=CONNECTIONS)
    held = [listener]
    for i in range(CONNECTIONS):
        client = socket.create_connection(listener.getsockname())
        server = listener.accept()[0]
        client.sendall(b"u" * (1000 + i))
        server.recv(1000 + i, socket.MSG_WAITALL)
        server.sendall(b"d" * (2000 + i))
        client.recv(2000 + i, socket.MSG_WAITALL)
        held += [client, server]
    connected = len(held) - 1
    print(json.dumps({"pid": os.getpid(), "port": listener.getsockname()[1],
                      "connected": connected}), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
