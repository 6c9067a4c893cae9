"""Running the application on uvicorn, through its documented settings, behind the edge.

uvicorn listens on the edge's private unix socket and runs the application's lifespan and its
graceful stop; nginx (edge.py) is the only client it has, and sets the client's address.
"""
import asyncio
import sys
from typing import Callable

import uvicorn

from ..limits import Limits
from .app import ServiceApp
from .edge import Edge

# How often a stop request is looked for: the edge stops accepting within this of a SIGTERM.
STOP_CHECK = 0.02
# Longer than the edge keeps an idle connection to the application, so that the edge is the
# one to close it and never sends a request on a connection being closed here.
UPSTREAM_IDLE = 75


def make_server(app: ServiceApp, limits: Limits, verbose: bool, socket_path: str) -> uvicorn.Server:
    config = uvicorn.Config(
        app, uds=socket_path, loop="none", http="httptools", ws="none", lifespan="on",
        timeout_keep_alive=UPSTREAM_IDLE, access_log=verbose, server_header=False,
        # The edge sends its own Date (and drops this one): no header made per answer here.
        date_header=False,
        log_level="info" if verbose else "warning",
        # The edge is the only peer: its X-Forwarded-For names the client. The routes of a solve
        # read it themselves; the server's own reading, a few microseconds a request, is for the
        # access log.
        proxy_headers=verbose, forwarded_allow_ips="*",
        # Answers being written get this long after a stop; a held poll ends within poll_wait.
        timeout_graceful_shutdown=int(limits.poll_wait + 5))
    return uvicorn.Server(config)


async def serve(server: uvicorn.Server, edge: Edge, on_started: Callable[[], None]) -> int:
    """Serves until a stop signal (0), or until the edge is gone (2: nothing would reach the
    service; stopping lets a supervisor start it again); 2 when the application could not start.
    A failure is explained on standard error."""
    serving = asyncio.ensure_future(server.serve())
    while not server.started and not serving.done():
        await asyncio.sleep(STOP_CHECK)
    if not server.started:
        try:
            await serving
        except SystemExit:  # the application's start failed; it said why
            pass
        sys.stderr.write("zox_service: could not start (see above)\n")
        return 2
    on_started()
    lost = False
    while not server.should_exit and not serving.done():
        await asyncio.sleep(STOP_CHECK)
        if not edge.alive():
            lost = True
            sys.stderr.write("zox_service: the edge (nginx) exited; stopping\n")
            server.should_exit = True
    edge.stop_accepting()
    await serving
    return 2 if lost else 0
