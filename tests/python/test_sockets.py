"""Socket listings, lookups and queues of the installed module, checked against sockets this test
opens itself and against ss."""

import os
import re
import socket
import subprocess
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


def fields(c):
    return c.protocol, c.state, c.remote_addr, c.inode


def mine(connections, local):
    return sorted(fields(c) for c in connections if c.pid == ME and c.local_addr == local)


def whole(c):
    return c.local_addr, c.pid, *fields(c)


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


def test_listings_and_lookups_show_our_sockets_as_texts(s):
    listing, summary = in_one_enumeration(lumenstat.py_get_socket_summary)
    # The accepted socket shares the listener's local address; absent remote addresses and
    # the states of UDP sockets, connected or not, show as "127.0.0.1:0" and "UNKNOWN".
    assert mine(listing, text(s.listener)) == [("tcp", "ESTABLISHED", text(s.client), 0),
                                               ("tcp", "LISTEN", "127.0.0.1:0", 0)]
    assert mine(listing, text(s.client)) == [("tcp", "ESTABLISHED", text(s.listener), 0)]
    assert mine(listing, text(s.udp)) == [("udp", "UNKNOWN", "127.0.0.1:0", 0)]
    assert mine(listing, text(s.v6)) == [("tcp6", "LISTEN", "127.0.0.1:0", 0)]
    assert mine(lumenstat.get_udp_sockets(), text(s.udp)) == mine(listing, text(s.udp))
    assert mine(lumenstat.get_tcp_connections(), text(s.udp)) == []
    assert (summary.total, summary.listen) == (len(listing),
                                               sum(c.state == "LISTEN" for c in listing))

    # Which record each lookup picks is checked over the fake system (socket_enumeration_test).
    assert lumenstat.get_connection_by_pid(ME).pid == ME
    assert lumenstat.get_connection_by_pid(2**32 - 1) is None
    listing, first = in_one_enumeration(lambda: lumenstat.get_connection_by_inode(0))
    assert whole(first) == whole(listing[0])
    port = s.mapped.getsockname()[1]
    assert lumenstat.get_connection_by_local_addr(f"[::ffff:127.0.0.1]:{port}").protocol == "tcp6"
    assert lumenstat.get_connection_by_remote_addr(text(s.client)).local_addr == text(s.server)
    listening = lumenstat.get_connection_by_state("lIsTeN")
    assert {c.state for c in listening} == {"LISTEN"} and mine(listening, text(s.v6))


def test_our_tcp_sockets_match_ss(s):
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, text=True, check=True).stdout
    # ss writes IPv6 addresses in brackets as we do, and IPv4 ones plain; an IPv6 wildcard
    # that takes IPv4 too as "*".
    from_ss = {re.sub(r"^\*:", "[::]:", line.split()[3]) for line in out.splitlines()
               if f"pid={ME}," in line and not line.startswith("TIME-WAIT")}
    time.sleep(CACHE_SECONDS)
    assert {c.local_addr for c in lumenstat.get_tcp_connections() if c.pid == ME} == from_ss


def test_queues_show_unread_bytes_buffer_sizes_and_peers(s):
    s.client.sendall(b"q" * 1234)
    time.sleep(0.05)
    queues = {q.fd: q for q in lumenstat.get_process_socket_queues(ME)}
    server, listener, udp = (queues[x.fileno()] for x in (s.server, s.listener, s.udp))
    option = lambda name: s.server.getsockopt(socket.SOL_SOCKET, name)
    assert (server.pid, server.protocol, server.state, server.remote_addr, server.recv_queue_bytes,
            server.recv_queue_hiwat, server.send_queue_hiwat) == (
        ME, "tcp", "ESTABLISHED", text(s.client), 1234, option(socket.SO_RCVBUF),
        option(socket.SO_SNDBUF))
    # Unlike in listings, an absent remote address is "" and a connected UDP socket shows its peer.
    assert (listener.state, listener.remote_addr, listener.recv_queue_bytes) == ("LISTEN", "", 0)
    assert (udp.protocol, udp.state, udp.remote_addr) == ("udp", "UNKNOWN", text(s.listener))
