"""The Redis store's own rules: jobs lost to a restart, its memory limit, silent, missing and
stopping solvers, and results read a window at a time."""
import asyncio
import random
import time
from array import array

import pytest

from zox_service.limits import Limits

from test_service_store import VALUES, own, refusal, run, solve_next


def test_redis_job_lost_to_a_restart_is_gone(redis_server, redis_url):
    from zox_service.stores.redis import RedisStore

    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        redis_server.flush()  # what a restart without persistence leaves
        assert (await store.result(own("k"), rid, 0)).state == "gone"
        await store.announce("solver-1")
        fresh = await store.submit(own("k"), VALUES, 640)
        assert (await store.result(own("k"), fresh, 0)).state == "pending"
        assert (await store.result(own("k"), rid, 0)).state == "gone"
    run(RedisStore(redis_server.url, Limits()), scenario)


def test_redis_at_its_memory_limit_refuses_work_and_holds_results(redis_server, redis_url):
    import redis

    from zox_service.stores.redis import RedisStore
    r = redis.Redis.from_url(redis_server.url)

    async def scenario(store):
        await store.submit(own("k"), VALUES, 640)
        used = r.info("memory")["used_memory"]
        r.config_set("maxmemory", used + 1000)
        try:
            e = await refusal(store)
            assert (e.status, e.reason, e.retry_after > 0) == (503, "store_full", True)
            assert "full" in e.message
            assert not await store.room_for(10_000)
            assert await store.health() == {"reachable": True, "writable": False}
        finally:
            r.config_set("maxmemory", 0)
        assert await store.room_for(10_000)
        assert await store.health() == {"reachable": True, "writable": True}
        # Two solvers finishing at once: room for one result is not room for both.
        job = await store.claim("solver-1", 1.0)
        used = r.info("memory")["used_memory"]
        r.config_set("maxmemory", int((used + 3 * 300_000) / 0.95))
        try:
            assert await store.room_for(300_000) and not await store.room_for(300_000)
            await store.finish(job, b"x" * 300_000, None)
            assert not await store.room_for(300_000)  # the written result now counts itself
        finally:
            r.config_set("maxmemory", 0)
    run(RedisStore(redis_server.url, Limits()), scenario)


def test_redis_job_of_a_silent_solver_goes_to_another_and_a_poison_job_fails(redis_url):
    from zox_service.stores.redis import RedisStore

    async def scenario(store):
        async def beat():  # another solver stays alive throughout
            while True:
                await store.announce("solver-1")
                await asyncio.sleep(0.5)
        beating = asyncio.ensure_future(beat())
        rid = await store.submit(own("k"), VALUES, 640)
        assert await store.claim("dead-solver", 1.0) is not None  # and never heard of again
        started = time.monotonic()
        job = None
        while job is None and time.monotonic() - started < 10:
            job = await store.claim("live-solver", 0.2)
        assert job is not None and job.request_id == rid and list(job.values) == [640]
        assert time.monotonic() - started >= 1.0  # once the heartbeat lapsed
        # The second solver dies too: the third delivery is over the limit of two.
        # Its heartbeat lapses and a sweep finds it: seconds, with room for a loaded machine.
        outcome = await store.result(own("k"), rid, 14.0)
        assert outcome.state == "failed" and "stopped 2 times" in outcome.error
        assert time.monotonic() - started < 18
        beating.cancel()
        assert await store.queue_depth() == 0
    run(RedisStore(redis_url, Limits(reclaim_after=0.5, max_attempts=2)), scenario)


def test_redis_jobs_fail_at_once_when_no_solver_is_left(redis_url):
    from zox_service.stores.redis import RedisStore

    async def scenario(store):  # solver-1 announced once: its heartbeat lapses in 2 s
        solving = await store.submit(own("k"), array("Q", [2**30]), 2**30)  # taken alone
        waiting = await store.submit(own("k"), VALUES, 640)
        assert (await store.claim("solver-1", 1.0)).request_id == solving
        started = time.monotonic()
        for rid in (solving, waiting):
            outcome = await store.result(own("k"), rid, 5.0)
            assert (outcome.state, outcome.error) == \
                ("failed", "Solve failed: no solver is running")
        assert time.monotonic() - started < 5
        assert (await refusal(store)).reason == "no_solver"
    run(RedisStore(redis_url, Limits(reclaim_after=0.5)), scenario)


def test_redis_large_result_is_read_a_window_at_a_time(redis_server, redis_url):
    from zox_service.stores.redis import RedisStore
    from zox_service.stores.redis_polls import FIRST_READ, WINDOW
    payload = random.Random(1).randbytes(3 * WINDOW + 123)

    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        await solve_next(store, payload)
        outcome = await store.result(own("k"), rid, 0)
        assert (len(outcome.payload), outcome.size) == (FIRST_READ, len(payload))
        rest = [await outcome.read(start, min(len(payload), start + WINDOW))
                for start in range(FIRST_READ, len(payload), WINDOW)]
        assert outcome.payload + b"".join(rest) == payload
        redis_server.flush()  # lost while it is being sent: the answer is cut short
        assert await outcome.read(WINDOW, 2 * WINDOW) == b""
    run(RedisStore(redis_server.url, Limits()), scenario)


def test_redis_worker_sends_its_first_answer_with_its_next_move(redis_server, redis_url):
    # Answers go pipelined with the solver's blocking move; a script Redis has not loaded fails
    # there and its answer would wait out the move, so a worker loads its scripts as it starts.
    import redis

    from zox_service.stores.redis import RedisStore
    r = redis.Redis.from_url(redis_url)

    def noscript():
        return r.info("errorstats").get("errorstat_NOSCRIPT", {}).get("count", 0)

    async def scenario(front):
        worker = RedisStore(redis_url, Limits())
        await worker.start(listen=False)
        try:
            rid = await front.submit(own("k"), VALUES, 640)
            job = await worker.claim("solver-1", 1.0)
            await worker.finish(job, b"payload", None)
            await worker.claim("solver-1", 0.2)
            assert (await front.result(own("k"), rid, 5.0)).state == "done"
        finally:
            await worker.close()
        assert noscript() == before
    r.script_flush()
    before = noscript()
    run(RedisStore(redis_url, Limits()), scenario)


@pytest.mark.parametrize("values", [[640], [100_000] * 16], ids=["in-its-hand", "claimed"])
def test_redis_jobs_a_closing_solver_holds_go_back_at_once(redis_url, values):
    from zox_service.stores.redis import RedisStore
    from zox_service.stores.redis_records import HEAD, record_key

    async def scenario(store):
        rid = await store.submit(own("k"), array("Q", values), sum(values))
        leaving = RedisStore(redis_url, Limits())
        await leaving.start()
        assert (await leaving.claim("leaving", 1.0)).request_id == rid
        await leaving.close()  # without answering it
        started = time.monotonic()
        again = await store.claim("solver-1", 3.0)  # well before a heartbeat lapses
        runs = await store._redis.getrange(record_key(rid), HEAD, HEAD + 2)
        return again.request_id == rid, time.monotonic() - started < 1.0, runs
    # A clean stop counts no failed run against the job.
    assert run(RedisStore(redis_url, Limits()), scenario) == (True, True, b"000")
