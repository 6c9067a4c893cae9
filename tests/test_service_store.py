"""The service's store on its own, in-process and on a real Redis: one table per rule, run on both."""
import asyncio
import time
from array import array

import pytest

from zox_service.config import Limits, result_reservation
from zox_service.store import MemoryStore
from zox_service.wire import RequestError

VALUES = array("Q", [640])
COST = result_reservation(640)


def run(store, scenario):
    async def main():
        await store.start()
        try:
            return await scenario(store)
        finally:
            await store.close()
    return asyncio.run(main())


@pytest.fixture(params=["memory", "redis"])
def make_store(request):
    def make(**limits):
        lim = Limits(**limits)
        if request.param == "memory":
            return MemoryStore(lim)
        from zox_service.redis_store import RedisStore
        return RedisStore(request.getfixturevalue("redis_url"), lim)
    return make


async def solve_next(store, payload=b"payload"):
    job = await store.claim("solver-1", 1.0)
    assert job is not None
    await store.finish(job, payload, None)
    return job


@pytest.mark.parametrize("limits, reason", [
    ({"max_pending": 2}, "key_pending"),
    ({"max_held_bytes": 2 * COST + 10}, "key_held_bytes"),
], ids=["problems-waiting", "result-bytes-held"])
def test_one_keys_quota_never_refuses_another_key(make_store, limits, reason):
    async def scenario(store):
        for _ in range(2):
            await store.submit("flooder", VALUES, 640)
        with pytest.raises(RequestError) as e:
            await store.submit("flooder", VALUES, 640)
        assert (e.value.status, e.value.reason, e.value.retry_after > 0) == (503, reason, True)
        assert "--max-" in e.value.message  # names the limit
        await store.submit("other", VALUES, 640)
    run(make_store(**limits), scenario)


def test_delivered_result_is_dropped_after_its_grace_and_frees_the_quota(make_store):
    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        await solve_next(store)
        first = await store.result("k", rid, 0)
        assert (first.state, first.payload) == ("done", b"payload")
        assert (await store.result("k", rid, 0)).state == "done"  # a repeated poll still works
        with pytest.raises(RequestError):
            await store.submit("k", VALUES, 640)
        await asyncio.sleep(0.6)
        assert (await store.result("k", rid, 0)).state == "unknown"
        await store.submit("k", VALUES, 640)
    run(make_store(delivered_ttl=0.3, result_ttl=60, max_held_bytes=COST + 10), scenario)


def test_undelivered_result_expires_after_its_time_to_live(make_store):
    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        await solve_next(store)
        await asyncio.sleep(0.6)
        assert (await store.result("k", rid, 0)).state == "unknown"
        await store.submit("k", VALUES, 640)
    run(make_store(result_ttl=0.3, max_held_bytes=COST + 10), scenario)


@pytest.mark.parametrize("asker", ["k", "someone-else"], ids=["owner", "other-key"])
def test_poll_waits_for_the_solve_and_only_its_owner_sees_it(make_store, asker):
    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        assert (await store.result("k", rid, 0)).state == "pending"

        async def solve_later():
            await asyncio.sleep(0.2)
            await solve_next(store)
        solving = asyncio.ensure_future(solve_later())
        started = time.monotonic()
        outcome = await store.result(asker, rid, 5.0)
        await solving
        if asker == "k":
            assert outcome.state == "done" and time.monotonic() - started < 2
        else:
            assert outcome.state == "unknown"
    run(make_store(), scenario)


def test_failed_solve_is_answered_and_frees_its_slot(make_store):
    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        job = await store.claim("solver-1", 1.0)
        await store.finish(job, None, "Solve failed: MemoryError: out of memory")
        outcome = await store.result("k", rid, 0)
        assert (outcome.state, outcome.error) == ("failed", "Solve failed: MemoryError: out of memory")
        await store.submit("k", VALUES, 640)
        assert await store.queue_depth() == 1
    run(make_store(max_pending=1), scenario)


def test_solving_a_job_twice_counts_it_once(make_store):
    # At-least-once delivery: a second finish of the same job changes nothing.
    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        job = await store.claim("solver-1", 1.0)
        await store.finish(job, b"first", None)
        await store.finish(job, b"second", None)
        assert (await store.result("k", rid, 0)).payload == b"first"
        await store.submit("k", VALUES, 640)
        with pytest.raises(RequestError):
            await store.submit("k", VALUES, 640)
    run(make_store(max_pending=1), scenario)


def test_memory_store_serves_keys_round_robin():
    async def scenario(store):
        for owner in ["a", "a", "a", "b"]:
            await store.submit(owner, VALUES, 640)
        return [(await solve_next(store)).owner for _ in range(4)]
    assert run(MemoryStore(Limits()), scenario) == ["a", "b", "a", "a"]


def test_redis_job_of_a_silent_solver_goes_to_another_and_a_poison_job_fails(redis_url):
    from zox_service.redis_store import RedisStore

    async def scenario(store):
        rid = await store.submit("k", VALUES, 640)
        assert await store.claim("dead-solver", 1.0) is not None  # and never finished
        started = time.monotonic()
        job = None
        while job is None and time.monotonic() - started < 5:
            job = await store.claim("live-solver", 0.2)
        assert job is not None and job.request_id == rid and list(job.values) == [640]
        assert time.monotonic() - started >= 0.4
        # The second solver dies too: the third delivery is over the limit of two.
        while time.monotonic() - started < 5:
            assert await store.claim("another", 0.2) is None
            outcome = await store.result("k", rid, 0)
            if outcome.state == "failed":
                break
        assert outcome.state == "failed" and "stopped 2 times" in outcome.error
        assert await store.queue_depth() == 0
    run(RedisStore(redis_url, Limits(reclaim_after=0.5, max_attempts=2)), scenario)
