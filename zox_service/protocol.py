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
        super().on_headers_complete()

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

        loop = asyncio.get_running_loop()
        ctx: Optional[ssl.SSLContext] = config.ssl
        self.servers = [await loop.create_server(
            create_protocol, sock=self._sock, ssl=ctx, backlog=config.backlog,
            ssl_handshake_timeout=self._limits.header_timeout if ctx else None,
            # A peer that never answers our close_notify must not hold its connection (and a
            # graceful stop) for the loop's default of half a minute.
            ssl_shutdown_timeout=SSL_SHUTDOWN_TIMEOUT if ctx else None)]
        self.started = True
        self._on_started()
