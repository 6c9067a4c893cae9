"""The store on Redis, shared by any number of front ends and solver processes.

Work is a stream with one consumer group: XADD to submit, XREADGROUP to claim, XACK (and XDEL) once
the result is stored, XAUTOCLAIM to take over what a dead or silent solver held; a live solver renews
its claim with XCLAIM while it solves. Delivery is at least once: a job solved twice stores the same
result twice, and the second store changes nothing. Results are hashes with a time to live. Per-owner
quotas live beside them: a hash of counters and a sorted set of each result's expiry, updated inside
the same scripts, so every front end sees the same quota. A channel tells waiting polls on every
front end that a result was stored.
"""
import asyncio
import contextlib
import secrets
import sys
import time
from array import array
from typing import Any, Dict, Iterator, List, Optional

import redis.asyncio as aioredis
from redis.exceptions import RedisError, ResponseError

from .config import RESULT_OVERHEAD, Limits, result_reservation
from .store import PENDING, UNKNOWN, Job, Outcome, Store, StoreError
from .wire import busy

PREFIX = "zox:"
STREAM = PREFIX + "jobs"
GROUP = "solvers"
CHANNEL = PREFIX + "done"
# How long an unsolved problem's record and quota entry live: far beyond any queue a solver pool
# would let grow.
PENDING_TTL_MS = 24 * 3600 * 1000

_NOW = """
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
"""

# KEYS: stream, owner hash, owner expiry set, result hash
# ARGV: id, owner, values, cost, max pending, max held bytes, max queued, pending ttl, result ttl
_SUBMIT = _NOW + """
local gone = redis.call('ZRANGEBYSCORE', KEYS[3], '-inf', now)
for _, id in ipairs(gone) do
  local c = redis.call('HGET', KEYS[2], 'c:' .. id)
  if c then
    redis.call('HINCRBY', KEYS[2], 'bytes', -tonumber(c))
    redis.call('HDEL', KEYS[2], 'c:' .. id)
  end
end
if #gone > 0 then redis.call('ZREMRANGEBYSCORE', KEYS[3], '-inf', now) end
local cost = tonumber(ARGV[4])
if tonumber(redis.call('HGET', KEYS[2], 'pending') or '0') >= tonumber(ARGV[5]) then
  return 'key_pending'
end
if tonumber(redis.call('HGET', KEYS[2], 'bytes') or '0') + cost > tonumber(ARGV[6]) then
  return 'key_held_bytes'
end
if redis.call('XLEN', KEYS[1]) >= tonumber(ARGV[7]) then return 'queue_full' end
local ttl = tonumber(ARGV[8])
redis.call('HINCRBY', KEYS[2], 'pending', 1)
redis.call('HINCRBY', KEYS[2], 'bytes', cost)
redis.call('HSET', KEYS[2], 'c:' .. ARGV[1], cost, 'p:' .. ARGV[1], 1)
redis.call('ZADD', KEYS[3], now + ttl, ARGV[1])
redis.call('PEXPIRE', KEYS[2], ttl)
redis.call('PEXPIRE', KEYS[3], ttl)
redis.call('HSET', KEYS[4], 'owner', ARGV[2], 'state', 'q')
redis.call('PEXPIRE', KEYS[4], ttl)
redis.call('XADD', KEYS[1], '*', 'id', ARGV[1], 'owner', ARGV[2], 'ttl', ARGV[9],
           'values', ARGV[3])
return 'ok'
"""

# KEYS: result hash, owner hash, owner expiry set, stream
# ARGV: id, state, payload or error text, ttl, group, stream entry id, channel, overhead
_FINISH = _NOW + """
if redis.call('HDEL', KEYS[2], 'p:' .. ARGV[1]) == 1 then
  redis.call('HINCRBY', KEYS[2], 'pending', -1)
  local ttl = tonumber(ARGV[4])
  local old = redis.call('HGET', KEYS[2], 'c:' .. ARGV[1])
  if old then
    local cost = string.len(ARGV[3]) + tonumber(ARGV[8])
    redis.call('HINCRBY', KEYS[2], 'bytes', cost - tonumber(old))
    redis.call('HSET', KEYS[2], 'c:' .. ARGV[1], cost)
    redis.call('ZADD', KEYS[3], now + ttl, ARGV[1])
  end
  redis.call('HSET', KEYS[1], 'state', ARGV[2], 'payload', ARGV[3])
  redis.call('PEXPIRE', KEYS[1], ttl)
  redis.call('PUBLISH', ARGV[7], ARGV[1])
end
redis.call('XACK', KEYS[4], ARGV[5], ARGV[6])
redis.call('XDEL', KEYS[4], ARGV[6])
return 1
"""

# KEYS: result hash, owner expiry set; ARGV: owner, id, delivered ttl
_POLL = _NOW + """
local r = redis.call('HMGET', KEYS[1], 'owner', 'state', 'payload')
if r[1] ~= ARGV[1] then return {'unknown'} end
if r[2] == 'done' then
  local grace = tonumber(ARGV[3])
  if redis.call('PTTL', KEYS[1]) > grace then
    redis.call('PEXPIRE', KEYS[1], grace)
    redis.call('ZADD', KEYS[2], 'XX', now + grace, ARGV[2])
  end
end
return {r[2], r[3]}
"""

_REFUSALS = {
    "key_pending": lambda lim: busy("key_pending", f"this key has {lim.max_pending} problems "
                                    "waiting (--max-pending)", 1),
    "key_held_bytes": lambda lim: busy("key_held_bytes", f"this key holds {lim.max_held_bytes} "
                                       "bytes of results (--max-held-bytes); fetch them or wait",
                                       30),
    "queue_full": lambda lim: busy("queue_full", f"{lim.max_queued} problems are waiting "
                                   "(--max-queued)", 1),
}


def _owner_keys(owner: str) -> List[str]:
    return [f"{PREFIX}o:{owner}", f"{PREFIX}z:{owner}"]


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
    except ResponseError as e:
        if str(e).startswith("OOM"):
            raise busy("store_full", "the store is out of memory", 30) from None
        raise StoreError(f"Redis: {e}") from None
    except (RedisError, OSError) as e:
        raise StoreError(f"Redis: {e}") from None


class RedisStore(Store):
    def __init__(self, url: str, limits: Limits):
        self._limits = limits
        self._redis = aioredis.from_url(url, decode_responses=False, socket_connect_timeout=5,
                                        socket_keepalive=True, health_check_interval=30)
        self._submit = self._redis.register_script(_SUBMIT)
        self._finish = self._redis.register_script(_FINISH)
        self._poll = self._redis.register_script(_POLL)
        self._waiters: Dict[str, List["asyncio.Future[None]"]] = {}
        self._listener: Optional["asyncio.Task[None]"] = None
        self._subscribed = asyncio.Event()
        self._next_reclaim = 0.0

    async def start(self, listen: bool = True) -> None:
        with _redis_errors():
            await self._redis.ping()
            await self._create_group()
        if listen:
            self._listener = asyncio.get_running_loop().create_task(self._listen())
            await asyncio.wait_for(self._subscribed.wait(), 10)

    async def _create_group(self) -> None:
        try:
            await self._redis.xgroup_create(STREAM, GROUP, id="0", mkstream=True)
        except ResponseError as e:
            if "BUSYGROUP" not in str(e):
                raise

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
                        if m["type"] == b"message" or m["type"] == "message":
                            self._wake(m["data"].decode("ascii", "replace"))
            except (RedisError, OSError) as e:
                # Polls waiting meanwhile still look again when their wait ends.
                sys.stderr.write(f"zox_service: Redis notifications lost ({e}); reconnecting\n")
                await asyncio.sleep(0.5)

    def _wake(self, request_id: str) -> None:
        for fut in self._waiters.pop(request_id, ()):
            if not fut.done():
                fut.set_result(None)

    async def submit(self, owner: str, values: array, total: int) -> str:
        lim = self._limits
        request_id = secrets.token_hex(16)
        o_hash, o_set = _owner_keys(owner)
        with _redis_errors():
            r = await self._submit(
                keys=[STREAM, o_hash, o_set, _result_key(request_id)],
                args=[request_id, owner, _le_bytes(values), result_reservation(total),
                      lim.max_pending, lim.max_held_bytes, lim.max_queued, PENDING_TTL_MS,
                      int(lim.result_ttl * 1000)])
        r = r.decode() if isinstance(r, bytes) else r
        if r != "ok":
            raise _REFUSALS[r](lim)
        return request_id

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
            r = await self._poll(keys=[_result_key(request_id), _owner_keys(owner)[1]],
                                 args=[owner, request_id, int(self._limits.delivered_ttl * 1000)])
        state = r[0]
        if state == b"q":
            return PENDING
        if state == b"done":
            return Outcome("done", bytes(r[1]))
        if state == b"failed":
            return Outcome("failed", error=bytes(r[1]).decode("utf-8", "replace"))
        return UNKNOWN

    async def claim(self, consumer: str, wait: float) -> Optional[Job]:
        try:
            return await self._claim(consumer, wait)
        except StoreError as e:
            if "NOGROUP" not in str(e):
                raise
        # Redis lost the stream (a restart without persistence): start it again.
        with _redis_errors():
            await self._create_group()
        return None

    async def _claim(self, consumer: str, wait: float) -> Optional[Job]:
        lim = self._limits
        with _redis_errors():
            now = time.monotonic()
            if now >= self._next_reclaim:
                self._next_reclaim = now + min(1.0, lim.reclaim_after / 4)
                claimed: Any = await self._redis.xautoclaim(
                    STREAM, GROUP, consumer, min_idle_time=int(lim.reclaim_after * 1000),
                    start_id="0-0", count=1)
                if claimed[1]:
                    return await self._job(consumer, *claimed[1][0])
            read: Any = await self._redis.xreadgroup(GROUP, consumer, {STREAM: ">"}, count=1,
                                                     block=max(1, int(wait * 1000)))
            if not read:
                return None
            entries = read[0][1]
            return await self._job(consumer, *entries[0]) if entries else None

    async def _job(self, consumer: str, entry_id: bytes,
                   fields: Dict[bytes, bytes]) -> Optional[Job]:
        request_id = fields[b"id"].decode()
        job = Job(request_id, fields[b"owner"].decode(), _from_le_bytes(fields[b"values"]),
                  int(fields[b"ttl"]) / 1000, handle=(entry_id, consumer))
        attempts = await self._redis.hincrby(_result_key(request_id), "attempts", 1)
        if attempts > self._limits.max_attempts:
            # The problem keeps killing its solvers: answer it instead of passing it on forever.
            await self.finish(job, None, f"Solve failed: its solver stopped {attempts - 1} times")
            return None
        return job

    async def renew(self, job: Job) -> None:
        with _redis_errors():
            entry_id, consumer = job.handle
            await self._redis.xclaim(STREAM, GROUP, consumer, 0, [entry_id], justid=True)

    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None:
        state, data = ("done", payload) if payload is not None else \
            ("failed", (error or "Solve failed").encode())
        o_hash, o_set = _owner_keys(job.owner)
        with _redis_errors():
            await self._finish(
                keys=[_result_key(job.request_id), o_hash, o_set, STREAM],
                args=[job.request_id, state, data, int(job.ttl * 1000), GROUP, job.handle[0],
                      CHANNEL, RESULT_OVERHEAD])

    async def queue_depth(self) -> int:
        with _redis_errors():
            return int(await self._redis.xlen(STREAM))

    async def healthy(self) -> bool:
        try:
            return bool(await self._redis.ping())
        except (RedisError, OSError):
            return False

