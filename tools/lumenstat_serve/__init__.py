"""The report's server: `lumenstat-report --serve [HOST:]PORT`.

GET /metrics answers in the Prometheus text format, or in OpenMetrics when the scraper asks for it,
with families built from one reading of the machine per scrape (reading.py, metrics.py). GET /
is a live page (page.py, page/) that redraws from GET /snapshot.json (document.py). The HTTP side
is prometheus_client's (server.py). Needs prometheus_client: the package's extra `serve`.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence

from .document import document_route
from .page import page_routes
from .reading import SharedReading, read_machine
from .server import BadAddress, Router, Server, metrics_route, parse_address


def make_app(shared: SharedReading, top: int, document: Callable[[object, list], dict]) -> Router:
    """`document(snapshot, disk_counters)` builds the JSON document of a snapshot."""
    return Router({"/metrics": metrics_route(shared, top),
                   "/snapshot.json": document_route(shared, document), **page_routes()})


def serve(address: str, watched_pids: Sequence[int], top: int,
          take_summary: Callable[[int], object], document: Callable[[object, list], dict]) -> int:
    """Serves until interrupted (KeyboardInterrupt); returns the exit status."""
    try:
        bind = parse_address(address)
    except BadAddress as error:
        print(f"report: --serve {error}", file=sys.stderr)
        return 2
    shared = SharedReading(lambda: read_machine(take_summary, watched_pids))
    try:
        server = Server(bind, make_app(shared, top, document))
    except OSError as error:
        print(f"report: cannot listen on {address}: {error}", file=sys.stderr)
        return 1
    try:
        print(f"serving {server.url()}/metrics and the page {server.url()}/ (Ctrl-C stops)",
              flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0
