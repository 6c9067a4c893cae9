"""The store on Redis, shared by any number of front ends and solver processes.

Waiting jobs sit in one queue ordered by a virtual time that makes keys take turns, so a key's flood
delays another key by at most one solve per solver. A blocked solver waits on a list with one entry
per waiting job, so each submit wakes one solver, not all. When nothing waits, a submit's first job
with a short record goes in its entry itself: the solver it wakes moves it into its hand and solves
it with no claim of its own. A busy solver's answers take its next jobs along. A claimed job stays
in its solver's claims (or hand) while the solver's heartbeat lives; every process sweeps each
second, sending the jobs of a silent solver to another or failing them when no solver is alive.
Delivery is at least once: a job solved twice keeps its first result. Per-owner counters are updated
by the same scripts, so every front end sees the same quotas; a result counts against its key until
it is delivered or expires. Submits, answers and deliveries made while a script is on its way go
together in the next; a channel tells waiting polls on every front end which jobs ended. Polls are
answered as redis_polls.py says. The scripts are in lua/ next to this file, each after common.lua.
"""
import asyncio
import contextlib
import random
import time
from array import array
from collections import deque
from importlib import resources
from typing import Any, Collection, Deque, Dict, List, Optional, Tuple, cast

import redis.asyncio as aioredis

from ..jobs import (QUOTAS, QUOTA_BY_REASON, RESULT_OVERHEAD, SUMS, UNKNOWN, Job,
                    Outcome, StoreError, issued_to, job_cost, new_request_id, no_solver,
                    store_full)
from ..limits import Limits
from ..wire import RequestError
from .base import HEARTBEAT_EVERY, SolveAtOnce, Store
from .batches import Batches
from .redis_answers import by_consumer, finish_call, move_with_answers, resend, taken_along
from .redis_memory import RedisMemory, log as _log, redis_errors as _redis_errors, room_needed
from .redis_polls import Polls
from .redis_records import (ALIVE, BELL, CHANNEL, CLOCK, HEAD, HELD, JOB_HEAD, MEMBER, PREFIX,
                            QUEUE, SOLVERS, TOKEN, Entry, answer_record, cancel_key, claims_key,
                            hand_key, heartbeat_key, job_of, job_record, submit_entry)

# How long an unsolved problem's record lives: far beyond any queue a solver pool would let grow.
PENDING_TTL_MS = 24 * 3600 * 1000
# Jobs one claim takes along when small, and calls of one kind sent together.
CLAIM_MOST = 16
BATCH_MOST = 256
# Values larger than this go in a submit of their own, not holding up the small ones.
LARGE_RECORD = 64 * 1024
# How often a solver whose every waiting owner is passed over looks at the owners again.
SKIPPED_PAUSE = 0.01
# Connections for reading results out; more readers wait their turn for one.
READERS = 8
SWEEP_EVERY = 1.0


def _scripts(client: "aioredis.Redis") -> Dict[str, Any]:
    lua = resources.files(__package__).joinpath("lua")
    common = lua.joinpath("common.lua").read_text()
    return {name: client.register_script(common + lua.joinpath(name + ".lua").read_text())
            for name in ("submit", "claim", "finish", "delivered", "sweep", "release")}


class RedisStore(Store):
    def __init__(self, url: str, limits: Limits):
        self._limits = limits
        self._redis = aioredis.from_url(url, decode_responses=False, socket_connect_timeout=5,
                                        socket_keepalive=True, health_check_interval=30)
        self._readers = aioredis.Redis(connection_pool=aioredis.BlockingConnectionPool.from_url(
            url, max_connections=READERS, timeout=None, socket_connect_timeout=5,
            socket_timeout=30, socket_keepalive=True))
        self._scripts = _scripts(self._redis)
        by_rule = {(q.scope, q.counter): q for q in QUOTAS}
        self._quota_args: List[Any] = []
        for rule in (("key", "pending"), ("key", "bytes"), ("all", "queued")):
            self._quota_args += [by_rule[rule].limit(limits), by_rule[rule].reason]
        self._lapse = max(limits.reclaim_after, 3 * HEARTBEAT_EVERY)
        self._submits: Batches[Entry, str] = Batches(self._submit_batch, BATCH_MOST)
        self._answers: Batches[Tuple[Job, bytes, int], int] = Batches(self._finish_batch,
                                                                      BATCH_MOST)
        self._stash: Deque[Job] = deque()  # jobs a claim took along, for this process's solvers
        self._claimed: Dict[str, float] = {}  # consumers of this process: when last announced
        self._skip: Collection[str] = ()  # owners this process's solvers pass over
        self._closing = False
        self._alone = False  # no reader in this process waits on its solvers' answers
        self._at_once: Optional[SolveAtOnce] = None
        self._tasks: List["asyncio.Task[None]"] = []
        self._subscribed = asyncio.Event()
        self._memory = RedisMemory(self._redis)
        self._polls = Polls(self._redis, self._readers, self._scripts["delivered"], limits)

    async def start(self, listen: bool = True) -> None:
        with _redis_errors():
            # Loaded now, or a solver's first answer, pipelined, waits out the move sent with it.
            await asyncio.gather(*map(self._redis.script_load,
                                      (s.script for s in self._scripts.values())))
            await self._sweep()
        self._tasks.append(asyncio.create_task(self._sweeping()))
        self._alone = not listen
        if listen:
            self._tasks.append(asyncio.create_task(self._polls.listen(self._subscribed)))
            await asyncio.wait_for(self._subscribed.wait(), 10)

    async def close(self) -> None:
        self._closing = True
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._answers.settled(), 10)  # answers solved are kept
        with contextlib.suppress(StoreError, RequestError):
            await self._give_back()
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        closed = StoreError("Redis: the store is closing")
        for batches in (self._submits, self._answers):
            await batches.close(closed)
        await self._polls.close()
        await self._readers.aclose()
        await self._redis.aclose()

    async def _give_back(self) -> None:
        """What this process's solvers hold and will not answer goes back to the head of the
        queue now, not once their heartbeat lapses."""
        self._stash.clear()
        with _redis_errors():
            for consumer in self._claimed:
                await self._scripts["release"](
                    keys=[claims_key(consumer), hand_key(consumer), QUEUE, BELL], args=[PREFIX])

    async def _sweeping(self) -> None:
        while True:
            await asyncio.sleep(SWEEP_EVERY * random.uniform(0.8, 1.2))
            try:
                await self._sweep()
            except StoreError as e:
                _log(f"cannot sweep the store: {e}")

    async def _sweep(self) -> int:
        with _redis_errors():
            alive = int(await self._scripts["sweep"](
                keys=[SOLVERS, QUEUE, CLOCK, BELL, HELD],
                args=[PREFIX, CHANNEL, self._limits.max_attempts, RESULT_OVERHEAD, 1000]))
        return alive

    async def submit(self, owner: str, values: array, total: int, kind: str = SUMS,
                     target: int = 0) -> str:
        await self._settled()
        cost = job_cost(total, kind, len(values))
        request_id = new_request_id(owner)
        record = job_record(owner, cost, kind, int(self._limits.result_ttl * 1000), target, values)
        if not await self._memory.room(cost + len(record), fresh=len(record) > LARGE_RECORD):
            raise store_full()
        from ..solver import is_small  # the solvers' own rule for what they take along
        job = Job(request_id, owner, values, self._limits.result_ttl, kind, target)
        small = is_small(job)
        # A tiny job costs less to solve here than to hand to a solver: sent with its answer,
        # which stands if its key has nothing waiting (else it waits its turn as usual).
        solved = self._at_once(job) if self._at_once is not None else None
        entry = submit_entry(job, small, cost, record, solved)
        written = 2 * (len(record) + len(entry[3]))
        self._polls.expect(request_id)  # before it is sent: its end may come before the answer
        self._memory.hold(written)  # while it is written: other submits see it
        try:
            answer = await self._admit(entry)
            if answer == "key_held_bytes":  # results that expired since the last sweep
                await self._sweep()
                answer = await self._admit(entry)
        except BaseException as e:
            self._polls.forget(request_id)
            if isinstance(e, RequestError) and e.reason == "store_full":
                self._memory.forget()  # Redis says it is full: its memory is read afresh
            raise
        finally:
            self._memory.written(written)
        if answer == "answered":
            self._polls.heard(request_id, entry[3])
            self._memory.added(len(entry[3]))
            return request_id
        if answer != "ok":
            self._polls.forget(request_id)
            raise no_solver() if answer == "no_solver" else \
                QUOTA_BY_REASON[answer].refusal(self._limits)
        self._memory.added(len(record))
        return request_id

    def solve_at_once_with(self, solve: Optional[SolveAtOnce]) -> None:
        self._at_once = solve

    async def _admit(self, entry: Entry) -> str:
        if len(entry[2]) > LARGE_RECORD:
            return (await self._submit_batch([entry]))[0]
        return await self._submits.add(entry)

    async def _settled(self) -> None:
        """Answers this process's solvers stored count in what it reads."""
        if self._answers.busy:
            await self._answers.settled()

    async def _submit_batch(self, entries: List[Entry]) -> List[str]:
        held = self._polls.take_delivered()
        args: List[Any] = [PREFIX, PENDING_TTL_MS, *self._quota_args,
                           int(self._limits.delivered_ttl * 1000), int(time.time() * 1000),
                           len(held), *held]
        for entry in entries:
            args += entry
        try:
            with _redis_errors():
                answers = await self._scripts["submit"](keys=[QUEUE, CLOCK, BELL, ALIVE, HELD],
                                                        args=args)
        except BaseException:
            self._polls.give_back(held)
            raise
        return [a.decode() for a in answers]

    async def room_for(self, payload_bytes: int) -> bool:
        return await self._memory.room_for(payload_bytes)

    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        if not issued_to(request_id, owner):
            return UNKNOWN
        await self._settled()
        return await self._polls.result(owner, request_id, wait)

    async def announce(self, consumer: str) -> None:
        self._claimed[consumer] = time.monotonic()
        with _redis_errors():
            # In this order, so that a sweep that finds ALIVE finds the solver too.
            async with self._redis.pipeline(transaction=False) as p:
                p.sadd(SOLVERS, consumer)
                p.set(heartbeat_key(consumer), 1, px=int(self._lapse * 1000))
                p.set(ALIVE, 1, px=int(self._lapse * 1000) - 100)
                await p.execute()

    async def claim(self, consumer: str, wait: float,
                    skip: Collection[str] = ()) -> Optional[Job]:
        along = self._answers.take(taken_along) if self._alone else []  # before they go alone
        try:
            if time.monotonic() - self._claimed.get(consumer, -1e9) > self._lapse / 2:
                await self.announce(consumer)  # its claims are swept once its heartbeat lapses
            self._skip = skip
            if self._answers.busy:
                # Answers on their way may bring this process's next jobs along.
                await self._answers.settled()
        except BaseException:
            resend(self._answers, along)
            raise
        for job in self._stash:
            if job.owner not in skip:
                self._stash.remove(job)
                resend(self._answers, along)
                return job
        deadline = time.monotonic() + wait
        took = 0
        while True:
            left = deadline - time.monotonic()
            if not took:
                # Into the consumer's hand, so that a job taken along with its entry is never
                # lost to a solver that stops right after.
                with _redis_errors():
                    timeout = max(0.01, min(left, 1.0))  # seconds: Redis takes fractions
                    rang = await move_with_answers(
                        self._redis, self._scripts["finish"].sha, self._answers, along, BELL,
                        hand_key(consumer), timeout) if along else \
                        await self._redis.blmove(BELL, hand_key(consumer),
                                                 timeout,  # type: ignore[arg-type]
                                                 "LEFT", "RIGHT")
                along = []
                if rang is not None and rang != TOKEN:
                    handed = await self._taken_along(consumer, cast(bytes, rang), skip)
                    if handed is not None:
                        return handed
                    rang = None  # put back for a solver that does not pass its owner over
                took = 1 if rang else 0
            jobs, passed = await self._take(consumer, took, skip)
            took = 0
            if jobs:
                self._stash.extend(jobs[1:])
                return jobs[0]
            if time.monotonic() >= deadline:
                return None
            if passed:
                await asyncio.sleep(SKIPPED_PAUSE)
                took = -1  # look again without waiting on the bell

    async def _taken_along(self, consumer: str, entry: bytes,
                           skip: Collection[str]) -> Optional[Job]:
        """The job that went with a bell entry; put back in the queue when its owner is passed
        over."""
        name = entry[:MEMBER].decode()
        job = job_of(name, entry[MEMBER:])
        if job is not None and job.owner not in skip:
            job.handle = (*job.handle, consumer, entry)
            return job
        with _redis_errors():
            async with self._redis.pipeline(transaction=True) as p:
                p.lrem(hand_key(consumer), 1, entry)  # type: ignore[arg-type]  # sent as is
                if job is not None:
                    p.zadd(QUEUE, {name: 0})
                    p.rpush(BELL, 1)
                await p.execute()
        return None

    async def _take(self, consumer: str, took: int, skip: Collection[str]
                    ) -> Tuple[List[Job], bool]:
        """Jobs claimed, and whether only owners passed over had any."""
        with _redis_errors():
            taken = await self._scripts["claim"](
                keys=[QUEUE, CLOCK, claims_key(consumer), BELL, hand_key(consumer)],
                args=[PREFIX, CLAIM_MOST, max(took, 0), *skip])
        return await self._claimed_jobs(consumer, taken), not taken and bool(skip)

    async def _claimed_jobs(self, consumer: str, taken: List[Any]) -> List[Job]:
        """The jobs of a claim's members and records, but those answered meanwhile and those that
        stopped their solvers too often (failed here)."""
        jobs, lost = [], []
        for i in range(0, len(taken), 2):
            name, record = taken[i].decode(), bytes(taken[i + 1])
            job = job_of(name, record)
            if job is None:
                lost.append(name)  # expired or answered meanwhile
                continue
            job.handle = (*job.handle, consumer, b"")
            stopped = int(record[HEAD:HEAD + 3])
            if stopped >= self._limits.max_attempts:
                # The problem keeps killing its solvers: answered instead of passed on forever.
                await self.finish(job, None, f"Solve failed: its solver stopped {stopped} times")
            else:
                jobs.append(job)
        if lost:
            with _redis_errors():
                await self._redis.srem(claims_key(consumer), *lost)
        return jobs

    def claim_ready(self, consumer: str, most: int, fits: Any) -> List[Job]:
        jobs: List[Job] = []
        while self._stash and len(jobs) < most and fits(self._stash[0]):
            jobs.append(self._stash.popleft())
        return jobs

    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        """Stores the answer with others finished meanwhile, and returns at once: until it is
        stored (retried while Redis cannot be reached) the job stays claimed by this process."""
        record, cost = answer_record(job.owner, payload, error)
        held = room_needed(len(payload)) if payload is not None else 0

        def written(fut: "asyncio.Future[int]") -> None:
            self._memory.written(held)
            if not fut.cancelled():
                fut.exception()  # only a closing store fails it: nothing to report
        self._answers.add((job, record, cost)).add_done_callback(written)

    async def _finish_batch(self, answers: List[Tuple[Job, bytes, int]]) -> List[int]:
        pause = 0.2
        for consumer, (args, claimed) in by_consumer(answers).items():
            most = CLAIM_MOST if claimed and not self._closing else 0
            while True:
                try:
                    keys, argv = finish_call(consumer, most, self._skip, args)
                    with _redis_errors():
                        stored = await self._scripts["finish"](keys=keys, args=argv)
                    break
                except (StoreError, RequestError) as e:
                    _log(f"cannot store {len(args) // 6} answers: {e}; retrying")
                    await asyncio.sleep(pause)
                    pause = min(5.0, 2 * pause)
            if len(stored) > 1:
                with contextlib.suppress(StoreError, RequestError):  # swept if left claimed
                    self._stash.extend(await self._claimed_jobs(consumer, stored[1:]))
        return [0] * len(answers)

    async def cancel(self, owner: str, request_id: str) -> Outcome:
        before = await self.result(owner, request_id, 0)
        if before.state == "pending":
            # The job's solver stops its search at this mark (or before starting it) and answers
            # the job as cancelled.
            with _redis_errors():
                await self._redis.set(cancel_key(request_id), 1,
                                      px=int(self._limits.result_ttl * 1000))
        return before

    async def cancelled(self, job: Job) -> bool:
        with _redis_errors():
            return bool(await self._redis.exists(cancel_key(job.request_id)))

    async def queue_depth(self) -> int:
        with _redis_errors():
            consumers = await self._redis.smembers(SOLVERS)
            async with self._redis.pipeline(transaction=False) as p:
                p.llen(BELL)  # an entry per job waiting
                for c in consumers:
                    p.scard(claims_key(c.decode()))  # type: ignore[union-attr]
                    p.llen(hand_key(c.decode()))  # type: ignore[union-attr]
                return sum(int(n) for n in await p.execute())

    async def health(self) -> Dict[str, bool]:
        try:
            # As a submit of the smallest problem would ask.
            writable = await self._memory.room(job_cost(0, SUMS, 1) + JOB_HEAD + 8, True)
        except StoreError:
            return {"reachable": False, "writable": False}
        return {"reachable": True, "writable": writable}

