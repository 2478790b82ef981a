"""The HTTP side: prometheus_client's threading WSGI server, with a router in front of its
exposition, time limits on slow or silent clients, and a bound on open connections."""

from __future__ import annotations

import io
import socket
import sys
import threading
from collections.abc import Callable, Iterable
from wsgiref.simple_server import WSGIRequestHandler

from prometheus_client import CollectorRegistry, make_wsgi_app
from prometheus_client.exposition import ThreadingWSGIServer

from .metrics import ReadingCollector
from .reading import SharedReading

LOOPBACK = "127.0.0.1"
# A client that sends nothing, or stops reading, for this long is disconnected.
CLIENT_TIMEOUT_S = 10.0
MAX_CONNECTIONS = 256


class BadAddress(ValueError):
    pass


def parse_address(text: str) -> tuple[str, int]:
    """PORT, HOST:PORT or [IPV6]:PORT. Without a host the server listens on loopback only; any
    other address must be written out."""
    host, colon, port = text.rpartition(":")
    if not colon:
        host, port = LOOPBACK, text
    elif not host:
        raise BadAddress(f"{text!r}: write the address to listen on, for example "
                         f"127.0.0.1{text} (this machine only) or 0.0.0.0{text} (every network)")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        raise BadAddress(f"{text!r}: write an IPv6 address in brackets, as in [::1]:{port}")
    if not port.isdigit() or int(port) > 65535:
        raise BadAddress(f"{text!r}: the port must be a number from 0 to 65535")
    return host, int(port)


def plain_response(start_response, status: str, text: str, headers=()) -> list[bytes]:
    body = text.encode()
    start_response(status, [("Content-Type", "text/plain; charset=utf-8"),
                            ("Content-Length", str(len(body))),
                            ("X-Content-Type-Options", "nosniff"), *headers])
    return [body]


Route = Callable[[dict, Callable], Iterable[bytes]]


class Router:
    """Serves GET on a fixed set of paths; any other path is 404, any other method 405."""

    def __init__(self, routes: dict[str, Route]):
        self.routes = routes

    def __call__(self, environ, start_response):
        route = self.routes.get(environ.get("PATH_INFO", ""))
        if route is None:
            return plain_response(start_response, "404 Not Found", "not found\n")
        if environ["REQUEST_METHOD"] != "GET":
            return plain_response(start_response, "405 Method Not Allowed", "only GET\n",
                                  [("Allow", "GET")])
        return route(environ, start_response)


def reading_route(shared: SharedReading, answer: Callable[..., Iterable[bytes]]) -> Route:
    """A route that answers from the request's shared reading: `answer(reading, environ,
    start_response)`. A reading that fails is a 500 with one line of text."""
    def route(environ, start_response):
        try:
            reading = shared.get()
        except Exception as error:
            return plain_response(
                start_response, "500 Internal Server Error",
                f"lumenstat: cannot take a snapshot: {type(error).__name__}: {error}\n")
        return answer(reading, environ, start_response)
    return route


def metrics_route(shared: SharedReading, top: int) -> Route:
    def metrics(reading, environ, start_response):
        registry = CollectorRegistry(auto_describe=False)
        registry.register(ReadingCollector(reading, top))
        # The exposition's own name[] filter needs collectors that describe themselves in
        # advance; every scrape gets every family.
        environ = dict(environ, QUERY_STRING="")
        return make_wsgi_app(registry)(environ, start_response)
    return reading_route(shared, metrics)


class RequestHandler(WSGIRequestHandler):
    timeout = CLIENT_TIMEOUT_S
    # An unparsable request is answered with a status line too, not as an HTTP/0.9 client.
    default_request_version = "HTTP/1.0"

    def log_message(self, format, *args):
        """Requests are not logged."""

    def get_stderr(self):
        # What reaches the WSGI error stream is a client that stalled or went away mid-answer.
        return io.StringIO()

    def handle(self):
        try:
            super().handle()
        except OSError:  # a client that sent nothing in time, or went away
            self.close_connection = True


class Server(ThreadingWSGIServer):
    """One thread per connection, at most MAX_CONNECTIONS at once; a connection beyond them is
    closed at once."""

    request_queue_size = 128

    def __init__(self, address: tuple[str, int], app, max_connections: int = MAX_CONNECTIONS,
                 client_timeout: float = CLIENT_TIMEOUT_S):
        family, _, _, _, sockaddr = socket.getaddrinfo(address[0], address[1],
                                                       type=socket.SOCK_STREAM)[0]
        self.address_family = family
        self._slots = threading.BoundedSemaphore(max_connections)
        handler = type("TimedRequestHandler", (RequestHandler,), {"timeout": client_timeout})
        super().__init__(sockaddr[:2], handler)
        self.set_app(app)

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False):
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if not isinstance(error, OSError):
            print(f"lumenstat serve: {type(error).__name__}: {error}", file=sys.stderr)

    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{f'[{host}]' if ':' in host else host}:{port}"
