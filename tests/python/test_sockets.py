"""Socket listings, lookups and queues of the installed module, checked against sockets this test
opens itself and against ss."""

import os
import socket
import subprocess
import sys
import time

import pytest

import lumenstat

ME = os.getpid()
CACHE_SECONDS = 1.05  # listings may come from the previous second's enumeration


class Sockets:
    def __init__(self):
        self.held = []
        self.listener = self.keep(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.client = self.keep(socket.create_connection(("127.0.0.1", self.port)))
        self.server, _ = self.listener.accept()
        self.keep(self.server)

        self.udp_peer = self.keep(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        self.udp_peer.bind(("127.0.0.1", 0))
        self.udp = self.keep(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        self.udp.connect(self.udp_peer.getsockname())

        self.v6 = self.keep(socket.socket(socket.AF_INET6, socket.SOCK_STREAM))
        self.v6.bind(("::1", 0))
        self.v6.listen(8)
        self.mapped = self.keep(socket.socket(socket.AF_INET6, socket.SOCK_STREAM))
        self.mapped.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        self.mapped.bind(("::ffff:127.0.0.1", 0))
        self.mapped.listen(8)

    def keep(self, sock):
        self.held.append(sock)
        return sock

    def close(self):
        for sock in self.held:
            sock.close()


def text(address):
    host, port = address[0], address[1]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


@pytest.fixture(scope="module")
def sockets():
    held = Sockets()
    time.sleep(CACHE_SECONDS)
    yield held
    held.close()


def mine(connections):
    return [c for c in connections if c.pid == ME]


def find(connections, local, state=None):
    found = [c for c in mine(connections)
             if c.local_addr == local and state in (None, c.state)]
    assert len(found) == 1, (local, [(c.protocol, c.local_addr) for c in mine(connections)])
    return found[0]


def test_listing_shows_each_socket_with_its_state_and_texts(sockets):
    listing = lumenstat.get_connections()
    # The accepted socket shares the listener's local address.
    listener = find(listing, text(sockets.listener.getsockname()), "LISTEN")
    assert find(listing, text(sockets.server.getsockname()), "ESTABLISHED")
    assert (listener.protocol, listener.state, listener.remote_addr, listener.inode) == (
        "tcp", "LISTEN", "127.0.0.1:0", 0)
    client = find(listing, text(sockets.client.getsockname()))
    assert (client.state, client.remote_addr) == ("ESTABLISHED", f"127.0.0.1:{sockets.port}")
    udp = find(listing, text(sockets.udp.getsockname()))
    # A connected UDP socket still has no remote address or state in a listing.
    assert (udp.protocol, udp.state, udp.remote_addr) == ("udp", "UNKNOWN", "127.0.0.1:0")
    v6 = find(listing, text(sockets.v6.getsockname()))
    assert (v6.protocol, v6.state) == ("tcp6", "LISTEN")
    mapped = find(listing, f"[::ffff:127.0.0.1]:{sockets.mapped.getsockname()[1]}")
    assert mapped.protocol == "tcp6"
    assert text(sockets.udp.getsockname()) in {c.local_addr for c in
                                               mine(lumenstat.get_udp_sockets())}


def test_summary_counts_the_same_listing():
    summary = lumenstat.py_get_socket_summary()
    listing = lumenstat.get_connections()  # the same cached enumeration
    assert summary.total == len(listing)
    for field, state in (("established", "ESTABLISHED"), ("listen", "LISTEN"),
                         ("time_wait", "TIME_WAIT"), ("close_wait", "CLOSE_WAIT")):
        assert getattr(summary, field) == sum(c.state == state for c in listing)


def test_every_lookup_finds_our_sockets(sockets):
    by_pid = lumenstat.get_connection_by_pid(ME)
    assert by_pid is not None and by_pid.pid == ME
    assert lumenstat.get_connection_by_pid(2**32 - 1) is None

    local = lumenstat.get_connection_by_local_addr(text(sockets.v6.getsockname()))
    assert (local.protocol, local.state, local.pid) == ("tcp6", "LISTEN", ME)
    mapped = lumenstat.get_connection_by_local_addr(
        f"[::ffff:127.0.0.1]:{sockets.mapped.getsockname()[1]}")
    assert mapped.protocol == "tcp6"
    # The same port as an IPv4 text is a different address.
    assert lumenstat.get_connection_by_local_addr(
        f"127.0.0.1:{sockets.mapped.getsockname()[1]}") is None

    remote = lumenstat.get_connection_by_remote_addr(text(sockets.client.getsockname()))
    assert remote.local_addr == text(sockets.server.getsockname())
    assert remote.state == "ESTABLISHED"
    # Listeners show "127.0.0.1:0" but have no remote address to find.
    assert lumenstat.get_connection_by_remote_addr("127.0.0.1:0") is None

    listening = lumenstat.get_connection_by_state("listen")
    assert {c.state for c in listening} == {"LISTEN"}
    assert text(sockets.v6.getsockname()) in {c.local_addr for c in mine(listening)}
    unknown = lumenstat.get_connection_by_state("unknown")
    assert text(sockets.udp.getsockname()) in {c.local_addr for c in mine(unknown)}
    assert all(c.state == "CLOSE_WAIT" for c in lumenstat.get_connection_by_state("Close_Wait"))

    first = lumenstat.get_connections()[0]
    by_inode = lumenstat.get_connection_by_inode(0)
    assert (by_inode.local_addr, by_inode.pid, by_inode.state) == (
        first.local_addr, first.pid, first.state)
    assert lumenstat.get_connection_by_inode(1) is None


@pytest.mark.parametrize("function, argument, message", [
    (lumenstat.get_connection_by_state, "TimeWait", "invalid state: TimeWait"),
    (lumenstat.get_connection_by_state, " LISTEN", "invalid state:  LISTEN"),
    (lumenstat.get_connection_by_state, "syn_received", "invalid state: syn_received"),
    (lumenstat.get_connection_by_local_addr, "::1:80",
     "invalid local_addr: invalid socket address syntax"),
    (lumenstat.get_connection_by_remote_addr, "127.0.0.1:65536",
     "invalid remote_addr: invalid socket address syntax"),
])
def test_unparsable_arguments_raise_value_errors(function, argument, message):
    with pytest.raises(ValueError) as raised:
        function(argument)
    assert str(raised.value) == message


def test_our_tcp_sockets_match_ss(sockets):
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, text=True, check=True).stdout
    from_ss = set()
    for line in out.splitlines():
        fields = line.split()
        if f"pid={ME}," in line and fields[0] != "TIME-WAIT":
            from_ss.add(fields[3])
    time.sleep(CACHE_SECONDS)
    ours = {c.local_addr for c in mine(lumenstat.get_tcp_connections())}
    # ss writes IPv6 addresses in brackets as we do, and IPv4 ones plain.
    assert ours == from_ss


def queue_of(queues, sock):
    found = [q for q in queues if q.fd == sock.fileno()]
    assert len(found) == 1
    return found[0]


def test_queues_show_unread_bytes_buffer_sizes_and_peers(sockets):
    sockets.client.sendall(b"q" * 1234)
    time.sleep(0.05)
    queues = lumenstat.get_process_socket_queues(ME)
    assert [q.fd for q in queues] == sorted(q.fd for q in queues)
    server = queue_of(queues, sockets.server)
    assert (server.pid, server.protocol, server.state) == (ME, "tcp", "ESTABLISHED")
    assert server.recv_queue_bytes == 1234
    assert server.recv_queue_hiwat == sockets.server.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    assert server.send_queue_hiwat == sockets.server.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF)
    assert server.remote_addr == text(sockets.client.getsockname())

    listener = queue_of(queues, sockets.listener)
    assert (listener.state, listener.remote_addr, listener.recv_queue_bytes) == ("LISTEN", "", 0)
    udp = queue_of(queues, sockets.udp)
    assert (udp.protocol, udp.state) == ("udp", "UNKNOWN")
    assert udp.remote_addr == text(sockets.udp_peer.getsockname())

    # Read afresh on every call: the bytes read are gone at once.
    assert len(sockets.server.recv(4096)) == 1234
    assert queue_of(lumenstat.get_process_socket_queues(ME), sockets.server).recv_queue_bytes == 0


def test_queues_of_a_missing_process_are_empty():
    assert lumenstat.get_process_socket_queues(2**31 - 2) == []


DEBUG_CHILD = """
import socket, lumenstat, os
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print("port", s.getsockname()[1], os.getpid(), flush=True)
lumenstat.get_connections()
lumenstat.get_connections()
"""


@pytest.mark.parametrize("value, prints", [("{pid}", True), ("+{pid}", True), ("{pid} ", False),
                                           ("-1", False), ("4294967296", False)])
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
    expected = [f"conn: SocketConnection {{ protocol: TcpV4, local_addr: 127.0.0.1:{port}, "
                f"remote_addr: None, state: Listen, pid: Some({pid}), inode: 0 }}"]
    assert rest == (expected if prints else [])
