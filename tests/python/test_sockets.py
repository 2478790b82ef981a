"""Socket listings, lookups and queues of the installed module, checked against sockets this test
opens itself and against ss."""

import os
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

import lumenstat

ME = os.getpid()
CACHE_SECONDS = 1.05  # listings may come from the previous second's enumeration


def text(address):
    return f"[{address[0]}]:{address[1]}" if ":" in address[0] else f"{address[0]}:{address[1]}"


@pytest.fixture(scope="module")
def s():
    listener = socket.create_server(("127.0.0.1", 0))
    client = socket.create_connection(listener.getsockname())
    udp_peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp_peer.bind(("127.0.0.1", 0))
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.connect(udp_peer.getsockname())
    held = SimpleNamespace(
        listener=listener, client=client, server=listener.accept()[0], udp_peer=udp_peer, udp=udp,
        v6=socket.create_server(("::1", 0), family=socket.AF_INET6),
        mapped=socket.create_server(("::ffff:127.0.0.1", 0), family=socket.AF_INET6,
                                    dualstack_ipv6=True))
    held.mapped_port = held.mapped.getsockname()[1]
    time.sleep(CACHE_SECONDS)
    yield held
    for sock in vars(held).values():
        getattr(sock, "close", lambda: None)()


def mine(connections, local=None):
    return [c for c in connections if c.pid == ME and local in (None, c.local_addr)]


def test_listings_and_lookups_show_our_sockets_as_texts(s):
    listing = lumenstat.get_connections()
    summary = lumenstat.py_get_socket_summary()  # the same cached enumeration
    fields = lambda c: (c.protocol, c.state, c.remote_addr, c.inode)
    # The accepted socket shares the listener's local address.
    assert sorted(map(fields, mine(listing, text(s.listener.getsockname())))) == [
        ("tcp", "ESTABLISHED", text(s.client.getsockname()), 0),
        ("tcp", "LISTEN", "127.0.0.1:0", 0)]
    assert list(map(fields, mine(listing, text(s.client.getsockname())))) == [
        ("tcp", "ESTABLISHED", text(s.listener.getsockname()), 0)]
    # A connected UDP socket has no remote address or state in a listing.
    assert list(map(fields, mine(listing, text(s.udp.getsockname())))) == [
        ("udp", "UNKNOWN", "127.0.0.1:0", 0)]
    assert list(map(fields, mine(listing, text(s.v6.getsockname())))) == [
        ("tcp6", "LISTEN", "127.0.0.1:0", 0)]
    assert len(mine(listing, f"[::ffff:127.0.0.1]:{s.mapped_port}")) == 1
    assert mine(lumenstat.get_udp_sockets(), text(s.udp.getsockname()))
    assert not mine(lumenstat.get_tcp_connections(), text(s.udp.getsockname()))
    assert (summary.total, summary.established, summary.listen, summary.time_wait,
            summary.close_wait) == (len(listing), *(
                sum(c.state == state for c in listing)
                for state in ("ESTABLISHED", "LISTEN", "TIME_WAIT", "CLOSE_WAIT")))

    assert lumenstat.get_connection_by_pid(ME).pid == ME
    assert lumenstat.get_connection_by_pid(2**32 - 1) is None
    first = lumenstat.get_connections()[0]
    assert fields(lumenstat.get_connection_by_inode(0)) == fields(first)
    assert lumenstat.get_connection_by_inode(1) is None
    mapped = lumenstat.get_connection_by_local_addr(f"[::ffff:127.0.0.1]:{s.mapped_port}")
    assert (mapped.protocol, mapped.pid) == ("tcp6", ME)
    # The same port as an IPv4 text is a different address.
    assert lumenstat.get_connection_by_local_addr(f"127.0.0.1:{s.mapped_port}") is None
    remote = lumenstat.get_connection_by_remote_addr(text(s.client.getsockname()))
    assert (remote.local_addr, remote.state) == (text(s.server.getsockname()), "ESTABLISHED")
    # Listeners show "127.0.0.1:0" but have no remote address to find.
    assert lumenstat.get_connection_by_remote_addr("127.0.0.1:0") is None
    listening = lumenstat.get_connection_by_state("listen")
    assert {c.state for c in listening} == {"LISTEN"} and mine(listening, text(s.v6.getsockname()))
    assert mine(lumenstat.get_connection_by_state("unknown"), text(s.udp.getsockname()))


@pytest.mark.parametrize("function, argument, message", [
    (lumenstat.get_connection_by_state, "TimeWait", "invalid state: TimeWait"),
    (lumenstat.get_connection_by_state, " LISTEN", "invalid state:  LISTEN"),
    (lumenstat.get_connection_by_local_addr, "::1:80",
     "invalid local_addr: invalid socket address syntax"),
    (lumenstat.get_connection_by_remote_addr, "127.0.0.1:65536",
     "invalid remote_addr: invalid socket address syntax"),
])
def test_unparsable_arguments_raise_value_errors(function, argument, message):
    with pytest.raises(ValueError) as raised:
        function(argument)
    assert str(raised.value) == message


def test_our_tcp_sockets_match_ss(s):
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, text=True, check=True).stdout
    # ss writes IPv6 addresses in brackets as we do, and IPv4 ones plain.
    from_ss = {line.split()[3] for line in out.splitlines()
               if f"pid={ME}," in line and not line.startswith("TIME-WAIT")}
    time.sleep(CACHE_SECONDS)
    assert {c.local_addr for c in mine(lumenstat.get_tcp_connections())} == from_ss


def test_queues_show_unread_bytes_buffer_sizes_and_peers(s):
    assert lumenstat.get_process_socket_queues(2**31 - 2) == []
    s.client.sendall(b"q" * 1234)
    time.sleep(0.05)
    queues = {q.fd: q for q in lumenstat.get_process_socket_queues(ME)}
    assert list(queues) == sorted(queues)
    server, listener, udp = (queues[x.fileno()] for x in (s.server, s.listener, s.udp))
    option = lambda name: s.server.getsockopt(socket.SOL_SOCKET, name)
    assert (server.pid, server.protocol, server.state, server.remote_addr, server.recv_queue_bytes,
            server.recv_queue_hiwat, server.send_queue_hiwat) == (
        ME, "tcp", "ESTABLISHED", text(s.client.getsockname()), 1234, option(socket.SO_RCVBUF),
        option(socket.SO_SNDBUF))
    assert (listener.state, listener.remote_addr, listener.recv_queue_bytes) == ("LISTEN", "", 0)
    assert (udp.protocol, udp.state, udp.remote_addr) == (
        "udp", "UNKNOWN", text(s.udp_peer.getsockname()))
    # Read afresh on every call: the bytes read are gone at once.
    assert len(s.server.recv(4096)) == 1234
    assert [q.recv_queue_bytes for q in lumenstat.get_process_socket_queues(ME)
            if q.fd == s.server.fileno()] == [0]


DEBUG_CHILD = """
import socket, lumenstat, os
s = socket.create_server(("127.0.0.1", 0))
print("port", s.getsockname()[1], os.getpid(), flush=True)
lumenstat.get_connections()
lumenstat.get_connections()
"""


@pytest.mark.parametrize("value, prints", [("{pid}", True), ("+{pid}", True), ("{pid} ", False)])
def test_debug_lines_go_to_standard_output(value, prints):
    # The child's pid is not known before it starts: it sets the variable for itself.
    code = ("import os, sys; os.environ['DEBUG_SOCKET_PID'] = "
            f"{value!r}.format(pid=os.getpid()); exec(sys.argv[1])")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code, DEBUG_CHILD], capture_output=True,
                         text=True, env=env, check=True, timeout=60).stdout
    first, *rest = out.splitlines()
    _, port, pid = first.split()
    # One fresh enumeration, then a cache hit that prints nothing.
    assert rest == [f"conn: SocketConnection {{ protocol: TcpV4, local_addr: 127.0.0.1:{port}, "
                    f"remote_addr: None, state: Listen, pid: Some({pid}), inode: 0 }}"] * prints
