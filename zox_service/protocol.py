"""Connection guards at the HTTP server's protocol layer: deadlines that trickling cannot extend,
a bound on the request head, and JSON answers for what the server refuses by itself."""
import asyncio
import socket
import ssl
from typing import Any, Callable, List, Optional

import uvicorn
from uvicorn.protocols.http.httptools_impl import STATUS_LINE, HttpToolsProtocol

from .config import Limits
from .metrics import Metrics
from .wire import message_body


SSL_SHUTDOWN_TIMEOUT = 2.0


class CoalescingWriter:
    """What a request's response cycle writes to: the pieces written in one turn of the event loop
    (the server writes an answer's head and its body separately) go out as one write at the end
    of the turn. Over TLS each write is a record of its own, encrypted and sent with a system call
    of its own, and the peer wakes for each: one write per answer halves that work on both sides."""

    __slots__ = ("_transport", "_loop", "_pending")

    def __init__(self, transport: asyncio.Transport, loop: asyncio.AbstractEventLoop):
        self._transport = transport
        self._loop = loop
        self._pending: List[bytes] = []

    def write(self, data: bytes) -> None:
        if not data:
            return
        if not self._pending:
            self._loop.call_soon(self.flush)
        self._pending.append(data)

    def flush(self) -> None:
        if not self._pending:
            return
        data = self._pending[0] if len(self._pending) == 1 else b"".join(self._pending)
        self._pending = []
        if not self._transport.is_closing():
            self._transport.write(data)

    def close(self) -> None:
        self.flush()
        self._transport.close()

    def is_closing(self) -> bool:
        return self._transport.is_closing()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)


class GuardedHttpToolsProtocol(HttpToolsProtocol):
    """uvicorn's httptools protocol with three guards:

    - the TLS handshake plus the first request's line and headers must end within
      ``header_timeout`` of the accept (the handshake alone is bounded by the listener's
      handshake time-out, set to the same value); a later request on a kept-alive connection gets
      ``header_timeout`` from its first byte;
    - a body must arrive within ``body_timeout`` + Content-Length / ``body_min_rate``;
    - a request head larger than ``max_header_bytes`` is answered 431.

    A connection past a deadline is aborted. Idle connections cost a timer, no thread.
    """

    limits: Limits = Limits()
    metrics: Optional[Metrics] = None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # Made when the connection is accepted, before its handshake.
        self._accepted = self.loop.time()
        self._deadline: Optional[asyncio.TimerHandle] = None
        self._in_head = True
        self._head_bytes = 0
        self._writer: Optional[CoalescingWriter] = None

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        if self.metrics is not None:
            self.metrics.connections_open.inc()
        self._arm(self._accepted + self.limits.header_timeout - self.loop.time(), "header_timeout")

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._disarm()
        if self.metrics is not None:
            self.metrics.connections_open.dec()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if self._in_head:
            self._head_bytes += len(data)
        super().data_received(data)
        if self._in_head and self._head_bytes > self.limits.max_header_bytes \
                and not self.transport.is_closing():
            self._cut("header_bytes")
            self._answer_and_close(431, "Request header fields too large")

    def on_message_begin(self) -> None:
        super().on_message_begin()
        if self._deadline is None:  # a later request on a kept-alive connection
            self._arm(self.limits.header_timeout, "header_timeout")

    def on_headers_complete(self) -> None:
        self._in_head = False
        self._disarm()
        length = 0
        for name, value in self.headers:
            if name == b"content-length" and value.isdigit():
                length = int(value)
        self._arm(self.limits.body_timeout + length / self.limits.body_min_rate, "body_timeout")
        before = self.cycle
        super().on_headers_complete()
        if self.cycle is not before and self.cycle is not None:
            if self._writer is None:
                self._writer = CoalescingWriter(self.transport, self.loop)
            self.cycle.transport = self._writer  # type: ignore[assignment]

    def on_message_complete(self) -> None:
        self._disarm()
        self._in_head = True
        self._head_bytes = 0
        super().on_message_complete()

    def send_400_response(self, msg: str) -> None:
        self._answer_and_close(400, "Invalid HTTP request")

    def _answer_and_close(self, status: int, text: str) -> None:
        body = message_body(text)
        self.transport.write(b"".join([
            STATUS_LINE[status], b"content-type: application/json\r\n",
            b"content-length: %d\r\nconnection: close\r\n\r\n" % len(body), body]))
        self.transport.close()

    def _arm(self, delay: float, reason: str) -> None:
        self._disarm()
        self._deadline = self.loop.call_later(max(0.0, delay), self._expire, reason)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def _expire(self, reason: str) -> None:
        self._deadline = None
        if not self.transport.is_closing():
            self._cut(reason)
            self.transport.abort()

    def _cut(self, reason: str) -> None:
        if self.metrics is not None:
            self.metrics.connections_cut.labels(reason).inc()


def guarded_protocol(limits: Limits, metrics: Metrics) -> type:
    """The protocol class to pass to uvicorn as ``http=``, bound to these limits."""
    return type("ServiceHttpProtocol", (GuardedHttpToolsProtocol,),
                {"limits": limits, "metrics": metrics})


class Server(uvicorn.Server):
    """uvicorn's server on a listening socket made by the caller, with the TLS handshake bounded
    by the header deadline (uvicorn leaves it at the event loop's default of a minute)."""

    def __init__(self, config: uvicorn.Config, sock: socket.socket, limits: Limits,
                 on_started: Callable[[], None]):
        super().__init__(config)
        self._sock = sock
        self._limits = limits
        self._on_started = on_started

    async def startup(self, sockets: Optional[List[socket.socket]] = None) -> None:
        await self.lifespan.startup()
        if self.lifespan.should_exit:
            self.should_exit = True
            return
        config = self.config

        def create_protocol(_loop: Optional[asyncio.AbstractEventLoop] = None) -> asyncio.Protocol:
            return config.http_protocol_class(  # type: ignore[call-arg]
                config=config, server_state=self.server_state, app_state=self.lifespan.state,
                _loop=_loop)

        ctx: Optional[ssl.SSLContext] = config.ssl
        self._sock.listen(config.backlog)
        self.servers = [Acceptor(self._sock, create_protocol, ctx, self._limits.header_timeout)]  # type: ignore[list-item]
        self.started = True
        self._on_started()


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
        self._handshakes: "set[asyncio.Task[None]]" = set()
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
