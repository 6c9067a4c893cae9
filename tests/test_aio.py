"""complete_subset_sum_aio: a solve started at the call and delivered to the loop that awaits it,
under asyncio's own loop and uvloop. What it answers and refuses is in test_forms."""
import asyncio
import ctypes
import random
import sys
import threading
import time
import types

import pytest
import uvloop

import zox
from reference import le_words, sums_bitset
from scripted_peer import gzip_reply, json_reply, route

WAIT = 60  # seconds; a bound so that a lost completion fails instead of hanging


class RecordsLateCalls:
    """Records every call_soon_threadsafe made after the loop was closed."""

    def __init__(self):
        super().__init__()
        self.calls_when_closed = []

    def call_soon_threadsafe(self, *args, **kwargs):
        if self.is_closed():
            self.calls_when_closed.append(args)
        return super().call_soon_threadsafe(*args, **kwargs)


class RecordingAsyncioLoop(RecordsLateCalls, asyncio.SelectorEventLoop):
    pass


class RecordingUvloop(RecordsLateCalls, uvloop.Loop):
    pass


@pytest.fixture(params=[RecordingAsyncioLoop, RecordingUvloop], ids=["asyncio", "uvloop"])
def loop(request):
    loop = request.param()
    errors = []
    loop.set_exception_handler(lambda _, context: errors.append(context))
    loop.errors = errors
    yield loop
    if not loop.is_closed():
        loop.close()
    assert loop.calls_when_closed == [], "a completion was sent to a closed loop"


def expected(values):
    return le_words(sums_bitset(values), sum(values) // 64 + 1)


def wait_until(predicate, what):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


@pytest.fixture
def held_service(serve):
    """A peer that answers the submit only once released, then hands over the sums of [3, 5]."""
    held = types.SimpleNamespace(submitted=threading.Event(), released=threading.Event())

    def submit(request):
        held.submitted.set()
        held.released.wait(WAIT)
        return json_reply({"requestId": "abc"})

    serve(route(submit=submit, poll=gzip_reply(sums_bitset([3, 5]))))
    yield held
    held.released.set()


CASES = {"empty": [], "three-five": [3, 5], "several-words": [1, 2, 4, 8, 100, 1000],
         "dense": [2**k for k in range(20)]}


def test_the_loop_runs_while_the_service_is_waited_for(loop, held_service):
    ticks = []

    async def ticker():
        while True:
            ticks.append(time.monotonic())
            if len(ticks) == 20:
                held_service.released.set()
            await asyncio.sleep(0.01)

    async def main():
        tick_task = asyncio.ensure_future(ticker())
        try:
            return await zox.complete_subset_sum_aio([3, 5])
        finally:
            tick_task.cancel()

    assert loop.run_until_complete(main()) == [297]
    assert len(ticks) >= 20


def test_cancelling_the_awaiting_task_abandons_the_solve(loop, held_service):
    solving = zox.complete_subset_sum_aio([3, 5])

    async def main():
        task = asyncio.ensure_future(asyncio.wait_for(solving, WAIT))
        while not held_service.submitted.is_set():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    loop.run_until_complete(main())
    references = sys.getrefcount(solving)
    held_service.released.set()
    wait_until(lambda: sys.getrefcount(solving) < references, "the abandoned solve never ended")
    loop.run_until_complete(asyncio.sleep(0.05))  # anything sent to the loop runs now
    assert loop.errors == []


def test_a_closed_loop_is_left_alone(loop, held_service):
    solving = zox.complete_subset_sum_aio([3, 5])

    async def start():
        task = asyncio.ensure_future(solving)
        await asyncio.sleep(0)  # the task's first step binds the solve to this loop
        return task

    task = loop.run_until_complete(start())
    assert held_service.submitted.wait(WAIT)
    loop.close()
    references = sys.getrefcount(solving)
    held_service.released.set()
    wait_until(lambda: sys.getrefcount(solving) < references, "the solve never ended")
    assert not task.done()


@pytest.mark.usefixtures("killswitch")
def test_made_anywhere_it_is_delivered_to_the_loop_that_awaits_it(loop):
    # Made with no loop running, some finished before the loop awaits them, some not.
    solving = [zox.complete_subset_sum_aio(v) for v in CASES.values()]

    async def main():
        return await asyncio.gather(*solving)

    assert loop.run_until_complete(main()) == [expected(v) for v in CASES.values()]
    assert loop.errors == []
    assert asyncio.run(zox.complete_subset_sum_aio([3, 5])) == [297]
    with pytest.raises(RuntimeError, match="already awaited"):
        asyncio.run(solving[0])


@pytest.mark.usefixtures("killswitch")
def test_a_solve_that_ends_while_its_await_begins_is_delivered():
    class SlowFutures(asyncio.SelectorEventLoop):
        def create_future(self):
            time.sleep(0.2)  # gives the interpreter lock away: the solve delivers meanwhile
            return super().create_future()

    async def main():
        return await zox.complete_subset_sum_aio([3, 5])

    loop = SlowFutures()
    try:
        assert loop.run_until_complete(asyncio.wait_for(main(), 10)) == [297]
    finally:
        loop.close()


@pytest.mark.usefixtures("killswitch")
def test_cancelling_a_local_witness_stops_its_search(loop, lib):
    rng = random.Random(3)
    values = [rng.randint(1, 10**5) for _ in range(3000)]
    tune = lib.zo_witness_tune
    tune.argtypes, tune.restype = [ctypes.c_int, ctypes.c_int64], ctypes.c_int64
    old = tune(0, 1)  # the table over this target: seconds of work each
    try:
        solving = [zox.subset_with_sum_aio(values, sum(values) // 3 + k) for k in range(4)]

        async def main():
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(asyncio.gather(*solving[:3]), 0.2)
            solving[3].close()  # never awaited

        loop.run_until_complete(main())
    finally:
        tune(0, old)
    time.sleep(0.1)
    cpu = time.process_time()
    time.sleep(0.5)
    # One search left running would take about the whole half second.
    assert time.process_time() - cpu < 0.25, "a cancelled search kept running"
