"""`vantoresk view`: serve the viewer with uvicorn on a socket bound here
(so a taken port is a one-line error and port 0 gets a free one), open the
browser, and stop on Ctrl-C."""

from __future__ import annotations

import socket
import sys
import threading

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
    from .app import create_app

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
