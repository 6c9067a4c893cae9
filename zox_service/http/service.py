"""What the routes share, built once per process and handed to them through ``app.state``."""
import hmac
import time
from typing import Callable, Dict, List, Optional, Set, Tuple

from starlette.responses import Response

from ..limits import Limits
from ..metrics import Metrics
from ..protocol import JSON_MEDIA_TYPE
from ..solver import Solvers
from ..stores.base import Store
from ..wire import RequestError, message_body
from .delivery import DeliveryBudget


# An answer as it is sent: its status, its headers (names in lower case) and its body.
Answer = Tuple[int, Tuple[Tuple[bytes, bytes], ...], bytes]
_JSON = JSON_MEDIA_TYPE.encode("latin-1")


def answer(status: int, body: bytes, media_type: bytes = _JSON,
           extra: Tuple[Tuple[bytes, bytes], ...] = ()) -> Answer:
    """An answer with the headers a Starlette Response of the same body would carry, in its
    order: `extra`, then the length and the type."""
    return status, extra + ((b"content-length", b"%d" % len(body)),
                            (b"content-type", media_type)), body


def message_answer(status: int, text: str, retry_after: Optional[int] = None,
                   close: bool = False) -> Answer:
    """`message` as an answer, for the routes that send theirs without a Response."""
    extra: Tuple[Tuple[bytes, bytes], ...] = ()
    if retry_after is not None:
        extra += ((b"retry-after", b"%d" % retry_after),)
    if close:
        extra += ((b"connection", b"close"),)
    return answer(status, message_body(text), _JSON, extra)


def message(status: int, text: str, retry_after: Optional[int] = None,
            close: bool = False) -> Response:
    """A JSON message answer, in the form the client's scanner reads."""
    headers = {}
    if retry_after is not None:
        headers["Retry-After"] = str(retry_after)
    if close:
        headers["Connection"] = "close"
    return Response(message_body(text), status, headers, media_type=JSON_MEDIA_TYPE)


class BodyBudget:
    """Bytes of request bodies being received at once; a body that does not fit is refused."""

    def __init__(self, limit: int, metrics: Metrics):
        self.limit = limit
        self.used = 0
        self._metrics = metrics

    def take(self, n: int) -> bool:
        if self.used + n > self.limit:
            return False
        if n:
            self.used += n
            self._metrics.body_bytes_in_flight.set(self.used)
        return True

    def give(self, n: int) -> None:
        if n:
            self.used -= n
            self._metrics.body_bytes_in_flight.set(self.used)


class WrongKeys:
    """Keys guessed from an address over a short window.

    Each distinct wrong key counts once (a client repeating one stale key is not guessing). Past
    `most` of them, the address's keys are answered busy without being looked at until the window
    ends, except keys that were accepted from that address before: a guesser slows itself, never
    the clients already working through the same address (a proxy whose forwarded address is not
    trusted). Tables are bounded: old windows and keys are forgotten."""

    TABLE_MOST = 100_000

    def __init__(self, most: int = 20, window: int = 10, remember: float = 3600.0):
        self.most = most
        self.window = window
        self.remember = remember
        self._guesses: Dict[bytes, Tuple[float, Set[int]]] = {}  # address: start, wrong keys
        self._accepted: Dict[Tuple[bytes, int], float] = {}  # (address, key): last accepted

    def judge(self, address: bytes, presented: bytes, accepted: Callable[[bytes], bool]
              ) -> Optional[bool]:
        """True for an accepted key, False for a wrong one, None when the address is answered
        busy. Keys are held as fingerprints (the interpreter's keyed hash), never as keys."""
        now = time.monotonic()
        fingerprint = hash(presented)
        guesses = self._guesses.get(address)
        if guesses is not None and now - guesses[0] >= self.window:
            del self._guesses[address]
            guesses = None
        if guesses is not None and len(guesses[1]) >= self.most \
                and fingerprint not in guesses[1] and (address, fingerprint) not in self._accepted:
            return None
        if accepted(presented):
            if len(self._accepted) >= self.TABLE_MOST:
                self._accepted = {k: t for k, t in self._accepted.items()
                                  if now - t < self.remember}
                if len(self._accepted) >= self.TABLE_MOST:
                    self._accepted.clear()
            self._accepted[(address, fingerprint)] = now
            return True
        if guesses is None:
            if len(self._guesses) >= self.TABLE_MOST:
                self._guesses = {a: g for a, g in self._guesses.items()
                                 if now - g[0] < self.window}
            guesses = self._guesses[address] = (now, set())
        guesses[1].add(fingerprint)
        return False


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

    def refused(self, e: RequestError, close: bool = False) -> Answer:
        if e.reason is not None:
            self.metrics.refusals.labels(e.reason).inc()
        return message_answer(e.status, e.message, e.retry_after, close)
