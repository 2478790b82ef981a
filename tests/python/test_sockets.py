"""Socket listings, lookups, queues and per-connection traffic of the installed module, checked
against sockets this test opens itself. Which record each lookup picks and what the module makes
of the traffic tool's output are checked over the fake system."""

import os
import signal
import socket
import time
from types import SimpleNamespace

import pytest

import lumenstat
from conftest import address_text

ME = os.getpid()
CACHE_SECONDS = 1.05  # listings may come from the previous second's enumeration


def text(sock):
    return address_text(sock.getsockname())


@pytest.fixture(scope="module")
def s():
    listener = socket.create_server(("127.0.0.1", 0))
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.connect(listener.getsockname())
    held = SimpleNamespace(
        listener=listener, client=socket.create_connection(listener.getsockname()), udp=udp,
        v6=socket.create_server(("::1", 0), family=socket.AF_INET6),
        mapped=socket.create_server(("::ffff:127.0.0.1", 0), family=socket.AF_INET6,
                                    dualstack_ipv6=True))
    held.server = listener.accept()[0]
    time.sleep(CACHE_SECONDS)
    yield held
    for sock in vars(held).values():
        sock.close()


def whole(c):
    return c.local_addr, c.pid, c.protocol, c.state, c.remote_addr, c.inode


def mine(connections, local):
    return sorted(whole(c)[2:] for c in connections if c.pid == ME and c.local_addr == local)


def in_one_enumeration(call):
    """A listing and what `call` returns, both from one enumeration of the machine's sockets.
    Listings are kept for a second, and a new one may begin between any two calls: the listing is
    taken again after the call until both listings agree."""
    for _ in range(10):
        listing = lumenstat.get_connections()
        result = call()
        if [whole(c) for c in lumenstat.get_connections()] == [whole(c) for c in listing]:
            return listing, result
    pytest.fail("the machine's sockets kept changing")


def test_listings_and_lookups_show_our_sockets(s):
    listing, summary = in_one_enumeration(lumenstat.py_get_socket_summary)
    # The accepted socket shares the listener's local address; absent remote addresses and
    # the states of UDP sockets, connected or not, show as "127.0.0.1:0" and "UNKNOWN".
    assert [mine(listing, text(x)) for x in (s.listener, s.client, s.udp, s.v6)] == [
        [("tcp", "ESTABLISHED", text(s.client), 0), ("tcp", "LISTEN", "127.0.0.1:0", 0)],
        [("tcp", "ESTABLISHED", text(s.listener), 0)], [("udp", "UNKNOWN", "127.0.0.1:0", 0)],
        [("tcp6", "LISTEN", "127.0.0.1:0", 0)]]
    states = [c.state for c in listing]
    assert (summary.total, summary.established, summary.listen, summary.time_wait,
            summary.close_wait) == (len(listing), *map(states.count, (
                "ESTABLISHED", "LISTEN", "TIME_WAIT", "CLOSE_WAIT")))
    listing, first = in_one_enumeration(lambda: lumenstat.get_connection_by_inode(0))
    assert whole(first) == whole(listing[0])
    assert lumenstat.get_connection_by_pid(2**32 - 1) is None
    port = s.mapped.getsockname()[1]
    assert lumenstat.get_connection_by_local_addr(f"[::ffff:127.0.0.1]:{port}").protocol == "tcp6"
    assert lumenstat.get_connection_by_remote_addr(text(s.client)).local_addr == text(s.server)
    listening = lumenstat.get_connection_by_state("lIsTeN")
    assert {c.state for c in listening} == {"LISTEN"} and mine(listening, text(s.v6))


def test_queues_show_unread_bytes_buffer_sizes_and_peers(s):
    s.client.sendall(b"q" * 1234)
    s.server.sendall(b"r" * 99)
    time.sleep(0.05)
    queues = {q.fd: q for q in lumenstat.get_process_socket_queues(ME)}
    server, udp = queues[s.server.fileno()], queues[s.udp.fileno()]
    option = lambda name: s.server.getsockopt(socket.SOL_SOCKET, name)  # noqa: E731
    assert (server.pid, server.protocol, server.local_addr, server.state, server.remote_addr,
            server.recv_queue_bytes, server.recv_queue_hiwat, server.send_queue_hiwat) == (
        ME, "tcp", text(s.server), "ESTABLISHED", text(s.client), 1234, option(socket.SO_RCVBUF),
        option(socket.SO_SNDBUF))
    assert (queues[s.client.fileno()].recv_queue_bytes, server.send_queue_bytes) == (99, 0)
    # Unlike in listings, a connected UDP socket shows its peer (and a listener's is "").
    assert (udp.protocol, udp.state, udp.remote_addr) == ("udp", "UNKNOWN", text(s.listener))


def exchange(family, host, up, down):
    """A listener, a client and the accepted end, with `up` bytes sent to the server and `down`
    back; then the client's end of sending, which the server reads (its FIN is no byte of data)."""
    listener = socket.create_server((host, 0), family=family)
    client = socket.create_connection(listener.getsockname()[:2])
    server = listener.accept()[0]
    client.sendall(b"u" * up)
    assert len(server.recv(up, socket.MSG_WAITALL)) == up
    server.sendall(b"d" * down)
    assert len(client.recv(down, socket.MSG_WAITALL)) == down
    client.shutdown(socket.SHUT_WR)
    assert server.recv(1) == b""
    return listener, client, server


def test_traffic_counts_every_byte_where_a_daemon_asks(monkeypatch, request):
    # As daemons run: from /, with a PATH that has no traffic tool and SIGCHLD ignored, so that
    # the kernel reaps a plain child at once, exit status and all.
    monkeypatch.chdir("/")
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    monkeypatch.delenv("VIRTUAL_ENV", raising=False)
    previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    request.addfinalizer(lambda: signal.signal(signal.SIGCHLD, previous))
    want, held = {}, []
    for protocol, family, host, up, down in (("tcp", socket.AF_INET, "127.0.0.1", 5000, 3000),
                                             ("tcp6", socket.AF_INET6, "::1", 1, 70001)):
        listener, client, server = exchange(family, host, up, down)
        held += [listener, client, server]
        a, b = text(listener), text(client)
        want |= {listener.fileno(): (protocol, a, "", 0, 0), client.fileno(): (
            protocol, b, a, up, down), server.fileno(): (protocol, a, b, down, up)}
    stats = [x for x in lumenstat.get_process_socket_stats(ME) if x.fd in want]
    assert {x.fd: (x.pid, x.protocol, x.local_addr, x.remote_addr, x.bytes_sent,
                   x.bytes_received) for x in stats} == {fd: (ME, *w) for fd, w in want.items()}
    for sock in held:
        sock.close()
