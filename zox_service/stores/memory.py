"""The embedded store: problems and results in this process, lost when it stops.

Queued problems are served round robin by owner, so one key's burst does not delay another key's
solve behind it. Results expire in the order they were stored or delivered (each time to live is
one setting), so two ordered maps hold every expiry and a delivered result leaves no trace once
its delivered time to live ends. A delivered result no longer counts against its key, only
against the memory of the store until it is freed.
"""
import asyncio
import hmac
import time
from array import array
from collections import OrderedDict, deque
from typing import Callable, Collection, Deque, Dict, List, Optional

from ..jobs import (CANCELLED, GONE, PENDING, SUMS, UNKNOWN, Job, Outcome, first_refusal, issued_to,
                    job_adds, job_cost, new_request_id, no_solver, payload_cost)
from ..limits import Limits
from ..waits import within
from .base import HEARTBEAT_LAPSE, SolveAtOnce, Store


class _Record:
    __slots__ = ("owner", "cost", "outcome", "done", "delivered")

    def __init__(self, owner: str, cost: int):
        self.owner = owner
        self.cost = cost  # bytes counted against the store's limit, and its owner's until delivered
        self.outcome = PENDING
        # Made by the first poll that waits: most results are solved before anyone asks.
        self.done: Optional[asyncio.Event] = None
        self.delivered = False


class MemoryStore(Store):
    def __init__(self, limits: Limits, clock: Callable[[], float] = time.monotonic):
        self._limits = limits
        self._clock = clock
        self._records: Dict[str, _Record] = {}
        self._queues: Dict[str, Deque[Job]] = {}
        self._turns: Deque[str] = deque()
        self._owners: Dict[str, Dict[str, int]] = {}  # counters by owner: pending, bytes
        self._all = {"queued": 0, "bytes": 0}
        self._stored: "OrderedDict[str, float]" = OrderedDict()  # solved, not yet delivered
        self._delivered: "OrderedDict[str, float]" = OrderedDict()
        self._next_expiry = float("inf")  # the earliest in either: nothing to purge before it
        # Until when the last solver to announce itself is taken for alive: one is alive
        # while any is.
        self._solver_until = float("-inf")
        # Claims waiting for work, each with the owners it passes over: a submit hands its job
        # to one of them at once, without a task or a timer of its own per wait.
        self._claims: "Dict[asyncio.Future[None], Collection[str]]" = {}
        self._at_once: Optional[SolveAtOnce] = None
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
        if now < self._next_expiry:
            return
        for expiries in (self._stored, self._delivered):
            while expiries:
                request_id, when = next(iter(expiries.items()))
                if when > now:
                    break
                del expiries[request_id]
                self._forget(request_id)
        self._next_expiry = min((next(iter(e.values())) for e in (self._stored, self._delivered)
                                 if e), default=float("inf"))

    def _expires(self, expiries: "OrderedDict[str, float]", request_id: str, when: float) -> None:
        expiries[request_id] = when
        self._next_expiry = min(self._next_expiry, when)

    def _forget(self, request_id: str) -> None:
        rec = self._records.pop(request_id)
        self._all["bytes"] -= rec.cost
        if not rec.delivered:
            self._release(rec)

    def _release(self, rec: _Record) -> None:
        counters = self._owners[rec.owner]
        counters["bytes"] -= rec.cost
        if not counters["bytes"] and not counters["pending"]:
            del self._owners[rec.owner]

    async def announce(self, consumer: str) -> None:
        self._solver_until = max(self._solver_until, self._clock() + HEARTBEAT_LAPSE)

    def _solver_alive(self) -> bool:
        return self._solver_until >= self._clock()

    async def submit(self, owner: str, values: array, total: int, kind: str = SUMS,
                     target: int = 0) -> str:
        self.purge()
        if not self._solver_alive():
            raise no_solver()
        cost = job_cost(total, kind, len(values))
        counters = self._owners.get(owner) or {"pending": 0, "bytes": 0}
        refused = first_refusal({"key": counters, "all": self._all}, cost, self._limits)
        if refused is not None:
            raise refused.refusal(self._limits)
        adds = job_adds(cost)
        for scoped in (counters, self._all):
            for name in scoped:
                scoped[name] += adds[name]
        self._owners[owner] = counters
        request_id = new_request_id(owner)
        self._records[request_id] = _Record(owner, cost)
        job = Job(request_id, owner, values, self._limits.result_ttl, kind, target)
        if self._at_once is not None and owner not in self._queues:
            # Solved here when the solvers take it for tiny: handed to one, it would be solved on
            # this event loop all the same, a turn later and at several times the cost. A key
            # with jobs waiting keeps its order.
            solved = self._at_once(job)
            if solved is not None:
                self._all["queued"] -= 1
                self._finish(job, *solved)
                return request_id
        queue = self._queues.get(owner)
        if queue is None:
            queue = self._queues[owner] = deque()
            self._turns.append(owner)
        queue.append(job)
        # One claim is enough: the others would only find the queue empty again.
        self._wake(lambda skip: owner not in skip, 1)
        return request_id

    def _wake(self, takes: Callable[[Collection[str]], bool], most: int) -> None:
        for woken, skip in list(self._claims.items()):
            if most and not woken.done() and takes(skip):  # done: cancelled, about to leave
                del self._claims[woken]
                woken.set_result(None)
                most -= 1

    async def claim(self, consumer: str, wait: float,
                    skip: Collection[str] = ()) -> Optional[Job]:
        deadline = self._clock() + wait
        loop = asyncio.get_running_loop()
        while True:
            owner = next((o for o in self._turns if o not in skip), None)
            if owner is not None:
                return self._next_job(owner)
            left = deadline - self._clock()
            if left <= 0:
                return None
            woken: "asyncio.Future[None]" = loop.create_future()
            self._claims[woken] = skip
            timer = loop.call_later(left, _give_up, woken)
            try:
                await woken
            finally:
                timer.cancel()
                self._claims.pop(woken, None)

    def claim_ready(self, consumer: str, most: int, fits: Callable[[Job], bool]) -> List[Job]:
        jobs: List[Job] = []
        while self._turns and len(jobs) < most and fits(self._queues[self._turns[0]][0]):
            jobs.append(self._next_job(self._turns[0]))
        return jobs

    def _next_job(self, owner: str) -> Job:
        self._turns.remove(owner)
        queue = self._queues[owner]
        job = queue.popleft()
        if queue:
            self._turns.append(owner)
        else:
            del self._queues[owner]
        self._all["queued"] -= 1
        return job

    def solve_at_once_with(self, solve: Optional[SolveAtOnce]) -> None:
        self._at_once = solve

    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        if self._turns:  # a waiting claim may have passed over this job's owner
            self._wake(lambda skip: True, len(self._claims))
        self._finish(job, payload, error)

    def _finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        rec = self._records.get(job.request_id)
        if rec is None or rec.outcome is not PENDING:  # solved twice: the first result stands
            return
        counters = self._owners[rec.owner]
        counters["pending"] -= 1
        cost = payload_cost(payload)
        self._all["bytes"] += cost - rec.cost
        counters["bytes"] += cost - rec.cost
        rec.cost = cost
        rec.outcome = Outcome("done", payload) if payload is not None else \
            Outcome("failed", error=error or "Solve failed")
        self._expires(self._stored, job.request_id, self._clock() + job.ttl)
        if rec.done is not None:
            rec.done.set()

    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        if not issued_to(request_id, owner):
            return UNKNOWN
        self.purge()
        rec = self._records.get(request_id)
        if rec is None:
            return GONE
        if not hmac.compare_digest(rec.owner, owner):
            return UNKNOWN
        if rec.outcome is PENDING and wait > 0:
            try:
                if rec.done is None:
                    rec.done = asyncio.Event()
                await within(wait, rec.done.wait())
            except asyncio.TimeoutError:
                return PENDING
        if rec.outcome is not PENDING and not rec.delivered:
            rec.delivered = True
            self._release(rec)
            if rec.outcome.state == "done":
                until = self._clock() + self._limits.delivered_ttl
                if until < self._stored[request_id]:
                    del self._stored[request_id]
                    self._expires(self._delivered, request_id, until)
        return rec.outcome

    async def cancel(self, owner: str, request_id: str) -> Outcome:
        rec = self._records.get(request_id)
        if rec is None or not hmac.compare_digest(rec.owner, owner):
            return await self.result(owner, request_id, 0)  # not its own: as a poll answers
        outcome = rec.outcome
        if outcome is PENDING:
            queue = self._queues.get(owner) or deque()
            for job in queue:  # still waiting: it leaves the queue; a solver's own job stops
                if job.request_id == request_id:
                    queue.remove(job)
                    self._all["queued"] -= 1
                    if not queue:
                        del self._queues[owner]
                        self._turns.remove(owner)
                    break
            await self.finish(Job(request_id, owner, array("Q"), self._limits.result_ttl), None,
                              CANCELLED)
        return outcome

    async def cancelled(self, job: Job) -> bool:
        rec = self._records.get(job.request_id)
        return rec is None or rec.outcome is not PENDING

    async def queue_depth(self) -> int:
        return sum(c["pending"] for c in self._owners.values())

    async def health(self) -> Dict[str, bool]:
        # Writable while the smallest problem would still be admitted.
        return {"reachable": True, "writable":
                self._all["bytes"] + job_cost(0, SUMS, 1) <= self._limits.max_stored_bytes}

    def counts(self) -> Dict[str, int]:
        return {"results": len(self._records), "pending": sum(c["pending"] for c in
                                                               self._owners.values()),
                "stored_bytes": self._all["bytes"], "queued": self._all["queued"],
                "expiries": len(self._stored) + len(self._delivered)}


def _give_up(woken: "asyncio.Future[None]") -> None:
    if not woken.done():
        woken.set_result(None)
