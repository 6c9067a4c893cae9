"""The store on Redis, shared by any number of front ends and solver processes.

Each owner's problems wait in a list of their own, and a list of the owners with work waiting is
turned round one step per claim: solvers take the owners in turn, so a key's flood delays
another key by at most one solve per solver. A claimed job holds a lease (a sorted set scored by
its end) that its solver renews while it solves; a job whose lease ran out goes to the next solver
that asks, up to the attempts cap. Delivery is at least once: a job solved twice keeps its first
result. Results are hashes with a time to live; per-owner counters beside them are updated by the
same scripts, so every front end sees the same quotas. A channel tells waiting polls on every
front end that a result was stored. The scripts live in the lua/ folder next to this file.
"""
import asyncio
import contextlib
import secrets
import sys
import time
from array import array
from importlib import resources
from typing import Any, Collection, Dict, Iterator, List, Optional

import redis.asyncio as aioredis
from redis.exceptions import OutOfMemoryError, RedisError, ResponseError

from ..jobs import (CANCELLED, GONE, PENDING, QUOTA_BY_REASON, QUOTAS, RESULT_OVERHEAD, SUMS,
                    UNKNOWN, Job, Outcome, StoreError, job_adds, new_request_id, no_solver,
                    result_reservation, signed_by, store_full)
from ..limits import Limits
from .base import HEARTBEAT_LAPSE, Store

PREFIX = "zox:"
READY = PREFIX + "ready"
TOTALS = PREFIX + "totals"
LEASES = PREFIX + "leases"
SOLVERS = PREFIX + "solvers"
SECRET = PREFIX + "secret"
CHANNEL = PREFIX + "done"
# How long an unsolved problem's record and quota entry live: far beyond any queue a solver pool
# would let grow.
PENDING_TTL_MS = 24 * 3600 * 1000
# The counters these scripts keep; quotas on others (the in-process store's memory) leave Redis
# to its own maxmemory.
_COUNTED = {("key", "pending"), ("key", "bytes"), ("all", "queued")}
# How often a solver whose every waiting owner is passed over looks at the owners again.
SKIPPED_PAUSE = 0.005
# Share of maxmemory kept free: a result is written only while it fits below the rest.
_HEADROOM = 0.05


def _room_needed(payload_bytes: int) -> int:
    # While a result is written Redis holds it twice (the request read in, then the value), and
    # its allocations round up.
    return 2 * payload_bytes + 64 * 1024


def _script(name: str) -> str:
    return resources.files(__package__).joinpath("lua", name + ".lua").read_text()


def _owner_keys(owner: str) -> List[str]:
    return [f"{PREFIX}o:{owner}", f"{PREFIX}z:{owner}", f"{PREFIX}q:{owner}"]


def _result_key(request_id: str) -> str:
    return f"{PREFIX}r:{request_id}"


def _le_bytes(values: array) -> bytes:
    if sys.byteorder == "big":
        values = array("Q", values)
        values.byteswap()
    return values.tobytes()


def _from_le_bytes(raw: bytes) -> array:
    values = array("Q")
    values.frombytes(raw)
    if sys.byteorder == "big":
        values.byteswap()
    return values


@contextlib.contextmanager
def _redis_errors() -> Iterator[None]:
    try:
        yield
    except OutOfMemoryError:
        raise store_full() from None
    except ResponseError as e:
        if str(e).startswith("OOM") or "maxmemory" in str(e):
            raise store_full() from None
        raise StoreError(f"Redis: {e}") from None
    except (RedisError, OSError) as e:
        raise StoreError(f"Redis: {e}") from None


class RedisStore(Store):
    def __init__(self, url: str, limits: Limits):
        self._limits = limits
        self._redis = aioredis.from_url(url, decode_responses=False, socket_connect_timeout=5,
                                        socket_keepalive=True, health_check_interval=30)
        self._scripts = {name: self._redis.register_script(_script(name))
                         for name in ("submit", "claim", "renew", "announce", "finish", "poll")}
        self._rows: List[Any] = []
        for q in QUOTAS:
            if (q.scope, q.counter) in _COUNTED:
                self._rows += [q.scope, q.counter, 0, q.limit(limits), q.reason]
        self._secret = b""
        self._secrets_seen: List[bytes] = []
        self._waiters: Dict[str, List["asyncio.Future[None]"]] = {}
        self._listener: Optional["asyncio.Task[None]"] = None
        self._subscribed = asyncio.Event()
        self._next_reclaim = 0.0
        self._memory_checked = 0.0
        self._memory = (0, 0)  # used, maxmemory (0: no limit)
        self._writing = 0  # bytes of results this process let through and is still writing

    async def start(self, listen: bool = True) -> None:
        with _redis_errors():
            await self._load_secret()
        if listen:
            self._listener = asyncio.get_running_loop().create_task(self._listen())
            await asyncio.wait_for(self._subscribed.wait(), 10)

    async def _load_secret(self) -> None:
        # One secret per Redis data set: a restart that lost the data makes a new one, and ids
        # signed with an old one are then known to be lost.
        await self._redis.set(SECRET, secrets.token_hex(16), nx=True)
        stored: Any = await self._redis.get(SECRET)
        self._secret = bytes(stored or b"")
        if self._secret not in self._secrets_seen:
            self._secrets_seen.append(self._secret)

    async def close(self) -> None:
        if self._listener is not None:
            self._listener.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._listener
        await self._redis.aclose()

    async def _listen(self) -> None:
        while True:
            try:
                async with self._redis.pubsub() as ps:
                    await ps.subscribe(CHANNEL)
                    self._subscribed.set()
                    async for m in ps.listen():
                        if m["type"] in (b"message", "message"):
                            self._wake(m["data"].decode("ascii", "replace"))
            except (RedisError, OSError) as e:
                # Polls waiting meanwhile still look again when their wait ends.
                sys.stderr.write(f"zox_service: Redis notifications lost ({e}); reconnecting\n")
                await asyncio.sleep(0.5)

    def _wake(self, request_id: str) -> None:
        for fut in self._waiters.pop(request_id, ()):
            if not fut.done():
                fut.set_result(None)

    async def submit(self, owner: str, values: array, total: int, kind: str = SUMS,
                     target: int = 0) -> str:
        lim = self._limits
        cost = result_reservation(total, kind, len(values))
        used, most = await self._memory_use()
        if most and used + cost > most * (1 - _HEADROOM):
            raise store_full()
        adds = job_adds(cost)
        rows = list(self._rows)
        for i in range(0, len(rows), 5):
            rows[i + 2] = adds[rows[i + 1]]
        for _ in range(2):
            request_id = new_request_id(self._secret)
            o_hash, o_set, o_queue = _owner_keys(owner)
            with _redis_errors():
                r = await self._scripts["submit"](
                    keys=[_result_key(request_id), o_hash, o_set, o_queue, READY, TOTALS,
                          SOLVERS, SECRET],
                    args=[request_id, owner, kind, _le_bytes(values), cost, PENDING_TTL_MS,
                          int(lim.result_ttl * 1000), self._secret, target, *rows])
                r = r.decode() if isinstance(r, bytes) else r
                if r != "secret":
                    break
                await self._load_secret()
        if r == "ok":
            return request_id
        if r == "no_solver":
            raise no_solver()
        if r == "secret":
            raise StoreError("Redis: the id secret keeps changing")
        raise QUOTA_BY_REASON[r].refusal(lim)

    async def _memory_use(self) -> "tuple[int, int]":
        now = time.monotonic()
        if now - self._memory_checked > 0.5:
            with _redis_errors():
                info = await self._redis.info("memory")
            self._memory = (int(info.get("used_memory", 0)), int(info.get("maxmemory", 0)))
            self._memory_checked = now
        return self._memory

    async def room_for(self, payload_bytes: int) -> bool:
        """Whether the result fits; if it does, its room is held until `finish` has written it,
        so that results of this process's solvers finishing together do not pass the limit."""
        self._memory_checked = 0.0  # a result waits on this answer: ask afresh
        used, most = await self._memory_use()
        need = _room_needed(payload_bytes)
        if most and used + self._writing + need > most * (1 - _HEADROOM):
            return False
        self._writing += need
        return True

    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        fut: Optional["asyncio.Future[None]"] = None
        if wait > 0:
            fut = asyncio.get_running_loop().create_future()
            self._waiters.setdefault(request_id, []).append(fut)
        try:
            outcome = await self._look(owner, request_id)
            if outcome is PENDING and fut is not None:
                try:
                    await asyncio.wait_for(fut, wait)
                except asyncio.TimeoutError:
                    pass
                outcome = await self._look(owner, request_id)
            return outcome
        finally:
            if fut is not None:
                waiting = self._waiters.get(request_id)
                if waiting is not None and fut in waiting:
                    waiting.remove(fut)
                    if not waiting:
                        del self._waiters[request_id]

    async def _look(self, owner: str, request_id: str) -> Outcome:
        with _redis_errors():
            r = await self._scripts["poll"](
                keys=[_result_key(request_id), _owner_keys(owner)[1]],
                args=[owner, request_id, int(self._limits.delivered_ttl * 1000)])
        state = r[0]
        if state == b"q":
            return PENDING
        if state == b"done":
            return Outcome("done", bytes(r[1]))
        if state == b"failed":
            return Outcome("failed", error=bytes(r[1]).decode("utf-8", "replace"))
        if state == b"unknown":
            if not signed_by(request_id, self._secrets_seen):
                with _redis_errors():
                    await self._load_secret()  # a restart may have made a new one meanwhile
            if signed_by(request_id, self._secrets_seen):
                return GONE
        return UNKNOWN

    async def announce(self, consumer: str) -> None:
        with _redis_errors():
            await self._scripts["announce"](keys=[SOLVERS],
                                            args=[consumer, int(HEARTBEAT_LAPSE * 1000)])

    async def claim(self, consumer: str, wait: float,
                    skip: Collection[str] = ()) -> Optional[Job]:
        lease = int(self._limits.reclaim_after * 1000)
        with _redis_errors():
            now = time.monotonic()
            if now >= self._next_reclaim:
                self._next_reclaim = now + min(1.0, self._limits.reclaim_after / 4)
                taken = await self._scripts["claim"](keys=["", READY, TOTALS, LEASES],
                                                     args=["", lease, PREFIX])
                if taken:
                    return await self._job(taken)
            owner_name = await self._next_owner(now + wait, skip)
            if owner_name is None:
                return None
            taken = await self._scripts["claim"](
                keys=[_owner_keys(owner_name)[2], READY, TOTALS, LEASES],
                args=[owner_name, lease, PREFIX])
            return await self._job(taken) if taken else None

    async def _next_owner(self, deadline: float, skip: Collection[str]) -> Optional[str]:
        """Turns the owners round one step at a time, waiting for one if none has work, until
        one not in `skip` comes up; None at the deadline."""
        passed = 0
        while True:
            timeout: Any = max(0.01, deadline - time.monotonic())  # Redis takes fractions
            owner: Any = await self._redis.blmove(READY, READY, timeout, "LEFT", "RIGHT")
            if owner is None:
                return None
            if owner.decode() not in skip:
                return owner.decode()
            passed += 1
            if passed > len(skip):
                # Only passed-over owners have work: look again shortly (a new owner's work or
                # a turn freed by this process's solvers).
                if time.monotonic() >= deadline:
                    return None
                await asyncio.sleep(SKIPPED_PAUSE)
                passed = 0

    async def _job(self, taken: List[Any]) -> Optional[Job]:
        request_id, owner, kind, values, ttl, target, attempts = taken
        job = Job(request_id.decode(), owner.decode(), _from_le_bytes(bytes(values)),
                  int(ttl) / 1000, kind.decode(), int(target or 0))
        if attempts > self._limits.max_attempts:
            # The problem keeps killing its solvers: answer it instead of passing it on forever.
            await self.finish(job, None, f"Solve failed: its solver stopped {attempts - 1} times")
            return None
        return job

    async def renew(self, job: Job) -> None:
        with _redis_errors():
            await self._scripts["renew"](keys=[LEASES], args=[
                job.request_id, int(self._limits.reclaim_after * 1000)])

    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        state, data = ("done", payload) if payload is not None else \
            ("failed", (error or "Solve failed").encode())
        o_hash, o_set, _ = _owner_keys(job.owner)
        try:
            with _redis_errors():
                await self._scripts["finish"](
                    keys=[_result_key(job.request_id), o_hash, o_set, LEASES],
                    args=[job.request_id, state, data, int(job.ttl * 1000), CHANNEL,
                          RESULT_OVERHEAD])
        finally:
            if payload is not None:  # written or not, it no longer holds room
                self._writing = max(0, self._writing - _room_needed(len(payload)))

    async def cancel(self, owner: str, request_id: str) -> Outcome:
        with _redis_errors():
            found: Any = await self._redis.hmget(_result_key(request_id), "owner", "state")
        if found[0] is None or found[0].decode() != owner:
            return await self._look(owner, request_id)  # not its own: as a poll answers
        if found[1] != b"q":
            return Outcome(found[1].decode())
        o_hash, o_set, _ = _owner_keys(owner)
        with _redis_errors():  # a waiting job's claim passes it over; a solver's stops
            ended = await self._scripts["finish"](
                keys=[_result_key(request_id), o_hash, o_set, LEASES],
                args=[request_id, "failed", CANCELLED, int(self._limits.result_ttl * 1000),
                      CHANNEL, RESULT_OVERHEAD])
        return PENDING if ended else Outcome("done")  # else its solver answered it first

    async def cancelled(self, job: Job) -> bool:
        with _redis_errors():
            return await self._redis.hget(_result_key(job.request_id), "state") != b"q"

    async def queue_depth(self) -> int:
        with _redis_errors():
            waiting = int(await self._redis.hget(TOTALS, "queued") or 0)
            return waiting + int(await self._redis.zcard(LEASES))

    async def health(self) -> Dict[str, bool]:
        self._memory_checked = 0.0
        try:
            used, most = await self._memory_use()
        except StoreError:
            return {"reachable": False, "writable": False}
        return {"reachable": True, "writable": not most or used < most * (1 - _HEADROOM)}
