"""What a job is, whose it is, and the one table of quotas that admits or refuses it in every store.

Owners are fingerprints of API keys, so no store ever holds a key. A request id carries a tag that
binds it to its owner: a poll whose id was made for its own key but that the store no longer knows
is a job the store lost (or a result that expired), which is final, whichever front end answers and
after any restart; an id not made for the polling key is unknown, before and after its job ends, so
another key learns nothing of it. The tag needs no secret: only the owner can poll as the owner.
"""
import functools
import hashlib
import hmac
import os
from array import array
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple

from .limits import Limits
from .protocol import REQUEST_ID_HEX_DIGITS, WITNESS_HEADER_WORDS
from .wire import RequestError, busy

# Kinds of answer a job asks for; every kind is submitted with values and fetched by the same poll.
SUMS = "sums"
SUBSET = "subset"  # the indices of values that add up to a target
KINDS = (SUMS, SUBSET)

RETRY_SOON = 1  # seconds: a slot frees as soon as a solve ends
RETRY_LATER = 30  # seconds: held results free as they are delivered or expire
# What a held result costs beyond its payload (its record, its id, its place in the expiry order),
# so that many tiny results are not free.
RESULT_OVERHEAD = 512


@functools.lru_cache(maxsize=4096)
def owner_of(key: bytes) -> str:
    """The name a key's problems are kept under: a digest, so a store never holds a key. Made
    once per key (every request of a key asks for it); only accepted keys come here, and with
    no keys configured the cache keeps the most recent."""
    return hashlib.sha256(b"zox-owner:" + key).hexdigest()[:32]


# An id's hex digits: the nonce, then the tag.
_NONCE_DIGITS = REQUEST_ID_HEX_DIGITS // 2
_TAG_DIGITS = REQUEST_ID_HEX_DIGITS - _NONCE_DIGITS


_NONCE_BYTES = _NONCE_DIGITS // 2
# The system's random bytes for many ids at once: a system call per id was a tenth of a submit's
# time. Each nonce is taken once (a list's pop is atomic across threads), and a forked child
# draws its own.
_nonces: List[bytes] = []
os.register_at_fork(after_in_child=_nonces.clear)


def new_request_id(owner: str) -> str:
    try:
        nonce = _nonces.pop()
    except IndexError:
        pool = os.urandom(256 * _NONCE_BYTES)
        nonce = pool[:_NONCE_BYTES]  # its own: another thread may take the rest meanwhile
        _nonces.extend(pool[i:i + _NONCE_BYTES]
                       for i in range(_NONCE_BYTES, len(pool), _NONCE_BYTES))
    text = nonce.hex()
    return text + _tag(owner, text)


def issued_to(request_id: str, owner: str) -> bool:
    """Whether `request_id` is one made for `owner` (an id of REQUEST_ID_HEX_DIGITS hex digits,
    checked by the caller)."""
    return hmac.compare_digest(_tag(owner, request_id[:_NONCE_DIGITS]),
                               request_id[_NONCE_DIGITS:])


def _tag(owner: str, nonce: str) -> str:
    return hashlib.blake2b((nonce + owner).encode(), digest_size=_TAG_DIGITS // 2,
                           person=b"zox-request-id").hexdigest()


def no_solver() -> RequestError:
    return RequestError(503, "no solver is running", retry_after=5, reason="no_solver")


def store_full() -> RequestError:
    return busy("store_full", "the store is full (its memory limit is reached)", RETRY_LATER)


class StoreError(Exception):
    """The store cannot be reached or refused to work; the front end answers 503."""


@dataclass
class Job:
    """Everything a solver needs, and the store's own handle to acknowledge it."""

    request_id: str
    owner: str
    values: array
    ttl: float
    kind: str = SUMS
    target: int = 0  # the sum a SUBSET job looks for
    handle: Any = None


@dataclass
class Outcome:
    state: str  # "unknown", "pending", "done", "failed" or "gone"
    payload: bytes = b""  # all of it, or its first bytes when `read` is given
    error: str = ""
    # A payload kept elsewhere and sent a range at a time: its size, and how to read bytes
    # [start, end) of it (fewer bytes when it is gone meanwhile).
    size: int = 0
    read: Optional[Callable[[int, int], Awaitable[bytes]]] = None


UNKNOWN = Outcome("unknown")
PENDING = Outcome("pending")
GONE = Outcome("gone", error="the job was lost by the store or its result expired; submit it again")
CANCELLED = "the job was cancelled by its owner"


def gzip_bound(n: int) -> int:
    """The most a gzip stream of `n` bytes can take: zlib's own bound for deflate's defaults
    (deflateBound; a block that would grow is stored instead), with the 18 bytes of the gzip
    wrapper."""
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 7 + 18


def result_bytes(kind: str, count: int, total: int) -> int:
    """Bytes of a job's answer before compression: the sum bitset, or a witness of at most every
    index (found or not, how many, the indices)."""
    return 8 * (WITNESS_HEADER_WORDS + count) if kind == SUBSET else 8 * (total // 64 + 1)


def result_reservation(total: int, kind: str = SUMS, count: int = 0) -> int:
    """What an unsolved problem holds of its key's and the store's budget: the most its stored
    result can take. Nothing known before the solve bounds how well a bitset compresses, so this
    is the incompressible case; once solved, the result counts at its real size instead."""
    return gzip_bound(result_bytes(kind, count, total)) + RESULT_OVERHEAD


def job_cost(total: int, kind: str, values: int) -> int:
    """What an unsolved problem holds of its key's and the store's budget: its values as stored
    (8 bytes each, until its solver takes them) and the room its result may need."""
    return result_reservation(total, kind, values) + 8 * values


def payload_cost(payload: Optional[bytes]) -> int:
    return (len(payload) if payload is not None else 0) + RESULT_OVERHEAD


@dataclass(frozen=True)
class Quota:
    """One admission rule: `counter` of `scope` ("key" or "all") plus what a job adds to it must
    stay within the limit `option`. Stores keep the counters; this table alone says the rule."""

    reason: str  # the refusal's name in the metrics
    scope: str
    counter: str  # "pending" (problems unsolved), "queued" (problems waiting) or "bytes"
    option: str  # the Limits field, also the command-line option
    what: str  # the message, given the limit
    retry_after: int

    def limit(self, limits: Limits) -> int:
        return int(getattr(limits, self.option))

    def refusal(self, limits: Limits) -> RequestError:
        flag = "--" + self.option.replace("_", "-")
        return busy(self.reason, f"{self.what.format(self.limit(limits))} ({flag})",
                    self.retry_after)


QUOTAS: Sequence[Quota] = (
    Quota("key_pending", "key", "pending", "max_pending", "this key has {} problems waiting",
          RETRY_SOON),
    # Counts problems unsolved and results not yet delivered: a fetched result is not held.
    Quota("key_held_bytes", "key", "bytes", "max_held_bytes",
          "this key holds {} bytes of results; fetch them or wait", RETRY_LATER),
    Quota("queue_full", "all", "queued", "max_queued", "{} problems are waiting", RETRY_SOON),
    Quota("stored_bytes", "all", "bytes", "max_stored_bytes", "result memory of {} bytes is full",
          RETRY_LATER),
)
QUOTA_BY_REASON: Dict[str, Quota] = {q.reason: q for q in QUOTAS}


def job_adds(cost: int) -> Dict[str, int]:
    """What one admitted job adds to each counter."""
    return {"pending": 1, "queued": 1, "bytes": cost}


_limits_seen: Tuple[Optional[Limits], Sequence[Tuple[Quota, int]]] = (None, ())


def _quota_limits(limits: Limits) -> Sequence[Tuple[Quota, int]]:
    # Settings never change once made, and a process has one: each quota's limit is looked up
    # once, not per submit (by identity: hashing the settings costs more than the lookups).
    global _limits_seen
    if _limits_seen[0] is not limits:
        _limits_seen = (limits, tuple((q, q.limit(limits)) for q in QUOTAS))
    return _limits_seen[1]


def first_refusal(used: Dict[str, Dict[str, int]], cost: int,
                  limits: Limits) -> Optional[Quota]:
    """The first quota a new job of `cost` would break, given the counters by scope."""
    adds = job_adds(cost)
    for q, limit in _quota_limits(limits):
        counters = used.get(q.scope)
        if counters is not None and q.counter in counters \
                and counters[q.counter] + adds[q.counter] > limit:
            return q
    return None
