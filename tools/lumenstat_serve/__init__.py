"""The report's server: `lumenstat-report --serve [HOST:]PORT`.

GET /metrics answers in the Prometheus text format, or in OpenMetrics when the scraper asks for it,
with families built from one reading of the machine per scrape (reading.py, metrics.py). The HTTP
side is prometheus_client's (server.py). Needs prometheus_client: the package's extra `serve`.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence

from .reading import SharedReading, read_machine
from .server import BadAddress, Router, Server, metrics_route, parse_address


def make_app(shared: SharedReading, top: int) -> Router:
    return Router({"/metrics": metrics_route(shared, top)})


def serve(address: str, watched_pids: Sequence[int], top: int,
          take_summary: Callable[[int], object]) -> int:
    """Serves until interrupted (KeyboardInterrupt); returns the exit status."""
    try:
        bind = parse_address(address)
    except BadAddress as error:
        print(f"report: --serve {error}", file=sys.stderr)
        return 2
    shared = SharedReading(lambda: read_machine(take_summary, watched_pids))
    try:
        server = Server(bind, make_app(shared, top))
    except OSError as error:
        print(f"report: cannot listen on {address}: {error}", file=sys.stderr)
        return 1
    try:
        print(f"serving {server.url()}/metrics (Ctrl-C stops)", flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0
