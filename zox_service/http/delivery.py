"""Sending results: every poll of a result is sent from the one copy the store holds (in this
process, or read from Redis a range at a time), a window at a time as its reader takes it, and the
windows of answers on their way count against a budget per key and in all, so readers that do not
read cannot make the service hold more."""
import time
from typing import AsyncIterator, Callable, Dict, Union

from starlette.responses import Response, StreamingResponse
from starlette.types import Receive, Scope, Send

from ..jobs import RETRY_SOON, Outcome
from ..limits import Limits
from ..metrics import Metrics
from ..wire import busy

# What one answer can hold at once: the window being written, and what the transport to the edge
# and the edge itself buffer (64 KiB each).
WINDOW = 64 * 1024
IN_FLIGHT = 3 * WINDOW


class ReaderTooSlow(Exception):
    """An answer's reader took a window slower than the minimum rate: its connection is closed."""


class DeliveryBudget:
    def __init__(self, limits: Limits, metrics: Metrics):
        self._limits = limits
        self._metrics = metrics
        self._by_owner: Dict[str, int] = {}
        self._total = 0

    def take(self, owner: str, n: int) -> None:
        lim = self._limits
        if self._by_owner.get(owner, 0) + n > lim.max_unsent_bytes_per_key:
            raise busy("key_unsent_bytes", f"answers of {lim.max_unsent_bytes_per_key} bytes are "
                       "on their way to this key (--max-unsent-bytes-per-key); read them first",
                       RETRY_SOON)
        if self._total + n > lim.max_unsent_bytes:
            raise busy("unsent_bytes", f"answers of {lim.max_unsent_bytes} bytes are on their "
                       "way to slow readers (--max-unsent-bytes)", RETRY_SOON)
        self._by_owner[owner] = self._by_owner.get(owner, 0) + n
        self._total += n
        self._metrics.unsent_bytes.set(self._total)

    def give(self, owner: str, n: int) -> None:
        left = self._by_owner[owner] - n
        if left:
            self._by_owner[owner] = left
        else:
            del self._by_owner[owner]
        self._total -= n
        self._metrics.unsent_bytes.set(self._total)


class HeldAnswer(StreamingResponse):
    """A streamed answer that gives back what it holds of the budget once the server is done with
    it, however that ends: sent, cut, or dropped before its first window (its reader gone while the
    poll waited), when its windows never start and so could not give it back themselves."""

    def __init__(self, windows: AsyncIterator[Union[bytes, memoryview]], size: int,
                 give: Callable[[], None]):
        super().__init__(windows, 200, {"Content-Length": str(size)},
                         media_type="application/gzip")
        self._give = give

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            self._give()


class PayloadGone(Exception):
    """The store lost the rest of a payload while it was being sent: the answer is cut short."""


def payload_response(budget: DeliveryBudget, owner: str, outcome: Outcome, limits: Limits,
                     metrics: Metrics) -> Response:
    """The result payload as an answer; RequestError when the budget is spent."""
    size = outcome.size if outcome.read is not None else len(outcome.payload)
    if size <= WINDOW and outcome.read is None:
        return Response(outcome.payload, 200, media_type="application/gzip")
    budget.take(owner, IN_FLIGHT)
    # The edge cuts a reader that takes nothing for --send-timeout; one that takes a little now
    # and then is held to the minimum rate here, window by window.
    allowed = limits.send_timeout + WINDOW / limits.send_min_rate

    async def windows() -> AsyncIterator[Union[bytes, memoryview]]:
        view = memoryview(outcome.payload)
        start = 0
        while start < size:
            end = min(size, start + WINDOW)
            if outcome.read is None or end <= len(view):
                piece: Union[bytes, memoryview] = view[start:end]
            else:
                piece = await outcome.read(start, end)
                if len(piece) != end - start:
                    raise PayloadGone(f"{size - start} bytes of the result were lost")
            # The server asks for the next window once its reader has taken this one; the
            # store's read of the next is not the reader's time.
            handed = time.monotonic()
            yield piece
            if end < size and time.monotonic() - handed > allowed:
                metrics.connections_cut.labels("send_timeout").inc()
                raise ReaderTooSlow()
            start = end

    return HeldAnswer(windows(), size, lambda: budget.give(owner, IN_FLIGHT))


