"""Submitted problems, the worker threads that solve them, and their results until they expire."""
import hmac
import queue
import secrets
import sys
import threading
import time
from array import array
from typing import Callable, Dict, List, Optional

from .config import Limits, result_reservation
from .wire import RequestError, encode_result


def solve_payload(values: array) -> bytes:
    """Solves in this process (the service sets ZO_KILLSWITCH=1 in its own environment at start)
    and returns the result payload."""
    import zox

    return encode_result(zox.complete_subset_sum(values.tolist()))


class Job:
    __slots__ = ("request_id", "key", "values", "reserved", "payload", "error", "finished", "done")

    def __init__(self, request_id: str, key: bytes, values: array, reserved: int):
        self.request_id = request_id
        self.key = key
        self.values: Optional[array] = values
        self.reserved = reserved  # bytes counted against the store's limit
        self.payload: Optional[bytes] = None
        self.error: Optional[str] = None
        self.finished: Optional[float] = None
        self.done = threading.Event()


class JobStore:
    """Admits problems within the limits, solves them on a pool of threads and keeps each result
    for the limit's time after it is solved. Solving releases the interpreter lock, so threads
    solve in parallel."""

    def __init__(self, limits: Limits, workers: int,
                 solve: Callable[[array], bytes] = solve_payload,
                 clock: Callable[[], float] = time.monotonic):
        self._limits = limits
        self._workers = workers
        self._solve = solve
        self._clock = clock
        self._lock = threading.Lock()
        self._jobs: Dict[str, Job] = {}
        self._queue: "queue.SimpleQueue[Optional[Job]]" = queue.SimpleQueue()
        self._pending = 0
        self._stored_bytes = 0
        self._stopping = threading.Event()
        self._threads: List[threading.Thread] = []

    def start(self) -> None:
        # Daemon threads: a solve cannot be interrupted, and stopping the service must not wait
        # for one.
        for i in range(self._workers):
            t = threading.Thread(target=self._work, name=f"zox-solver-{i}", daemon=True)
            t.start()
            self._threads.append(t)
        t = threading.Thread(target=self._sweep, name="zox-expiry", daemon=True)
        t.start()
        self._threads.append(t)

    def stop(self) -> None:
        self._stopping.set()
        for _ in range(self._workers):
            self._queue.put(None)

    def submit(self, key: bytes, values: array, total: int) -> str:
        reserved = result_reservation(total)
        lim = self._limits
        with self._lock:
            self._purge_locked()
            if self._pending >= lim.max_pending:
                raise RequestError(503, "Service busy: too many problems waiting; try again later")
            if len(self._jobs) >= lim.max_results:
                raise RequestError(503, "Service busy: too many results held; try again later")
            if self._stored_bytes + reserved > lim.max_stored_bytes:
                raise RequestError(503, "Service busy: result memory is full; try again later")
            request_id = secrets.token_hex(16)
            job = Job(request_id, key, values, reserved)
            self._jobs[request_id] = job
            self._pending += 1
            self._stored_bytes += reserved
        self._queue.put(job)
        return request_id

    def find(self, key: bytes, request_id: str) -> Optional[Job]:
        """The job, if it exists and was submitted with this key."""
        with self._lock:
            self._purge_locked()
            job = self._jobs.get(request_id)
        if job is None or not hmac.compare_digest(job.key, key):
            return None
        return job

    def counts(self) -> Dict[str, int]:
        with self._lock:
            return {"jobs": len(self._jobs), "pending": self._pending,
                    "stored_bytes": self._stored_bytes}

    def purge_expired(self) -> None:
        with self._lock:
            self._purge_locked()

    def _purge_locked(self) -> None:
        deadline = self._clock() - self._limits.result_ttl
        expired = [j for j in self._jobs.values() if j.finished is not None and j.finished <= deadline]
        for job in expired:
            del self._jobs[job.request_id]
            self._stored_bytes -= job.reserved

    def _work(self) -> None:
        while True:
            job = self._queue.get()
            if job is None:
                return
            values, job.values = job.values, None
            payload: Optional[bytes] = None
            error: Optional[str] = None
            try:
                payload = self._solve(values)
            except Exception as e:  # the worker must survive any failed solve
                error = f"Solve failed: {type(e).__name__}: {e}"
                sys.stderr.write(f"zox_service: {error}\n")
            del values
            with self._lock:
                self._pending -= 1
                if payload is not None:
                    self._stored_bytes += len(payload) - job.reserved
                    job.reserved = len(payload)
                else:
                    self._stored_bytes -= job.reserved
                    job.reserved = 0
                job.payload, job.error = payload, error
                job.finished = self._clock()
            job.done.set()

    def _sweep(self) -> None:
        # Frees expired results while nobody is asking for anything.
        interval = min(30.0, self._limits.result_ttl)
        while not self._stopping.wait(interval):
            self.purge_expired()
