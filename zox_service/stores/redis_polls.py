"""Polls on Redis: news of jobs that ended heard on a channel, polls held until their job ends,
results read a window at a time, and deliveries that stop results counting against their keys.

A poll for a job submitted through this front end whose end was not heard of waits for the news
without reading the store; a small result comes with the news, and is kept a moment for a poll
that comes after it. A larger one is read a window at
a time on connections of its own, so it never holds the connections every other call takes.
Deliveries wait a moment for the next submit, which takes them along.
"""
import asyncio
import contextlib
import time
from collections import OrderedDict
from functools import partial
from typing import Any, Dict, List, Optional, Set, Tuple

from redis.exceptions import RedisError

from ..jobs import GONE, PENDING, RESULT_OVERHEAD, UNKNOWN, Outcome, StoreError
from ..limits import Limits
from ..wire import RequestError
from .redis_memory import log as _log, redis_errors as _redis_errors
from .redis_records import CHANNEL, HEAD, HELD, PREFIX, ended, header, record_key

# What a delivery reads per range: the window the sender holds.
WINDOW = 64 * 1024
# What a poll reads first: a small result whole; of a larger one, little for a poll that may yet
# be refused (its key's answers on their way take all their budget).
FIRST_READ = 16 * 1024
# Delivered results wait this long for a submit to take them along.
DELIVERED_WAIT = 0.05
# Small results heard of before their poll came: kept this long (and never near the end of their
# life in the store), and at most this many bytes.
HEARD_KEEP = 2.0
HEARD_MOST = 4 * 1024 * 1024
# Most deliveries in one script (Lua takes a few thousand arguments at once).
DELIVERED_MOST = 1000


class Polls:
    def __init__(self, client: Any, readers: Any, delivered: Any, limits: Limits):
        self._redis = client
        self._readers = readers
        self._delivered_script = delivered
        self._limits = limits
        self._waiters: Dict[str, List["asyncio.Future[bytes]"]] = {}
        self._mine: Set[str] = set()  # ids submitted here whose end was not yet heard of
        # Records of jobs submitted here that ended before their poll: when heard, and record.
        self._heard: "OrderedDict[str, Tuple[float, bytes]]" = OrderedDict()
        self._heard_bytes = 0
        self._heard_keep = min(HEARD_KEEP, limits.result_ttl / 4)
        self._delivered: List[str] = []  # held members of results delivered
        self._delivering: Optional[asyncio.Handle] = None
        self._tasks: Set["asyncio.Task[None]"] = set()

    async def listen(self, subscribed: asyncio.Event) -> None:
        while True:
            try:
                async with self._redis.pubsub() as ps:
                    await ps.subscribe(CHANNEL)
                    subscribed.set()
                    async for m in ps.listen():
                        if m["type"] in (b"message", "message"):
                            for request_id, record in ended(m["data"]):
                                self._wake(request_id, record)
            except (RedisError, OSError) as e:
                # Ends heard of meanwhile are lost: polls look at the store first from now on.
                self._mine.clear()
                self._heard.clear()
                self._heard_bytes = 0
                _log(f"Redis notifications lost ({e}); reconnecting")
                await asyncio.sleep(0.5)

    def expect(self, request_id: str) -> None:
        """A job submitted here: its end will be heard of."""
        if len(self._mine) >= 100_000:  # ends not heard of (a restart lost them): looked at
            self._mine.clear()
        self._mine.add(request_id)

    def forget(self, request_id: str) -> None:
        self._mine.discard(request_id)

    def _wake(self, request_id: str, record: bytes) -> None:
        waiting = self._waiters.pop(request_id, None)
        if request_id in self._mine and waiting is None and record:
            self._keep(request_id, record)
        self._mine.discard(request_id)
        for fut in waiting or ():
            if not fut.done():
                fut.set_result(record)

    def heard(self, request_id: str, record: bytes) -> None:
        """A job submitted here that was answered in its submit."""
        self._mine.discard(request_id)
        self._keep(request_id, record)

    def _keep(self, request_id: str, record: bytes) -> None:
        """An ended job's record, for the poll that is likely on its way."""
        now = time.monotonic()
        self._heard[request_id] = (now, record)
        self._heard_bytes += len(record)
        while self._heard and (self._heard_bytes > HEARD_MOST or
                               next(iter(self._heard.values()))[0] < now - self._heard_keep):
            self._heard_bytes -= len(self._heard.popitem(last=False)[1][1])

    def _heard_of(self, request_id: str) -> bytes:
        kept = self._heard.pop(request_id, None)
        if kept is None:
            return b""
        self._heard_bytes -= len(kept[1])
        return kept[1] if kept[0] >= time.monotonic() - self._heard_keep else b""

    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        fut: Optional["asyncio.Future[bytes]"] = None
        if wait > 0:
            fut = asyncio.get_running_loop().create_future()
            self._waiters.setdefault(request_id, []).append(fut)
        try:
            # A job submitted here whose end was not heard of is waiting: no need to look yet;
            # one whose end was heard of with its record needs no look either.
            heard = self._heard_of(request_id) if self._heard else b""
            outcome = self._outcome(owner, request_id, heard) if heard \
                else PENDING if fut is not None and request_id in self._mine \
                else await self._look(owner, request_id)
            if outcome is PENDING and fut is not None:
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(asyncio.shield(fut), wait)
                # A small record came with the news: no need to read it.
                record = fut.result() if fut.done() else b""
                outcome = self._outcome(owner, request_id, record) if record \
                    else await self._look(owner, request_id)
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
            found = await self._redis.getrange(record_key(request_id), 0, HEAD + FIRST_READ - 1)
        found = bytes(found)  # type: ignore[arg-type]  # bytes: the client decodes nothing
        if not found:
            self._mine.discard(request_id)
            return GONE  # the id was made for this owner: the store lost it or it expired
        return self._outcome(owner, request_id, found)

    def _outcome(self, owner: str, request_id: str, found: bytes) -> Outcome:
        """The answer a record read from its start gives."""
        state, stored_owner, cost = header(found)
        if stored_owner != owner:
            return UNKNOWN
        if state == b"q":
            return PENDING
        self._mine.discard(request_id)
        self._delivered.append(stored_owner + request_id + str(cost))
        if self._delivering is None:
            self._delivering = asyncio.get_running_loop().call_later(
                DELIVERED_WAIT, self._deliver_soon)
        if state == b"f":
            return Outcome("failed", error=found[HEAD:].decode("utf-8", "replace"))
        size, first = cost - RESULT_OVERHEAD, found[HEAD:]
        if size <= len(first):
            return Outcome("done", first)
        return Outcome("done", first, size=size, read=partial(self._read, request_id))

    async def _read(self, request_id: str, start: int, end: int) -> bytes:
        with _redis_errors():
            piece = await self._readers.getrange(record_key(request_id), HEAD + start,
                                                 HEAD + end - 1)
        return bytes(piece)  # type: ignore[arg-type]  # bytes: the client decodes nothing

    def give_back(self, held: List[str]) -> None:
        """Deliveries a submit took along but could not send."""
        self._delivered[:0] = held

    def take_delivered(self) -> List[str]:
        """Deliveries to send, as many as one script takes."""
        held, self._delivered = self._delivered[:DELIVERED_MOST], self._delivered[DELIVERED_MOST:]
        if self._delivering is not None:
            self._delivering.cancel()
            self._delivering = None
        if self._delivered:
            self._delivering = asyncio.get_running_loop().call_soon(self._deliver_soon)
        return held

    async def delivered_batch(self) -> None:
        held = self.take_delivered()
        if not held:
            return
        try:
            with _redis_errors():
                await self._delivered_script(
                    keys=[HELD], args=[PREFIX, int(self._limits.delivered_ttl * 1000),
                                       int(time.time() * 1000), *held])
        except (StoreError, RequestError) as e:
            # Their results count against their keys until they expire.
            _log(f"cannot mark {len(held)} results delivered: {e}")

    async def close(self) -> None:
        """Sends what was delivered (once, as far as one script takes) and stops."""
        await self.delivered_batch()
        if self._delivering is not None:
            self._delivering.cancel()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    def _deliver_soon(self) -> None:
        task = asyncio.get_running_loop().create_task(self.delivered_batch())
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
