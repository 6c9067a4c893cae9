"""Where problems wait and results are held: one interface, an in-process and a Redis implementation.

The store never knows HTTP: it admits or refuses (``RequestError`` from ``wire.busy``), hands jobs to
solvers and results to polls. Owners are fingerprints of API keys; the keys themselves stay in the
front end.
"""
import abc
import asyncio
import hashlib
import heapq
import hmac
import math
import secrets
import time
from array import array
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from .config import RESULT_OVERHEAD, Limits, result_reservation
from .wire import busy

RETRY_SOON = 1  # seconds: a slot frees as soon as a solve ends
RETRY_LATER = 30  # seconds: held results free as they are delivered or expire


def owner_of(key: bytes) -> str:
    """The name a key's problems are kept under: a digest, so a store never holds a key."""
    return hashlib.sha256(b"zox-owner:" + key).hexdigest()[:32]


class StoreError(Exception):
    """The store cannot be reached or refused to work; the front end answers 503."""


@dataclass
class Job:
    """Everything a solver needs, and the store's own handle to acknowledge it."""

    request_id: str
    owner: str
    values: array
    ttl: float
    handle: Any = None


@dataclass
class Outcome:
    state: str  # "unknown", "pending", "done" or "failed"
    payload: bytes = b""
    error: str = ""


UNKNOWN = Outcome("unknown")
PENDING = Outcome("pending")


class Store(abc.ABC):
    @abc.abstractmethod
    async def start(self) -> None: ...

    @abc.abstractmethod
    async def close(self) -> None: ...

    @abc.abstractmethod
    async def submit(self, owner: str, values: array, total: int) -> str:
        """Admits a problem within the owner's quotas and returns its request id."""

    @abc.abstractmethod
    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        """The problem's state, waiting up to `wait` seconds for an unfinished solve. A delivered
        result is kept only for the delivered time to live from then on."""

    @abc.abstractmethod
    async def claim(self, consumer: str, wait: float) -> Optional[Job]:
        """The next job for a solver, or None after `wait` seconds without one."""

    async def renew(self, job: Job) -> None:
        """Tells the store the solver of `job` is alive (a long solve)."""

    @abc.abstractmethod
    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None: ...

    @abc.abstractmethod
    async def queue_depth(self) -> int: ...

    async def healthy(self) -> bool:
        return True


class _Record:
    __slots__ = ("owner", "cost", "outcome", "expires", "done")

    def __init__(self, owner: str, cost: int):
        self.owner = owner
        self.cost = cost  # bytes counted against the owner's and the store's limits
        self.outcome = PENDING
        self.expires = math.inf
        self.done = asyncio.Event()


class MemoryStore(Store):
    """The embedded store: everything in this process, lost when it stops. Queued problems are
    served round robin by owner, so one key's burst does not delay another key's solve behind it."""

    def __init__(self, limits: Limits, clock: Callable[[], float] = time.monotonic):
        self._limits = limits
        self._clock = clock
        self._records: Dict[str, _Record] = {}
        self._queues: Dict[str, Deque[Job]] = {}
        self._turns: Deque[str] = deque()
        self._pending: Dict[str, int] = {}
        self._held: Dict[str, int] = {}
        self._stored = 0
        self._queued = 0
        self._expiry: List[Tuple[float, str]] = []
        self._work = asyncio.Event()
        self._sweeper: Optional["asyncio.Task[None]"] = None

    async def start(self) -> None:
        self._sweeper = asyncio.get_running_loop().create_task(self._sweep())

    async def close(self) -> None:
        if self._sweeper is not None:
            self._sweeper.cancel()

    async def _sweep(self) -> None:
        # Frees expired results while nobody is asking for anything.
        while True:
            await asyncio.sleep(1.0)
            self.purge()

    def purge(self) -> None:
        now = self._clock()
        while self._expiry and self._expiry[0][0] <= now:
            expires, request_id = heapq.heappop(self._expiry)
            rec = self._records.get(request_id)
            if rec is not None and rec.expires == expires:  # else a later entry stands for it
                del self._records[request_id]
                self._release(rec.owner, rec.cost)

    def _release(self, owner: str, cost: int) -> None:
        self._stored -= cost
        left = self._held[owner] - cost
        if left:
            self._held[owner] = left
        else:
            del self._held[owner]

    def _expire_at(self, request_id: str, rec: _Record, when: float) -> None:
        rec.expires = when
        heapq.heappush(self._expiry, (when, request_id))

    async def submit(self, owner: str, values: array, total: int) -> str:
        self.purge()
        lim = self._limits
        cost = result_reservation(total)
        if self._pending.get(owner, 0) >= lim.max_pending:
            raise busy("key_pending", f"this key has {lim.max_pending} problems waiting "
                       "(--max-pending)", RETRY_SOON)
        if self._held.get(owner, 0) + cost > lim.max_held_bytes:
            raise busy("key_held_bytes", f"this key holds {lim.max_held_bytes} bytes of results "
                       "(--max-held-bytes); fetch them or wait", RETRY_LATER)
        if self._queued >= lim.max_queued:
            raise busy("queue_full", f"{lim.max_queued} problems are waiting (--max-queued)",
                       RETRY_SOON)
        if self._stored + cost > lim.max_stored_bytes:
            raise busy("stored_bytes", f"result memory of {lim.max_stored_bytes} bytes is full "
                       "(--max-stored-bytes)", RETRY_LATER)
        request_id = secrets.token_hex(16)
        self._records[request_id] = _Record(owner, cost)
        self._pending[owner] = self._pending.get(owner, 0) + 1
        self._held[owner] = self._held.get(owner, 0) + cost
        self._stored += cost
        self._queued += 1
        queue = self._queues.get(owner)
        if queue is None:
            queue = self._queues[owner] = deque()
            self._turns.append(owner)
        queue.append(Job(request_id, owner, values, self._limits.result_ttl))
        self._work.set()
        return request_id

    async def claim(self, consumer: str, wait: float) -> Optional[Job]:
        deadline = self._clock() + wait
        while not self._turns:
            self._work.clear()
            left = deadline - self._clock()
            if left <= 0:
                return None
            try:
                await asyncio.wait_for(self._work.wait(), left)
            except asyncio.TimeoutError:
                return None
        owner = self._turns.popleft()
        queue = self._queues[owner]
        job = queue.popleft()
        if queue:
            self._turns.append(owner)
        else:
            del self._queues[owner]
        self._queued -= 1
        return job

    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        rec = self._records.get(job.request_id)
        if rec is None or rec.outcome is not PENDING:  # solved twice: the first result stands
            return
        left = self._pending[job.owner] - 1
        if left:
            self._pending[job.owner] = left
        else:
            del self._pending[job.owner]
        cost = len(payload) + RESULT_OVERHEAD if payload is not None else RESULT_OVERHEAD
        self._stored += cost - rec.cost
        self._held[rec.owner] += cost - rec.cost
        rec.cost = cost
        rec.outcome = Outcome("done", payload) if payload is not None else \
            Outcome("failed", error=error or "Solve failed")
        self._expire_at(job.request_id, rec, self._clock() + job.ttl)
        rec.done.set()

    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        self.purge()
        rec = self._records.get(request_id)
        if rec is None or not hmac.compare_digest(rec.owner, owner):
            return UNKNOWN
        if rec.outcome is PENDING and wait > 0:
            try:
                await asyncio.wait_for(rec.done.wait(), wait)
            except asyncio.TimeoutError:
                return PENDING
        if rec.outcome.state == "done":
            until = self._clock() + self._limits.delivered_ttl
            if until < rec.expires:
                self._expire_at(request_id, rec, until)
        return rec.outcome

    async def queue_depth(self) -> int:
        return sum(self._pending.values())

    def counts(self) -> Dict[str, int]:
        return {"results": len(self._records), "pending": sum(self._pending.values()),
                "stored_bytes": self._stored, "queued": self._queued}
