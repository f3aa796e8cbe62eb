"""The viewer's ASGI application: the page and its assets, and a small API.

    GET /api/records                      records: duration, channels, rates, size, ratio
    GET /api/records/{name}               arrays, channels, units, pyramid levels, annotators
    GET /api/records/{name}/data          ?array=&start=&stop= (seconds)&points=&channels=0,2
    GET /api/records/{name}/overview      ?array=&level=&start=&stop= (blocks)&channels=
    GET /api/records/{name}/annotations   ?start=&stop= (seconds)&limit=

`data` and `overview` answer in binary: a little-endian uint32 length, that
many bytes of JSON header (padded with spaces to a multiple of 4), then
float32 values, (channel, n) for samples or (channel, 2, n) for min/max
envelopes. Errors are JSON `{"error": message}` with a 4xx status.

`serve` runs it for `vantoresk view` with uvicorn on a socket bound here
(so a taken port is a one-line error and port 0 gets a free one), opens
the browser, and stops on Ctrl-C.
"""

from __future__ import annotations

import json
import socket
import struct
import sys
import threading
import warnings
from pathlib import Path

import numpy as np

from .data import RequestError, StoreView

STATIC = Path(__file__).resolve().parent / "static"


def pack(head: dict, values: np.ndarray) -> bytes:
    text = json.dumps(head).encode()
    text += b" " * (-len(text) % 4)
    return struct.pack("<I", len(text)) + text + np.ascontiguousarray(values, dtype="<f4").tobytes()


def unpack(body: bytes) -> tuple:
    """(header, values) of a binary answer; values shaped as described."""
    (n,) = struct.unpack_from("<I", body)
    head = json.loads(body[4:4 + n])
    values = np.frombuffer(body, dtype="<f4", offset=4 + n)
    c = len(head["channels"])
    shape = (c, head["n"]) if head["kind"] == "samples" else (c, 2, head["n"])
    return head, values.reshape(shape)


def create_app(store: str, record: str = None, allowed_hosts=None):
    """The application for `store`; `record` is opened first. With
    `allowed_hosts`, requests naming any other host are refused, so a web
    page elsewhere cannot reach a loopback server through a name of its own
    that resolves here (DNS rebinding)."""
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.middleware.trustedhost import TrustedHostMiddleware
    from starlette.exceptions import HTTPException
    from starlette.responses import FileResponse, JSONResponse, Response
    from starlette.routing import Mount, Route
    from starlette.staticfiles import StaticFiles

    view = StoreView(store)
    if record is not None and record not in view.names:
        raise ValueError(f"{store}: no record {record!r}")

    def params(request) -> dict:
        return dict(request.query_params)

    def binary(result) -> Response:
        head, values = result
        return Response(pack(head, values), media_type="application/octet-stream",
                        headers={"Cache-Control": "no-store"})

    def index(request):
        return FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-store"})

    def config(request):
        return JSONResponse({"store": Path(store).name if "://" not in store else store, "record": record})

    def records(request):
        return JSONResponse({"records": view.summaries()})

    def describe(request):
        return JSONResponse(view.describe(request.path_params["name"]))

    def data(request):
        return binary(view.data(request.path_params["name"], params(request)))

    def overview(request):
        return binary(view.overview_blocks(request.path_params["name"], params(request)))

    def annotations(request):
        return JSONResponse(view.annotations(request.path_params["name"], params(request)))

    async def request_error(request, exc: RequestError):
        return JSONResponse({"error": exc.message}, status_code=exc.status)

    async def http_error(request, exc: HTTPException):
        return JSONResponse({"error": exc.detail}, status_code=exc.status_code)

    async def server_error(request, exc: Exception):
        # One line for the user, never a traceback.
        return JSONResponse({"error": f"{type(exc).__name__}: {exc}"}, status_code=500)

    routes = [
        Route("/", index),
        Route("/api/config", config),
        Route("/api/records", records),
        Route("/api/records/{name}", describe),
        Route("/api/records/{name}/data", data),
        Route("/api/records/{name}/overview", overview),
        Route("/api/records/{name}/annotations", annotations),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    middleware = [] if allowed_hosts is None else [Middleware(TrustedHostMiddleware, allowed_hosts=list(allowed_hosts))]
    app = Starlette(routes=routes, middleware=middleware, exception_handlers={
        RequestError: request_error, HTTPException: http_error, Exception: server_error})
    app.state.view = view
    return app


# Serving

LOOPBACK = ("127.0.0.1", "::1", "localhost")


def bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError as exc:
        sock.close()
        raise ValueError(f"cannot listen on {host} port {port}: {exc.strerror or exc}") from None
    sock.listen(128)
    sock.set_inheritable(True)
    return sock


def serve(store: str, *, record=None, host: str = "127.0.0.1", port: int = 8765, browser: bool = True) -> int:
    from .._deps import require

    uvicorn = require("uvicorn", "The viewer")
    require("starlette", "The viewer")
    # On loopback only the names of this machine are answered.
    app = create_app(store, record, allowed_hosts=["127.0.0.1", "localhost", "::1", "[::1]"]
                     if host in LOOPBACK else None)
    sock = bind(host, port)
    bound = sock.getsockname()[1]
    shown = f"[{host}]" if ":" in host else host
    url = f"http://{shown}:{bound}/" + (f"#{record}" if record else "")
    if host not in LOOPBACK:
        print(f"vantoresk view: listening on {host}, not only this machine: "
              "anyone who can reach it may read the store", file=sys.stderr)
    print(f"Viewing {store} at {url} (Ctrl-C stops)", flush=True)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off",
                                           timeout_graceful_shutdown=2))
    if browser:
        threading.Timer(0.5, _open_browser, args=(url,)).start()
    # A Ctrl-C before the event loop starts the server leaves its coroutine
    # unawaited; the interrupt is reported as any other, without the warning.
    warnings.filterwarnings("ignore", message="coroutine 'Server.serve' was never awaited", category=RuntimeWarning)
    server.run(sockets=[sock])
    if not server.started:
        raise ValueError("the web server did not start")
    # uvicorn returns after a signal it caught; the caller reports it.
    raise KeyboardInterrupt


def _open_browser(url: str) -> None:
    import webbrowser

    try:
        webbrowser.open(url)
    except Exception:  # no browser here: the address is on the terminal
        pass
