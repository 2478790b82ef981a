"""GET / and the page's own files, read from the package's page/ folder at start-up. Only these
paths are served: no request path ever reaches the file system."""

from __future__ import annotations

from pathlib import Path

from .server import Route

PAGE_FOLDER = Path(__file__).resolve().parent / "page"
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                 ".css": "text/css; charset=utf-8"}
# Everything the page uses comes from this server; nothing on it may run that it did not ship.
SECURITY_HEADERS = [
    ("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
     "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
     "frame-ancestors 'none'"),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("Cache-Control", "no-cache"),
]


def file_route(path: Path) -> Route:
    body = path.read_bytes()
    headers = [("Content-Type", CONTENT_TYPES[path.suffix]), ("Content-Length", str(len(body))),
               *SECURITY_HEADERS]

    def serve_file(environ, start_response):
        start_response("200 OK", headers)
        return [body]
    return serve_file


def page_routes() -> dict[str, Route]:
    routes = {f"/{path.name}": file_route(path) for path in sorted(PAGE_FOLDER.iterdir())
              if path.suffix in CONTENT_TYPES}
    routes["/"] = routes.pop("/index.html")
    return routes
