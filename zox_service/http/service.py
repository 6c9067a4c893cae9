"""What the routes share, built once per process and handed to them through ``app.state``."""
import hmac
import time
from typing import Dict, List, Optional, Tuple

from starlette.responses import Response

from ..limits import Limits
from ..metrics import Metrics
from ..solver import Solvers
from ..stores.base import Store
from ..wire import RequestError, message_body
from .delivery import DeliveryBudget


def message(status: int, text: str, retry_after: Optional[int] = None,
            close: bool = False) -> Response:
    """A JSON message answer, in the form the client's scanner reads."""
    headers = {}
    if retry_after is not None:
        headers["Retry-After"] = str(retry_after)
    if close:
        headers["Connection"] = "close"
    return Response(message_body(text), status, headers, media_type="application/json")


class BodyBudget:
    """Bytes of request bodies being received at once; a body that does not fit is refused."""

    def __init__(self, limit: int, metrics: Metrics):
        self.limit = limit
        self.used = 0
        self._metrics = metrics

    def take(self, n: int) -> bool:
        if self.used + n > self.limit:
            return False
        self.used += n
        self._metrics.body_bytes_in_flight.set(self.used)
        return True

    def give(self, n: int) -> None:
        self.used -= n
        self._metrics.body_bytes_in_flight.set(self.used)


class WrongKeys:
    """Wrong keys by address over a short window: past `most` of them the address is answered
    busy, without its key being looked at, until the window ends. Guessing keys goes no faster
    than that; the table forgets an address once its window passes."""

    def __init__(self, most: int = 20, window: int = 10):
        self.most = most
        self.window = window
        self._seen: Dict[str, Tuple[float, int]] = {}

    def blocked(self, address: str) -> bool:
        started, n = self._seen.get(address, (0.0, 0))
        if time.monotonic() - started >= self.window:
            self._seen.pop(address, None)
            return False
        return n >= self.most

    def count(self, address: str) -> None:
        now = time.monotonic()
        if len(self._seen) > 100_000:  # many addresses: forget the old windows
            self._seen = {a: v for a, v in self._seen.items() if now - v[0] < self.window}
        started, n = self._seen.get(address, (now, 0))
        self._seen[address] = (started, n + 1)


class Service:
    def __init__(self, store: Store, limits: Limits, api_keys: List[bytes], metrics: Metrics,
                 solvers: Optional[Solvers]):
        self.store = store
        self.limits = limits
        self.api_keys = api_keys
        self.metrics = metrics
        self.solvers = solvers
        self.budget = BodyBudget(limits.max_body_in_flight, metrics)
        self.deliveries = DeliveryBudget(limits, metrics)
        self.wrong_keys = WrongKeys()

    def key_accepted(self, presented: bytes) -> bool:
        if not self.api_keys:
            return True
        ok = False
        for k in self.api_keys:  # no early exit, so the time taken does not tell which key came close
            ok |= hmac.compare_digest(k, presented)
        return ok

    def refused(self, e: RequestError, close: bool = False) -> Response:
        if e.reason is not None:
            self.metrics.refusals.labels(e.reason).inc()
        return message(e.status, e.message, e.retry_after, close)
