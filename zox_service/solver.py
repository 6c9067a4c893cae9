"""The solver loop: claim a job, solve it off the event loop, store the payload, acknowledge."""
import asyncio
import os
import socket
import sys
import time
from array import array
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, List, Optional

from .metrics import Metrics
from .store import Job, Store, StoreError
from .wire import encode_result


def solve_payload(values: array) -> bytes:
    """Solves in this process (the service sets ZO_KILLSWITCH=1 in its own environment at start)
    and returns the result payload. The array form takes the values as a buffer and writes the
    words into an array, so no list of ints is built either way; builds of zox without it use
    the list form."""
    import zox

    solve_array = getattr(zox, "complete_subset_sum_array", None)
    if solve_array is not None:
        return encode_result(solve_array(values))
    return encode_result(zox.complete_subset_sum(values.tolist()))


def consumer_name() -> str:
    return f"{socket.gethostname()}-{os.getpid()}"


class Solvers:
    """`count` solves at once on their own threads (a solve releases the interpreter lock)."""

    def __init__(self, store: Store, count: int, metrics: Metrics, renew_every: float,
                 solve: Callable[[array], bytes] = solve_payload):
        self._store = store
        self._count = count
        self._metrics = metrics
        self._renew_every = renew_every
        self._solve = solve
        self._pool = ThreadPoolExecutor(max(1, count), thread_name_prefix="zox-solver")
        self._tasks: List["asyncio.Task[None]"] = []
        self._stopping = False
        self._consumer = consumer_name()

    def start(self) -> None:
        loop = asyncio.get_running_loop()
        self._tasks = [loop.create_task(self._run()) for _ in range(self._count)]

    async def stop(self) -> None:
        """Takes no new job, finishes and stores those being solved."""
        self._stopping = True
        if self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        self._pool.shutdown(wait=False)

    async def _run(self) -> None:
        while not self._stopping:
            try:
                job = await self._store.claim(self._consumer, wait=1.0)
            except StoreError as e:
                _log(f"cannot claim a job: {e}")
                await asyncio.sleep(1.0)
                continue
            if job is not None:
                await self._solve_one(job)

    async def _solve_one(self, job: Job) -> None:
        loop = asyncio.get_running_loop()
        started = time.perf_counter()
        solving = loop.run_in_executor(self._pool, self._solve, job.values)
        job.values = array("Q")  # the thread holds its own reference
        while True:
            done, _ = await asyncio.wait({solving}, timeout=self._renew_every)
            if done:
                break
            try:
                await self._store.renew(job)
            except StoreError as e:
                _log(f"cannot renew the claim of {job.request_id}: {e}")
        payload: Optional[bytes] = None
        error: Optional[str] = None
        try:
            payload = solving.result()
            self._metrics.solves.labels("done").inc()
        except Exception as e:  # the loop must survive any failed solve
            error = f"Solve failed: {type(e).__name__}: {e}"
            _log(error)
            self._metrics.solves.labels("failed").inc()
        self._metrics.solve_seconds.observe(time.perf_counter() - started)
        for attempt in range(5):
            try:
                await self._store.finish(job, payload, error)
                return
            except StoreError as e:
                # Unacknowledged, the job goes to another solver once the store is back.
                _log(f"cannot store the result of {job.request_id}: {e}")
                await asyncio.sleep(0.2 * 2**attempt)


def _log(text: str) -> None:
    sys.stderr.write(f"zox_service: {text}\n")
    sys.stderr.flush()
