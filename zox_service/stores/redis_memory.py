"""Redis's memory as the store sees it: whether a write fits below `maxmemory`, and the errors of
a Redis that cannot take a write or cannot be reached, as the store's own.

Redis refuses a write only once it is past its limit, so one large write could take it far past:
every write is let through only while a reading of Redis's memory (at most half a second old, and
read afresh for a large write or near the limit), plus what this process wrote since and is
writing, leaves the headroom free.
"""
import contextlib
import sys
import time
from typing import Any, Iterator, Tuple

from redis.exceptions import OutOfMemoryError, RedisError, ResponseError

from ..jobs import StoreError, store_full

# Share of maxmemory kept free.
HEADROOM = 0.05
# An estimate this close to the limit is read afresh before it admits a write.
NEAR = 0.8
# Writes larger than this read Redis's memory afresh.
LARGE_WRITE = 64 * 1024


@contextlib.contextmanager
def redis_errors() -> Iterator[None]:
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


def log(text: str) -> None:
    """A line for the operator on standard error."""
    sys.stderr.write(f"zox_service: {text}\n")
    sys.stderr.flush()


def room_needed(payload_bytes: int) -> int:
    # While a result is written Redis holds it twice (the request read in, then the value), and
    # its allocations round up.
    return 2 * payload_bytes + 64 * 1024


class RedisMemory:
    def __init__(self, client: Any):
        self._redis = client
        self._read_at = -1e9
        self._reading = (0, 0)  # used, maxmemory (0: no limit)
        self._added = 0  # bytes this process wrote since the reading
        self._writing = 0  # bytes of results this process let through and is still writing

    async def _use(self, fresh: bool) -> Tuple[int, int]:
        now = time.monotonic()
        if fresh or now - self._read_at > 0.5:
            with redis_errors():
                info = await self._redis.info("memory")
            self._reading = (int(info.get("used_memory", 0)), int(info.get("maxmemory", 0)))
            self._read_at, self._added = now, 0
        return self._reading

    async def room(self, need: int, fresh: bool = False) -> bool:
        """Whether `need` more bytes keep Redis below its limit and the headroom."""
        used, most = await self._use(fresh)
        if most and not fresh and \
                used + self._added + self._writing + need > NEAR * most * (1 - HEADROOM):
            used, most = await self._use(True)
        return not most or used + self._added + self._writing + need <= most * (1 - HEADROOM)

    def forget(self) -> None:
        self._read_at = -1e9

    def hold(self, n: int) -> None:
        """`n` bytes are being written: they count until `written`."""
        self._writing += n

    def added(self, n: int) -> None:
        self._added += n

    async def room_for(self, payload_bytes: int) -> bool:
        """Whether the result fits; if it does, its room is held until `written`, so that results
        of this process's solvers finishing together do not pass the limit."""
        need = room_needed(payload_bytes)
        if not await self.room(need, fresh=payload_bytes > LARGE_WRITE):
            return False
        self.hold(need)
        return True

    def written(self, held: int) -> None:
        self._writing = max(0, self._writing - held)
