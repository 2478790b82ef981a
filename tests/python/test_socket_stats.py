"""get_process_socket_stats of the installed module: exact byte counts of loopback connections this
test opens, and the traffic tool found the way a user runs the module.
What the module makes of the tool's output and failures is checked over the fake system
(tests/core/socket_traffic_test.cpp)."""

import os
import socket
import subprocess
import sys

import pytest

import lumenstat
from conftest import address_text as text, no_descriptors

ME = os.getpid()


def receive(sock, count):
    while count > 0:
        count -= len(sock.recv(min(count, 1 << 16)))


def exchange(family, host, up, down):
    """A listener, a client and the accepted end; `up` bytes to the server, `down` back, then the
    client's end of sending, which the server reads (its FIN is no byte of data)."""
    listener = socket.create_server((host, 0), family=family)
    client = socket.create_connection(listener.getsockname()[:2])
    server = listener.accept()[0]
    client.sendall(b"u" * up)
    receive(server, up)
    server.sendall(b"d" * down)
    receive(client, down)
    client.shutdown(socket.SHUT_WR)
    assert server.recv(1) == b""
    return listener, client, server


def expected_rows(protocol, listener, client, server, up, down):
    a, b = text(listener.getsockname()), text(client.getsockname())
    return {
        listener.fileno(): (protocol, a, "", 0, 0),
        client.fileno(): (protocol, b, a, up, down),
        server.fileno(): (protocol, a, b, down, up),
    }


@pytest.fixture
def connections():
    held = [exchange(socket.AF_INET, "127.0.0.1", 5000, 3000),
            exchange(socket.AF_INET6, "::1", 1, 70001)]
    yield held
    for sock in (s for trio in held for s in trio):
        sock.close()


def test_every_byte_of_our_connections(connections):
    want = {**expected_rows("tcp", *connections[0], 5000, 3000),
            **expected_rows("tcp6", *connections[1], 1, 70001)}
    stats = [s for s in lumenstat.get_process_socket_stats(ME) if s.fd in want]
    assert {s.fd: (s.protocol, s.local_addr, s.remote_addr, s.bytes_sent, s.bytes_received)
            for s in stats} == want
    assert {s.pid for s in stats} == {ME}


@pytest.mark.parametrize("prelude", [
    "",
    # as daemons have it: the kernel reaps a plain child at once, exit status and all
    "import signal; signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n",
], ids=["default", "SIGCHLD ignored"])
def test_tool_found_without_the_environment_from_any_folder(prelude):
    # The virtual environment's python run by its path, from /, with a PATH that has no tool.
    script = prelude + (
        "import os, socket, lumenstat\n"
        "l = socket.create_server(('127.0.0.1', 0))\n"
        "c = socket.create_connection(l.getsockname())\n"
        "s = l.accept()[0]; c.sendall(b'x' * 10)\n"
        "assert s.recv(10, socket.MSG_WAITALL) == b'x' * 10\n"
        "print([(x.bytes_sent, x.bytes_received) for x in lumenstat.get_process_socket_stats("
        "os.getpid()) if x.fd == c.fileno()])\n"
    )
    environment = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    environment["PATH"] = "/usr/bin:/bin"
    run = subprocess.run([sys.executable, "-c", script], cwd="/", capture_output=True, text=True,
                         env=environment, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "[(10, 0)]\n", "")


def test_a_caller_out_of_descriptors_is_told_so(capfd):
    with no_descriptors():
        assert lumenstat.get_process_socket_stats(ME) == []
    assert capfd.readouterr().err == (f"[SocketStats] pidinfo failed for PID {ME}: return code = 0, "
                                      "errno = 24, message = 'Too many open files'\n")
