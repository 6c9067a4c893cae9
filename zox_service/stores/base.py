"""What every store does: admit a problem, hand jobs to solvers, keep results for polls, expire.

The store never knows HTTP: it admits or refuses (``RequestError``), and answers polls with an
``Outcome``. Solvers announce themselves, so a store with no live solver refuses new work instead
of queueing what nothing will solve.
"""
import abc
from array import array
from typing import Callable, Collection, Dict, List, Optional, Tuple

from ..jobs import SUMS, Job, Outcome

# Solvers announce themselves this often; one silent for HEARTBEAT_LAPSE is taken for dead.
HEARTBEAT_EVERY = 1.0
HEARTBEAT_LAPSE = 5.0
# A solver's offer to solve a job at once, on the caller's thread: its payload or failure, or None
# when the job is not one to solve that way.
SolveAtOnce = Callable[[Job], Optional[Tuple[Optional[bytes], Optional[str]]]]


class Store(abc.ABC):
    @abc.abstractmethod
    async def start(self) -> None: ...

    @abc.abstractmethod
    async def close(self) -> None: ...

    @abc.abstractmethod
    async def submit(self, owner: str, values: array, total: int, kind: str = SUMS,
                     target: int = 0) -> str:
        """Admits a problem of `kind` (with its `target`, for a SUBSET job) within the quotas and
        returns its request id; RequestError when a quota is full or no solver is alive."""

    @abc.abstractmethod
    async def result(self, owner: str, request_id: str, wait: float) -> Outcome:
        """The problem's state, waiting up to `wait` seconds for an unfinished solve. A delivered
        result is kept only for the delivered time to live from then on."""

    @abc.abstractmethod
    async def claim(self, consumer: str, wait: float,
                    skip: Collection[str] = ()) -> Optional[Job]:
        """The next job for a solver, or None after `wait` seconds without one; owners in `skip`
        are passed over (they keep their turn)."""

    def claim_ready(self, consumer: str, most: int, fits: Callable[[Job], bool]) -> List[Job]:
        """Up to `most` more jobs that are waiting right now, in turn, as long as each `fits`: a
        solver takes them along with the one it claimed. Stores where a claim costs a round trip
        hand out none here."""
        return []

    @abc.abstractmethod
    async def cancel(self, owner: str, request_id: str) -> Outcome:
        """Ends the owner's unfinished job with the failure CANCELLED; returns what a poll would
        have answered just before (PENDING when this cancelled it)."""

    async def cancelled(self, job: Job) -> bool:
        """Whether the job a solver is working on was answered meanwhile (cancelled)."""
        return False

    async def renew(self, job: Job) -> None:
        """Tells the store the solver of `job` is alive (a long solve)."""

    @abc.abstractmethod
    async def announce(self, consumer: str) -> None:
        """A solver of `consumer` is alive for the next HEARTBEAT_LAPSE seconds."""

    def solve_at_once_with(self, solve: Optional[SolveAtOnce]) -> None:
        """Offers a store whose solvers share its event loop a way to answer a tiny job in the
        submit that brings it (None withdraws it). Stores whose jobs go to other processes
        ignore it."""

    async def room_for(self, payload_bytes: int) -> bool:
        """Whether a result of this size can be stored now without passing the store's memory."""
        return True

    @abc.abstractmethod
    async def finish(self, job: Job, payload: Optional[bytes], error: Optional[str]) -> None: ...

    @abc.abstractmethod
    async def queue_depth(self) -> int: ...

    async def health(self) -> Dict[str, bool]:
        """What the store can do now: "reachable" and "writable"."""
        return {"reachable": True, "writable": True}
