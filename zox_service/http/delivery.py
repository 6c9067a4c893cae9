"""Sending results: every poll of a result is sent from the one copy the store holds, a window at
a time as its reader takes it, and the windows of answers on their way count against a budget per
key and in all, so readers that do not read cannot make the service hold more."""
import time
from typing import AsyncIterator, Dict

from starlette.responses import Response, StreamingResponse

from ..jobs import RETRY_SOON
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


def payload_response(budget: DeliveryBudget, owner: str, payload: bytes, limits: Limits,
                     metrics: Metrics) -> Response:
    """The result payload as an answer; RequestError when the budget is spent."""
    if len(payload) <= WINDOW:
        return Response(payload, 200, media_type="application/gzip")
    budget.take(owner, IN_FLIGHT)
    # The edge cuts a reader that takes nothing for --send-timeout; one that takes a little now
    # and then is held to the minimum rate here, window by window.
    allowed = limits.send_timeout + WINDOW / limits.send_min_rate

    async def windows() -> AsyncIterator[memoryview]:
        try:
            view = memoryview(payload)
            last = time.monotonic()
            for start in range(0, len(view), WINDOW):
                # The server waits for its reader before taking the next window.
                now = time.monotonic()
                if now - last > allowed:
                    metrics.connections_cut.labels("send_timeout").inc()
                    raise ReaderTooSlow()
                last = now
                yield view[start:start + WINDOW]
        finally:
            budget.give(owner, IN_FLIGHT)

    return StreamingResponse(windows(), 200, {"Content-Length": str(len(payload))},
                             media_type="application/gzip")


