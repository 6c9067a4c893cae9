"""Running the application on uvicorn through its documented interface, on a listener of our own.

uvicorn runs the application's lifespan and its graceful stop (``Server.serve`` given no sockets
of its own to listen on); connections come from the Acceptor below, each one an instance of
uvicorn's httptools protocol wrapped in a connection guard, with the TLS handshake bounded by the
header deadline (uvicorn would leave it at the event loop's default of a minute).
"""
import asyncio
import socket
import ssl
from typing import Callable, Optional, Sequence, Set

import uvicorn
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from ..limits import Limits
from ..metrics import Metrics
from .app import ServiceApp
from .guard import guard_class

SSL_SHUTDOWN_TIMEOUT = 2.0
# How often a stop request is looked for: the listener closes within this of a SIGTERM.
STOP_CHECK = 0.02


def make_server(app: ServiceApp, limits: Limits, verbose: bool,
                forwarded_allow_ips: Sequence[str] = ()) -> uvicorn.Server:
    config = uvicorn.Config(
        app, loop="none", http="httptools", ws="none", lifespan="on",
        # X-Forwarded-For is believed only from the proxies the operator named.
        proxy_headers=bool(forwarded_allow_ips), forwarded_allow_ips=list(forwarded_allow_ips),
        timeout_keep_alive=int(max(1, limits.keep_alive_timeout)), access_log=verbose,
        server_header=False, log_level="info" if verbose else "warning",
        # Answers being written get this long after a stop; a held poll ends within poll_wait.
        timeout_graceful_shutdown=int(limits.poll_wait + 5))
    config.load()
    return uvicorn.Server(config)


async def serve(server: uvicorn.Server, sock: socket.socket, ctx: Optional[ssl.SSLContext],
                limits: Limits, metrics: Metrics, on_started: Callable[[], None]) -> bool:
    """Serves until a stop signal; False when the application could not start."""
    serving = asyncio.ensure_future(server.serve(sockets=[]))
    while not server.started and not serving.done():
        await asyncio.sleep(STOP_CHECK)
    if not server.started:
        try:
            await serving
        except SystemExit:  # the application's start failed; it said why
            pass
        return False
    loop = asyncio.get_running_loop()
    guard = guard_class(limits, metrics)

    def connection() -> asyncio.Protocol:
        return guard(HttpToolsProtocol(config=server.config, server_state=server.server_state,
                                       app_state={}, _loop=loop), loop)

    sock.listen(4096)
    acceptor = Acceptor(sock, connection, ctx, limits.header_timeout)
    on_started()
    while not server.should_exit and not serving.done():
        await asyncio.sleep(STOP_CHECK)
    acceptor.close()
    await serving
    return True


class Acceptor:
    """Accepts connections on a listening socket and hands each to the event loop's transports
    (TLS handshake included), taking every connection waiting at each wake-up.

    The event loop's own server takes one connection per turn of the loop (libuv stopped accepting
    in a loop): with a busy loop a burst of clients then waits in the kernel's queue while the
    connected ones are served, and a thousand clients arriving at once waited seconds for their
    turn to be accepted. Here each wake-up accepts up to ACCEPT_BATCH connections."""

    ACCEPT_BATCH = 512
    # Out of descriptors (or memory): wait before trying again, instead of spinning on the
    # listening socket that stays readable.
    RETRY_DELAY = 0.5

    def __init__(self, sock: socket.socket, protocol_factory: Callable[[], asyncio.Protocol],
                 ctx: Optional[ssl.SSLContext], handshake_timeout: float):
        self._sock = sock
        self._factory = protocol_factory
        self._ctx = ctx
        self._handshake_timeout = handshake_timeout
        self._loop = asyncio.get_running_loop()
        self._handshakes: Set["asyncio.Task[None]"] = set()
        self._closed = False
        sock.setblocking(False)
        self._loop.add_reader(sock.fileno(), self._accept)

    def _accept(self) -> None:
        for _ in range(self.ACCEPT_BATCH):
            try:
                conn, _addr = self._sock.accept()
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionAbortedError:
                continue
            except OSError:  # EMFILE, ENFILE, ENOBUFS, ENOMEM
                self._loop.remove_reader(self._sock.fileno())
                self._loop.call_later(self.RETRY_DELAY, self._resume)
                return
            task = self._loop.create_task(self._open(conn))
            self._handshakes.add(task)
            task.add_done_callback(self._handshakes.discard)

    def _resume(self) -> None:
        if not self._closed:
            self._loop.add_reader(self._sock.fileno(), self._accept)

    async def _open(self, conn: socket.socket) -> None:
        conn.setblocking(False)
        try:
            if self._ctx is None:
                await self._loop.connect_accepted_socket(self._factory, conn)
            else:
                await self._loop.connect_accepted_socket(
                    self._factory, conn, ssl=self._ctx,
                    ssl_handshake_timeout=self._handshake_timeout,
                    # A peer that never answers our close_notify must not hold its connection
                    # (and a graceful stop) for the loop's default of half a minute.
                    ssl_shutdown_timeout=SSL_SHUTDOWN_TIMEOUT)
        except Exception:
            # A failed or timed-out handshake: the transport is closed already; nothing to tell.
            conn.close()

    def close(self) -> None:
        """Stops accepting; connections still in their handshake are dropped."""
        if self._closed:
            return
        self._closed = True
        self._loop.remove_reader(self._sock.fileno())
        self._sock.close()
        for task in list(self._handshakes):
            task.cancel()

    async def wait_closed(self) -> None:
        if self._handshakes:
            await asyncio.gather(*self._handshakes, return_exceptions=True)
