"""complete_subset_sum_aio: a future of the running loop, under asyncio's own loop and uvloop."""
import asyncio
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import uvloop

import zox
from reference import le_words, sums_bitset
from scripted_peer import ScriptedPeer, aim_at, closed_port, gzip_reply, json_reply, route

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


class HeldService:
    """A peer that answers the submit only once released, then hands over the sums of [3, 5]."""

    def __init__(self, server_ssl_context):
        self.submitted = threading.Event()
        self.released = threading.Event()

        def submit(request):
            self.submitted.set()
            self.released.wait(WAIT)
            return json_reply({"requestId": "abc"})

        self.peer = ScriptedPeer(server_ssl_context,
                                 route(submit=submit, poll=gzip_reply(sums_bitset([3, 5]))))

    def __enter__(self):
        self.peer.__enter__()
        return self

    def __exit__(self, *exc):
        self.released.set()
        return self.peer.__exit__(*exc)


@pytest.fixture
def held_service(server_ssl_context, ca_bundle, monkeypatch):
    with HeldService(server_ssl_context) as held:
        aim_at(monkeypatch, held.peer, ca_bundle)
        yield held


CASES = {"empty": [], "three-five": [3, 5], "several-words": [1, 2, 4, 8, 100, 1000],
         "dense": [2**k for k in range(20)]}


@pytest.mark.usefixtures("killswitch")
def test_concurrent_solves_each_get_their_own_result(loop):
    async def main():
        return await asyncio.gather(*(zox.complete_subset_sum_aio(v) for v in CASES.values()))

    assert loop.run_until_complete(main()) == [expected(v) for v in CASES.values()]
    assert loop.errors == []


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
    async def main():
        future = zox.complete_subset_sum_aio([3, 5])
        task = asyncio.ensure_future(asyncio.wait_for(future, WAIT))
        while not held_service.submitted.is_set():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return future

    future = loop.run_until_complete(main())
    assert future.cancelled()
    references = sys.getrefcount(future)
    held_service.released.set()
    wait_until(lambda: sys.getrefcount(future) < references, "the abandoned solve never ended")
    loop.run_until_complete(asyncio.sleep(0.05))  # anything sent to the loop runs now
    assert future.cancelled() and loop.errors == []


def test_a_closed_loop_is_left_alone(loop, held_service):
    async def start():
        return zox.complete_subset_sum_aio([3, 5])

    future = loop.run_until_complete(start())
    assert held_service.submitted.wait(WAIT)
    loop.close()
    references = sys.getrefcount(future)
    held_service.released.set()
    wait_until(lambda: sys.getrefcount(future) < references, "the solve never ended")
    assert not future.done()


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("values, exc", [(None, TypeError), ([1, "2"], TypeError),
                                         ([1, -1], OverflowError),
                                         ([2**64 - 1, 1], OverflowError)],
                         ids=["not-iterable", "str-item", "negative", "total-wraps"])
def test_bad_values_raise_at_call_time(loop, values, exc):
    async def main():
        with pytest.raises(exc):
            zox.complete_subset_sum_aio(values)

    loop.run_until_complete(main())


def test_without_a_running_loop_it_refuses(killswitch):
    with pytest.raises(RuntimeError, match="no running event loop"):
        zox.complete_subset_sum_aio([3, 5])


def test_failed_solve_raises_connection_error_on_await(loop, capfd, monkeypatch):
    aim_at(monkeypatch, f"https://127.0.0.1:{closed_port()}", None)

    async def main():
        with pytest.raises(ConnectionError) as info:
            await zox.complete_subset_sum_aio([3, 5])
        return info.value

    error = loop.run_until_complete(main())
    assert capfd.readouterr().out.endswith(f"Error occured {error}\n")


def test_exit_with_a_solve_running_is_clean():
    child = textwrap.dedent(
        """
        import asyncio, zox
        async def main():
            zox.complete_subset_sum_aio([2**k for k in range(30)])
        asyncio.run(main())
        print("exiting", flush=True)
        """
    )
    done = subprocess.run([sys.executable, "-c", child], env=dict(os.environ, ZO_KILLSWITCH="1"),
                          capture_output=True, text=True, timeout=WAIT)
    assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr
    assert "Fatal Python error" not in done.stderr and "Sanitizer" not in done.stderr

