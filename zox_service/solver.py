"""The solver loop: claim a job, solve it off the event loop, store the payload, acknowledge.

Solvers announce themselves to the store while they run, so that front ends refuse work when none
is alive instead of accepting what nothing will solve.
"""
import asyncio
import contextlib
import os
import socket
import sys
import time
from array import array
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from .jobs import CANCELLED, SUBSET, SUMS, Job, StoreError
from .limits import Limits
from .metrics import Metrics
from .stores.base import HEARTBEAT_EVERY, Store
from .wire import RequestError, encode_result, encode_witness, sums_work, witness_step_budget


def solve_sums(values: array, target: int = 0) -> bytes:
    """Every sum, solved in this process whatever the environment says, as the result payload.
    The values go in as a buffer and the words come back as an array: no list of ints either
    way. One engine thread a solve: the solvers already run side by side."""
    import zox

    return encode_result(zox._solve_local_array(values, 1))  # type: ignore[attr-defined]  # private


def solve_subset(values: array, target: int, cancel: Optional[array] = None,
                 budget: int = 0) -> bytes:
    """The indices of values that add up to `target`, solved in this process, as a witness
    payload (encode_witness), found or not. The search stops (InterruptedError) once `cancel[0]`
    (an array('i')) becomes non-zero; with a cancel flag, each of its steps holds at most
    `budget` bytes (0: the engine's own bound)."""
    import zox

    found = None
    if target <= sum(values):  # above the total nothing can reach it: no solve needed
        if cancel is None:
            found = zox._subset_with_sum_local(values, target)  # type: ignore[attr-defined]
        else:
            found = zox._subset_with_sum_local(  # type: ignore[attr-defined]
                values, target, cancel, budget)
    return encode_witness(found)


Solve = Callable[..., bytes]
# What a solver computes for each kind of job, from its values and target (and, for the kinds
# in CANCELLABLE, a cancel flag).
SOLVES: Dict[str, Solve] = {SUMS: solve_sums, SUBSET: solve_subset}
CANCELLABLE = {SUBSET}
# How often a running search looks at its deadline, and at the store for its cancellation.
WATCH_EVERY = 0.1
CANCEL_CHECK_EVERY = 1.0


def consumer_name() -> str:
    return f"{socket.gethostname()}-{os.getpid()}"


class AtOnce:
    """Tiny complete solves answered on the event loop, in the submit that brings them, and
    counted as a solver's: handed to a solver, the hand-over alone costs many times the solve."""

    def __init__(self, metrics: Metrics, solve: Solve = solve_sums):
        self._metrics = metrics
        self._solve = solve

    def __call__(self, job: Job) -> Optional[Tuple[Optional[bytes], Optional[str]]]:
        """The job's payload or failure; None for any job but a tiny complete solve."""
        if job.kind != SUMS or not is_small(job):
            return None
        (payload, error, seconds), = solve_all([(self._solve, job.values, job.target, None)])
        if error is not None:
            _log(error)
        self._metrics.solved("done" if payload is not None else "failed", seconds)
        return payload, error


class Solvers:
    """`count` solves at once on their own threads (a solve releases the interpreter lock).

    One key's jobs hold at most all of them but one at a time: another key's job then finds a
    solver free instead of waiting behind the key's flood, and the flood leaves a processor to
    the answers of every request."""

    def __init__(self, store: Store, count: int, metrics: Metrics, renew_every: float,
                 solve: Optional[Solve] = None, witness_deadline: float = 60.0,
                 witness_bytes: int = Limits.max_witness_bytes):
        self._store = store
        self._witness_deadline = witness_deadline
        self._flags: Dict[str, array] = {}  # cancel flags of the searches running, by job
        self._count = count
        self._metrics = metrics
        self._renew_every = renew_every
        self._solves = dict(SOLVES) if solve is None else {SUMS: solve}
        if solve is None:
            self._solves[SUBSET] = lambda values, target, cancel=None: solve_subset(
                values, target, cancel, witness_step_budget(witness_bytes, len(values)))
        self._at_once = AtOnce(metrics, self._solves[SUMS])
        self._pool = ThreadPoolExecutor(max(1, count), thread_name_prefix="zox-solver")
        self._tasks: List["asyncio.Task[None]"] = []
        self._waiting: Set["asyncio.Task[None]"] = set()
        self._heartbeat: Optional["asyncio.Task[None]"] = None
        self._stopping = False
        self._consumer = consumer_name()
        self._key_most = max(1, count - 1)
        self._holding: Dict[str, int] = {}  # hand-overs in progress by owner
        self._full: Set[str] = set()  # owners at _key_most: claims pass them over

    async def start(self) -> None:
        """Announces the solvers before they take work, so a front end starting with them never
        refuses its first problem."""
        loop = asyncio.get_running_loop()
        with contextlib.suppress(StoreError):
            await self._store.announce(self._consumer)
        self._store.solve_at_once_with(self._solve_at_once)
        self._heartbeat = loop.create_task(self._announce())
        self._tasks = [loop.create_task(self._run()) for _ in range(self._count)]

    async def stop(self) -> None:
        """Takes no new job, finishes and stores the complete solves running and stops the
        searches (their jobs stay unanswered: another solver takes them over)."""
        self._stopping = True
        self._store.solve_at_once_with(None)
        for flag in self._flags.values():
            flag[0] = 1
        for task in list(self._waiting) + ([self._heartbeat] if self._heartbeat else []):
            task.cancel()  # waiting for a job: nothing is lost (a lease taken meanwhile lapses)
        if self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        self._pool.shutdown(wait=False)

    def _solve_at_once(self, job: Job) -> Optional[Tuple[Optional[bytes], Optional[str]]]:
        return None if self._stopping else self._at_once(job)

    async def _announce(self) -> None:
        while True:
            try:
                await self._store.announce(self._consumer)
            except (StoreError, RequestError) as e:
                _log(f"cannot announce the solvers: {e}")
            await asyncio.sleep(HEARTBEAT_EVERY)

    async def _run(self) -> None:
        me = asyncio.current_task()
        assert me is not None
        while not self._stopping:
            self._waiting.add(me)
            try:
                job = await self._store.claim(self._consumer, wait=1.0, skip=self._full)
            except (StoreError, RequestError) as e:
                _log(f"cannot claim a job: {e}")
                await asyncio.sleep(1.0)
                continue
            except asyncio.CancelledError:
                return
            finally:
                self._waiting.discard(me)
            if job is None:
                continue
            jobs = [job]
            if is_small(job):
                jobs += self._store.claim_ready(self._consumer, BATCH_MOST - 1, is_small)
            owners = {j.owner for j in jobs}
            for owner in owners:
                self._hold(owner, 1)
            try:
                await self._solve_batch(jobs)
            finally:
                for owner in owners:
                    self._hold(owner, -1)

    def _hold(self, owner: str, step: int) -> None:
        held = self._holding.get(owner, 0) + step
        if held:
            self._holding[owner] = held
        else:
            del self._holding[owner]
        if held >= self._key_most:
            self._full.add(owner)
        else:
            self._full.discard(owner)

    async def _solve_batch(self, jobs: List[Job]) -> None:
        loop = asyncio.get_running_loop()
        flags = {job.request_id: array("i", [0]) for job in jobs if job.kind in CANCELLABLE}
        self._flags.update(flags)
        problems = [(self._solves.get(job.kind, _unknown_kind), job.values, job.target,
                     flags.get(job.request_id)) for job in jobs]
        ended: Dict[str, str] = {}
        if not flags and sum(job_work(job) + JOB_WORK for job in jobs) <= INLINE_WORK:
            outcomes = solve_all(problems)
        else:
            solving = loop.run_in_executor(self._pool, solve_all, problems)
            del problems
            for job in jobs:
                job.values = array("Q")  # the thread holds its own reference
            try:
                ended = await self._watch(solving, jobs, flags)
            finally:
                for request_id in flags:
                    del self._flags[request_id]
            try:
                outcomes = solving.result()
            except Exception as e:  # the loop must survive anything the pool raises
                outcomes = [(None, f"Solve failed: {type(e).__name__}: {e}", 0.0)] * len(jobs)
        for job, (payload, error, seconds) in zip(jobs, outcomes):
            flag = flags.get(job.request_id)
            why = None if payload is not None or flag is None or not flag[0] else \
                ended.get(job.request_id, "stopped")
            if why == "timed_out":
                error = (f"The search passed its deadline of {self._witness_deadline:g} s "
                         "(--witness-deadline)")
            elif why == "cancelled":
                error = CANCELLED  # where the store answered it already, the first answer stands
            elif why is None and error is not None:
                _log(error)
            self._metrics.solved(why or ("done" if payload is not None else "failed"), seconds)
            if why in (None, "timed_out", "cancelled"):
                # One stopped with the service is left unanswered for another solver.
                await self._store_outcome(job, payload, error)

    async def _watch(self, solving: "asyncio.Future[Any]", jobs: List[Job],
                     flags: Dict[str, array]) -> Dict[str, str]:
        """Waits for the solves, renewing their claims; stops a search at its deadline or once
        its job is cancelled. Returns why each stopped search was stopped."""
        loop = asyncio.get_running_loop()
        started = loop.time()
        next_renew = started + self._renew_every
        next_check = started + CANCEL_CHECK_EVERY
        ended: Dict[str, str] = {}
        while True:
            watch = self._renew_every if not flags else min(WATCH_EVERY, self._renew_every)
            done, _ = await asyncio.wait({solving}, timeout=watch)
            if done:
                return ended
            now = loop.time()
            if now - started >= self._witness_deadline:
                ended.update({rid: "timed_out" for rid in flags if rid not in ended})
            if flags and now >= next_check:
                next_check = now + CANCEL_CHECK_EVERY
                for job in jobs:
                    if job.request_id in flags and job.request_id not in ended:
                        with contextlib.suppress(StoreError, RequestError):
                            if await self._store.cancelled(job):
                                ended[job.request_id] = "cancelled"
            for request_id in ended:
                flags[request_id][0] = 1
            if now >= next_renew:
                next_renew = now + self._renew_every
                for job in jobs:
                    try:
                        await self._store.renew(job)
                    except (StoreError, RequestError) as e:
                        _log(f"cannot renew the claim of {job.request_id}: {e}")

    async def _store_outcome(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        attempt = 0
        while True:
            try:
                if payload is not None and not await self._store.room_for(len(payload)):
                    # Kept here, its job still leased, until the store has room: written now it
                    # would pass the store's memory limit.
                    if attempt == 0:
                        _log(f"the store is full; holding the result of {job.request_id}")
                    await self._store.renew(job)
                    attempt = 1
                    await asyncio.sleep(1.0)
                    continue
                await self._store.finish(job, payload, error)
                return
            except (StoreError, RequestError) as e:
                # Unacknowledged, the job goes to another solver once the store is back.
                _log(f"cannot store the result of {job.request_id}: {e}")
                if attempt >= 5:
                    return
                await asyncio.sleep(0.2 * 2**attempt)
                attempt += 1


# Small problems are solved in batches, one hand-over to a solver thread for up to BATCH_MOST of
# them: under load the hand-over (a thread woken, the interpreter lock passed to it and back, the
# event loop woken for the result) costs far more than such a solve, and was what limited the
# service's rate. A problem is small when its work (values times words of the bitset) is at most
# SMALL_WORK, a few microseconds of solving; larger ones keep a hand-over of their own.
BATCH_MOST = 64
SMALL_WORK = 1 << 16
# A batch this small is solved on the event loop, where it takes less time than the hand-over
# alone (0.2 ms and more): at most INLINE_WORK word operations (about 2,000 a microsecond),
# counting each job's own cost (the call and its gzip stream, about as much as JOB_WORK of them).
JOB_WORK = 1 << 14
INLINE_WORK = 1 << 18
_UNKNOWN_WORK = 1 << 62


def job_work(job: Job) -> int:
    """Word operations of a job's solve, as the work limit counts them (a complete solve of at
    most 4096 values; any other is taken for large)."""
    values = job.values
    if job.kind != SUMS or len(values) > 4096:  # spares the event loop adding up a long list
        return _UNKNOWN_WORK
    return sums_work(len(values) - values.count(0), sum(values))


def is_small(job: Job) -> bool:
    return job_work(job) <= SMALL_WORK


def solve_all(problems: List[Tuple[Solve, array, int, Optional[array]]]
              ) -> List[Tuple[Optional[bytes], Optional[str], float]]:
    """Each problem's payload or failure, and its seconds; one failure does not touch the others."""
    outcomes: List[Tuple[Optional[bytes], Optional[str], float]] = []
    for solve, values, target, cancel in problems:
        started = time.perf_counter()
        try:
            payload = solve(values, target) if cancel is None else solve(values, target, cancel)
            outcomes.append((payload, None, time.perf_counter() - started))
        except Exception as e:
            outcomes.append((None, f"Solve failed: {type(e).__name__}: {e}",
                             time.perf_counter() - started))
    return outcomes


def _unknown_kind(values: array, target: int) -> bytes:
    raise ValueError("this solver does not know the job's kind")


def _log(text: str) -> None:
    sys.stderr.write(f"zox_service: {text}\n")
    sys.stderr.flush()
