"""Connection guards in front of the HTTP server's protocol: deadlines that trickling cannot
extend, an exact bound on the request head, a write deadline for slow readers, and JSON answers
for requests that cannot be parsed.

The guard is the asyncio protocol of each accepted connection. It is made at the accept, before
the TLS handshake, so the first deadline counts from there; it follows the request framing with
a parser of its own, and hands the bytes, and a transport of its own, to the HTTP protocol it
wraps by delegation. Idle connections cost a timer, no thread.
"""
import asyncio
from typing import Any, Callable, List, Optional, cast

import httptools

from ..limits import Limits
from ..metrics import Metrics
from ..wire import message_body

_HEAD_END = b"\r\n\r\n"
COALESCE_BELOW = 16 * 1024
SEND_BUFFER = 64 * 1024
_REASONS = {400: b"Bad Request", 431: b"Request Header Fields Too Large"}


def _nothing() -> None:
    pass


class GuardedTransport:
    """What the wrapped protocol writes to. Pieces written in one turn of the event loop (the
    server writes an answer's head and its body separately) go out as one write at the end of
    the turn: over TLS each write is a record of its own, encrypted and sent with a system call of
    its own, and the peer wakes for each."""

    __slots__ = ("_transport", "_loop", "_pending", "_on_close")

    def __init__(self, transport: asyncio.Transport, loop: asyncio.AbstractEventLoop,
                 on_close: Callable[[], None] = lambda: None):
        self._transport = transport
        self._loop = loop
        self._pending: List[bytes] = []
        self._on_close = on_close

    def write(self, data: bytes) -> None:
        if not data:
            return
        if len(data) >= COALESCE_BELOW:
            # Large pieces go out at once, so the transport's flow control sees them.
            self._pending.append(data)
            self.flush()
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
        self._on_close()
        self._transport.close()

    def release(self) -> None:
        """The connection is gone: nothing left here may keep its guard alive."""
        self._pending = []
        self._on_close = _nothing

    def is_closing(self) -> bool:
        return self._transport.is_closing()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)


class ConnectionGuard(asyncio.Protocol):
    """Per connection:

    - the TLS handshake plus the first request's line and headers must end within
      ``header_timeout`` of the accept; a later request gets ``header_timeout`` from its first
      byte;
    - a body must arrive within ``body_timeout`` + Content-Length / ``body_min_rate``;
    - a request head longer than ``max_header_bytes`` is answered 431;
    - a reader that keeps the answer's buffer full for ``send_timeout`` + the buffer over
      ``send_min_rate`` is cut, as is one that leaves an answer unread once the connection closes.

    A connection past a deadline is aborted. Bound to its settings by ``guard_class``.
    """

    limits: Limits = Limits()
    metrics: Optional[Metrics] = None

    def __init__(self, inner: asyncio.Protocol, loop: asyncio.AbstractEventLoop) -> None:
        self._inner: Any = inner
        self._loop = loop
        self._accepted = loop.time()
        self._transport: Optional[asyncio.Transport] = None
        self._deadline: Optional[asyncio.TimerHandle] = None
        self._parser: Optional[httptools.HttpRequestParser] = httptools.HttpRequestParser(self)
        self._in_head = True
        self._head_bytes = 0
        self._tail = b""  # the last bytes of the head so far, for a terminator split across reads
        self._body_left: Optional[int] = None  # None: not framed by Content-Length
        self._length = 0
        self._chunked = False
        self._refusal: Optional[int] = None
        self._closing = False
        self._lost = False
        self._writer: Optional[GuardedTransport] = None

    # The transport side; the TLS handshake, bounded by the listener, is over when this is made.
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._transport = cast(asyncio.Transport, transport)
        # What an answer may hold in this process beyond the window being sent (TLS keeps half a
        # megabyte by default): a reader that does not read holds no more.
        self._transport.set_write_buffer_limits(high=SEND_BUFFER)
        self._arm(self._accepted + self.limits.header_timeout - self._loop.time(),
                  "header_timeout")
        if self.metrics is not None:
            self.metrics.connections_open.inc()
        self._writer = GuardedTransport(self._transport, self._loop, self._on_close)
        self._inner.connection_made(self._writer)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        # The server closes its side as it learns of the loss; no deadline is due for a
        # connection already gone, and nothing may keep this one alive: its parser and the
        # writer's close callback refer back to it, and a timer would hold it for its delay.
        self._lost = True
        if self.metrics is not None:
            self.metrics.connections_open.dec()
        self._inner.connection_lost(exc)
        self._disarm()
        if self._writer is not None:
            self._writer.release()
        self._parser = None
        self._transport = None

    def eof_received(self) -> Optional[bool]:
        return self._inner.eof_received()

    def pause_writing(self) -> None:
        low, high = self._transport.get_write_buffer_limits() if self._transport else (0, 0)
        self._arm(self.limits.send_timeout + (high - low) / self.limits.send_min_rate,
                  "send_timeout")
        self._inner.pause_writing()

    def resume_writing(self) -> None:
        if self._deadline_reason == "send_timeout":
            self._disarm()
        self._inner.resume_writing()

    def _on_close(self) -> None:
        # An answer still buffered when the server closes must be taken at the minimum rate.
        t = self._transport
        if t is not None and not self._closing and not self._lost and t.get_write_buffer_size():
            self._closing = True
            self._arm(self.limits.send_timeout + t.get_write_buffer_size()
                      / self.limits.send_min_rate, "send_timeout")

    def data_received(self, data: bytes) -> None:
        if self._refusal is not None or self._parser is None:
            return
        try:
            self._follow(data)
        except httptools.HttpParserUpgrade:
            # No protocol is served after an upgrade: this request is the connection's last.
            self._refusal = 0
        except httptools.HttpParserError:
            self._refusal = 400
        if self._refusal:
            self._refuse(self._refusal)
            return
        self._inner.data_received(data)

    # Framing: which part of the stream is a head, a body, or between requests.
    def _follow(self, data: bytes) -> None:
        parser = self._parser
        assert parser is not None
        pos, n = 0, len(data)
        while pos < n and self._refusal is None:
            if self._in_head:
                seen = self._tail + data[pos:pos + self.limits.max_header_bytes + 4]
                end = seen.find(_HEAD_END)
                taken = (end + 4 - len(self._tail)) if end >= 0 else n - pos
                if self._head_bytes + taken > self.limits.max_header_bytes:
                    self._refusal = 431
                    return
                self._head_bytes += taken
                self._tail = b"" if end >= 0 else seen[-3:]
                parser.feed_data(data[pos:pos + taken])
                pos += taken
            elif self._body_left is not None:
                taken = min(self._body_left, n - pos)
                self._body_left -= taken
                parser.feed_data(data[pos:pos + taken])
                pos += taken
            else:  # a chunked body: its end is wherever the parser finds it
                parser.feed_data(data[pos:])
                pos = n

    def on_message_begin(self) -> None:
        if self._deadline is None:  # a later request on a kept-alive connection
            self._arm(self.limits.header_timeout, "header_timeout")

    def on_header(self, name: bytes, value: bytes) -> None:
        name = name.lower()
        if name == b"content-length" and value.strip().isdigit():
            self._length = int(value)
        elif name == b"transfer-encoding":
            self._chunked = True

    def on_headers_complete(self) -> None:
        self._in_head = False
        self._body_left = None if self._chunked else self._length
        self._arm(self.limits.body_timeout + self._length / self.limits.body_min_rate,
                  "body_timeout")

    def on_message_complete(self) -> None:
        self._disarm()
        self._in_head = True
        self._head_bytes = 0
        self._tail = b""
        self._length = 0
        self._chunked = False

    def _refuse(self, status: int) -> None:
        assert self._transport is not None
        if status:
            self._cut("header_bytes" if status == 431 else "bad_request")
            text = "Request header fields too large" if status == 431 else "Invalid HTTP request"
            body = message_body(text)
            self._transport.write(b"".join([
                b"HTTP/1.1 %d %s\r\ncontent-type: application/json\r\n" % (status,
                                                                           _REASONS[status]),
                b"content-length: %d\r\nconnection: close\r\n\r\n" % len(body), body]))
        self._transport.close()

    # Deadlines.
    _deadline_reason = ""

    def _arm(self, delay: float, reason: str) -> None:
        self._disarm()
        self._deadline_reason = reason
        self._deadline = self._loop.call_later(max(0.0, delay), self._expire, reason)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None
            self._deadline_reason = ""

    def _expire(self, reason: str) -> None:
        self._deadline = None
        transport = self._transport
        if transport is not None and (reason == "send_timeout" or not transport.is_closing()):
            self._cut(reason)
            transport.abort()

    def _cut(self, reason: str) -> None:
        if self.metrics is not None:
            self.metrics.connections_cut.labels(reason).inc()


def guard_class(limits: Limits, metrics: Metrics) -> type:
    """ConnectionGuard bound to these settings."""
    return type("ServiceConnection", (ConnectionGuard,), {"limits": limits, "metrics": metrics})
