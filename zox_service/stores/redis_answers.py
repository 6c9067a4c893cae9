"""Answers of this process's solvers on their way to Redis, as finish.lua takes them: grouped by
consumer, with whether the consumer claimed any of them (then more work is likely waiting, and the
script takes its next jobs along). In a worker process, where no reader waits on its answers,
those of jobs that came with their bell entries go in the same write as the solver's next blocking
move: one write and one wake of Redis per solve instead of two.
"""
import asyncio
import time
from typing import Any, Callable, Collection, Dict, List, Optional, Tuple

from ..jobs import Job
from .batches import Batches
from .redis_records import BELL, CHANNEL, CLOCK, HELD, PREFIX, QUEUE, claims_key, hand_key

Answer = Tuple[Job, bytes, int]  # the job, its answer's record and cost
Waiting = List[Tuple[Answer, "asyncio.Future[int]"]]


def by_consumer(answers: List[Answer]) -> Dict[str, Tuple[List[Any], bool]]:
    """finish.lua's per-job arguments for each consumer, and whether it claimed any of them."""
    out: Dict[str, Tuple[List[Any], bool]] = {}
    for job, record, cost in answers:
        taken, held_cost, consumer, entry = job.handle
        args, claimed = out.get(consumer, ([], False))
        args.extend([taken, int(job.ttl * 1000), held_cost, cost, record, entry])
        out[consumer] = (args, claimed or not entry)
    return out


def finish_call(consumer: str, most: int, skip: Collection[str],
                args: List[Any]) -> Tuple[List[str], List[Any]]:
    """Keys and arguments of finish.lua for one consumer's answers."""
    return ([claims_key(consumer), HELD, hand_key(consumer), QUEUE, CLOCK, BELL],
            [PREFIX, CHANNEL, int(time.time() * 1000), most, len(skip), *skip, *args])


def taken_along(answers: List[Answer]) -> bool:
    """Whether every answer is of a job that came with its bell entry (none asks for more)."""
    return all(job.handle[3] for job, _, _ in answers)


def resend(batches: "Batches[Answer, int]", along: Waiting) -> None:
    """Answers of a write that failed or was cut short go the usual way (storing one twice
    changes nothing); their first futures follow the new ones."""
    def follow(fut: "asyncio.Future[int]") -> Callable[["asyncio.Future[int]"], None]:
        def done(new: "asyncio.Future[int]") -> None:
            if fut.done():
                return
            if new.cancelled():
                fut.cancel()
            elif new.exception() is not None:
                fut.set_exception(new.exception())  # type: ignore[arg-type]
            else:
                fut.set_result(new.result())
        return done
    for answer, fut in along:
        batches.add(answer).add_done_callback(follow(fut))


async def move_with_answers(client: Any, finish_sha: str, batches: "Batches[Answer, int]",
                            along: Waiting, source: str, hand: str,
                            timeout: float) -> Optional[Any]:
    """BLMOVE from `source` into `hand`, sent in one write after the answers `along`."""
    try:
        async with client.pipeline(transaction=False) as p:
            for consumer, (args, _) in by_consumer([a for a, _ in along]).items():
                keys, argv = finish_call(consumer, 0, (), args)
                p.evalsha(finish_sha, len(keys), *keys, *argv)
            p.blmove(source, hand, timeout, "LEFT", "RIGHT")
            replies = await p.execute(raise_on_error=False)
    except BaseException:
        resend(batches, along)
        raise
    if any(isinstance(r, Exception) for r in replies[:-1]):
        resend(batches, along)  # the script was not loaded yet, for one
    else:
        for _, fut in along:
            if not fut.done():
                fut.set_result(0)
    if isinstance(replies[-1], Exception):
        raise replies[-1]
    return replies[-1]
