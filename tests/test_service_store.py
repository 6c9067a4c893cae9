"""The service's store on its own, in-process and on a real Redis: one table per rule, run on both."""
import asyncio
import random
import time
from array import array

import pytest

from zox_service.jobs import (CANCELLED, PENDING, RESULT_OVERHEAD, SUBSET, SUMS, job_cost,
                             result_bytes, result_reservation)
from zox_service.limits import Limits
from zox_service.stores.memory import MemoryStore
from zox_service.wire import RequestError, encode_result

VALUES = array("Q", [640])
COST = job_cost(640, SUMS, 1)


def own(name):
    """An owner as the service names one: 32 characters."""
    return name.ljust(32, "_")


def run(store, scenario, announce=True):
    async def main():
        await store.start()
        if announce:
            await store.announce("solver-1")
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
        from zox_service.stores.redis import RedisStore
        return RedisStore(request.getfixturevalue("redis_url"), lim)
    return make


async def solve_next(store, payload=b"payload"):
    job = await store.claim("solver-1", 1.0)
    assert job is not None
    await store.finish(job, payload, None)
    return job


async def refusal(store, owner=own("k")):
    with pytest.raises(RequestError) as e:
        await store.submit(owner, VALUES, 640)
    return e.value


@pytest.mark.parametrize("limits, reason, other_key_refused", [
    ({"max_pending": 2}, "key_pending", False),
    ({"max_held_bytes": 2 * COST + 10}, "key_held_bytes", False),
    ({"max_queued": 2}, "queue_full", True),
    ({"max_stored_bytes": 2 * COST + 10}, "stored_bytes", True),
], ids=["problems-waiting", "result-bytes-held", "problems-waiting-for-all", "result-bytes-stored"])
def test_a_full_quota_names_itself_and_a_keys_own_spares_other_keys(make_store, limits, reason,
                                                                     other_key_refused):
    store = make_store(**limits)
    if reason == "stored_bytes" and not isinstance(store, MemoryStore):
        pytest.skip("Redis is held to its own maxmemory instead")

    async def scenario(store):
        for _ in range(2):
            await store.submit(own("flooder"), VALUES, 640)
        e = await refusal(store, own("flooder"))
        assert (e.status, e.reason, e.retry_after > 0) == (503, reason, True)
        assert "--max-" in e.message  # names the limit
        if other_key_refused:
            assert (await refusal(store, own("other"))).reason == reason
            return
        # Being solved, the flooder's jobs still count. Sent together while nothing waits, its
        # refused job is never handed out, the other key's is.
        assert None not in [await store.claim("solver-1", 1.0) for _ in range(2)]
        refused, admitted = await asyncio.gather(store.submit(own("flooder"), VALUES, 640),
                                                 store.submit(own("other"), VALUES, 640),
                                                 return_exceptions=True)
        assert isinstance(refused, RequestError) and isinstance(admitted, str)
        handed = []
        while (job := await store.claim("solver-1", 0.3)) is not None:
            handed.append(job.request_id)
        assert handed == [admitted]
    run(store, scenario)


# Random words do not compress: the largest payload a job of each size can store.
@pytest.mark.parametrize("kind, count, total", [
    (SUMS, 1, 0), (SUMS, 2, 100 * 64), (SUMS, 3, 16383 * 8), (SUMS, 40, 2**23 + 5),
    (SUBSET, 0, 0), (SUBSET, 1, 5), (SUBSET, 3000, 10**9),
], ids=["sums-one-word", "sums-100-words", "sums-deflate-block", "sums-1-MiB",
        "subset-empty", "subset-one", "subset-3000-values"])
def test_a_reservation_holds_the_largest_payload_its_job_can_store(kind, count, total):
    rng = random.Random(total)
    words = array("Q", [rng.getrandbits(64) for _ in range(result_bytes(kind, count, total) // 8)])
    stored = len(encode_result(words)) + RESULT_OVERHEAD
    assert stored <= result_reservation(total, kind, count) <= stored + 64


def test_values_count_from_submit_until_solved(make_store):
    many = array("Q", [1] * 1000)
    cost = result_reservation(1000) + 8 * 1000  # the result's room and the values stored

    async def scenario(store):
        await store.submit(own("k"), many, 1000)
        assert (await refusal(store)).reason == "key_held_bytes"
        await solve_next(store)  # its values are no longer held, only its small result
        await store.submit(own("k"), VALUES, 640)
    run(make_store(max_held_bytes=cost + COST - 1), scenario)


def test_a_key_runs_several_of_the_largest_problems_and_solved_ones_count_their_real_size(
        make_store):
    largest = Limits().max_total
    huge = array("Q", [largest])

    async def scenario(store):
        for _ in range(3):
            await store.submit(own("k"), huge, largest)
        with pytest.raises(RequestError) as e:
            await store.submit(own("k"), huge, largest)
        assert e.value.reason == "key_held_bytes"
        await solve_next(store, b"a small compressed result")
        await store.submit(own("k"), huge, largest)
    run(make_store(), scenario)


@pytest.mark.parametrize("limits, deliver", [
    ({"delivered_ttl": 0.3, "result_ttl": 60}, True),
    ({"result_ttl": 0.3}, False),
], ids=["delivered", "never-delivered"])
def test_a_result_counts_until_delivered_or_expired_then_is_gone(make_store, limits, deliver):
    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        await solve_next(store)
        assert (await refusal(store)).reason == "key_held_bytes"
        assert (await store.result(own("other"), rid, 0)).state == "unknown"
        if deliver:
            first = await store.result(own("k"), rid, 0)
            assert (first.state, first.payload) == ("done", b"payload")
            assert (await store.result(own("k"), rid, 0)).state == "done"  # a repeated poll works
            await store.submit(own("k"), VALUES, 640)  # a delivered result is not held
        await asyncio.sleep(0.6)
        gone_by = time.monotonic() + 1.5  # Redis: its next sweep deletes a delivered result
        while (await store.result(own("k"), rid, 0)).state != "gone" and \
                time.monotonic() < gone_by:
            await asyncio.sleep(0.1)
        assert (await store.result(own("k"), rid, 0)).state == "gone"
        if deliver and not isinstance(store, MemoryStore):  # counted off once, not again when gone
            assert (await store._redis.get("zox:k:" + own("k"))).split()[1] == b"%d" % COST
        assert (await store.result(own("other"), rid, 0)).state == "unknown"  # as while it lived
        if not deliver:
            await store.submit(own("k"), VALUES, 640)
        if isinstance(store, MemoryStore):  # nothing of the expired result is left behind
            assert store.counts()["results"] == 1 and store.counts()["expiries"] == 0
    run(make_store(max_held_bytes=COST + 10, **limits), scenario)


@pytest.mark.parametrize("asker", ["k", "someone-else"], ids=["owner", "other-key"])
def test_poll_waits_for_the_solve_and_only_its_owner_sees_it(make_store, asker):
    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        assert (await store.result(own("k"), rid, 0)).state == "pending"

        async def solve_later():
            await asyncio.sleep(0.2)
            await solve_next(store)
        solving = asyncio.ensure_future(solve_later())
        started = time.monotonic()
        outcome = await store.result(own(asker), rid, 5.0)
        await solving
        if asker == "k":
            assert outcome.state == "done" and time.monotonic() - started < 2
        else:
            assert outcome.state == "unknown"
    run(make_store(), scenario)


# Forged ids, made from the polling key's own id and another key's: none is ever its job.
FORGED = {
    "never-issued": lambda mine, theirs: "0" * 32,
    "issued-to-another-key": lambda mine, theirs: theirs,
    "tampered-tag": lambda mine, theirs: mine[:-1] + ("1" if mine[-1] == "0" else "0"),
    "tampered-nonce": lambda mine, theirs: theirs[:16] + mine[16:],
}


@pytest.mark.parametrize("forge", FORGED.values(), ids=FORGED)
def test_a_forged_id_is_unknown_while_its_job_waits_and_once_it_is_solved(make_store, forge):
    async def scenario(store):
        mine = await store.submit(own("k"), VALUES, 640)
        theirs = await store.submit(own("other"), VALUES, 640)
        forged = forge(mine, theirs)
        for solved in (False, True):  # waiting, then solved
            assert (await store.result(own("k"), forged, 0)).state == "unknown"
            assert (await store.cancel(own("k"), forged)).state == "unknown"
            for _ in range(0 if solved else 2):
                await solve_next(store)
        # Neither job was touched: each is its owner's, solved.
        assert [(await store.result(own(o), rid, 0)).payload
                for o, rid in [("k", mine), ("other", theirs)]] == [b"payload"] * 2
    run(make_store(), scenario)


def test_failed_solve_is_answered_and_frees_its_slot(make_store):
    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        job = await store.claim("solver-1", 1.0)
        await store.finish(job, None, "Solve failed: MemoryError: out of memory")
        outcome = await store.result(own("k"), rid, 0)
        assert (outcome.state, outcome.error) == ("failed", "Solve failed: MemoryError: out of memory")
        await store.submit(own("k"), VALUES, 640)
        assert await store.queue_depth() == 1
    run(make_store(max_pending=1), scenario)


def test_solving_a_job_twice_counts_it_once(make_store):
    # At-least-once delivery: a second finish of the same job changes nothing.
    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        job = await store.claim("solver-1", 1.0)
        await store.finish(job, b"first", None)
        await store.finish(job, b"second", None)
        assert (await store.result(own("k"), rid, 0)).payload == b"first"
        await store.submit(own("k"), VALUES, 640)
        assert (await refusal(store)).reason == "key_pending"
    run(make_store(max_pending=1), scenario)


@pytest.mark.parametrize("claimed", [False, True], ids=["waiting", "being-solved"])
def test_a_cancelled_job_is_answered_frees_its_slot_and_its_solver_learns_it(make_store, claimed):
    async def scenario(store):
        rid = await store.submit(own("k"), VALUES, 640)
        other = await store.submit(own("k2"), VALUES, 640)
        taken = [await store.claim("solver-1", 1.0)] if claimed else []
        assert not (taken and await store.cancelled(taken[0]))
        assert (await store.cancel(own("k2"), rid)).state == "unknown"  # another key's
        assert await store.cancel(own("k"), rid) == PENDING
        if (await store.result(own("k"), rid, 0)).state == "pending":
            # Marked for whichever solver has it or takes it, which stops and answers it.
            while not any(j.request_id == rid for j in taken):
                taken.append(await store.claim("solver-1", 1.0))
        for job in taken:
            if job.request_id == rid:
                assert await store.cancelled(job)
                await store.finish(job, None, CANCELLED)
                await store.finish(job, b"late", None)  # a second answer changes nothing
        outcome = await store.result(own("k"), rid, 0)
        assert (outcome.state, outcome.error) == ("failed", CANCELLED)
        assert (await store.cancel(own("k"), rid)).state == "failed"  # finished: nothing to cancel
        # Its slot is free, and claims never hand it out again.
        again = await store.submit(own("k"), VALUES, 640)
        taken += [await store.claim("solver-1", 0.2) for _ in range(3)]
        assert {j.request_id for j in taken if j} - {rid} == {other, again}
    run(make_store(max_pending=1), scenario)


def test_jobs_sent_while_their_key_is_solved_are_each_handed_out_once(make_store):
    async def scenario(store):
        sent = [await store.submit(own("k"), VALUES, 640) for _ in range(2)]
        first = [await store.claim("solver-1", 1.0) for _ in range(2)]
        sent += [await store.submit(own("k"), VALUES, 640) for _ in range(2)]
        for job in first:  # answers that may take the next jobs along
            await store.finish(job, b"payload", None)
        later = [await store.claim("solver-1", 1.0) for _ in range(2)]
        assert await store.claim("solver-1", 0.2) is None
        assert sorted(j.request_id for j in first + later) == sorted(sent)
    run(make_store(), scenario)


def test_keys_are_served_round_robin(make_store):
    async def scenario(store):
        for owner in ["a", "a", "a", "b", "c", "b"]:
            await store.submit(own(owner), VALUES, 640)
        return [(await solve_next(store)).owner.rstrip("_") for _ in range(6)]
    assert run(make_store(), scenario) == ["a", "b", "c", "a", "b", "a"]


def test_a_claim_passes_over_owners_it_skips_and_they_keep_their_turn(make_store):
    async def scenario(store):
        for owner in ["a", "a", "b"]:
            await store.submit(own(owner), VALUES, 640)
        skipped = [await store.claim("solver-1", t, skip={own("a")}) for t in (1.0, 0.2)]
        return [j and j.owner.rstrip("_") for j in skipped] + \
            [(await solve_next(store)).owner.rstrip("_")]
    assert run(make_store(), scenario) == ["b", None, "a"]


def test_a_waiting_claim_takes_a_job_submitted_meanwhile_at_once(make_store):
    # The first claim waiting passes over the job's owner: the job goes to the second.
    async def scenario(store):
        passing = asyncio.ensure_future(store.claim("solver-1", 3.0, skip={own("k")}))
        waiting = asyncio.ensure_future(store.claim("solver-2", 3.0))
        await asyncio.sleep(0.1)
        started = time.monotonic()
        rid = await store.submit(own("k"), VALUES, 640)
        job = await waiting
        took = time.monotonic() - started
        passing.cancel()
        return job is not None and job.request_id == rid, took
    taken, took = run(make_store(), scenario)
    assert taken and took < 1.0, took


def test_without_a_live_solver_work_is_refused(make_store):
    async def scenario(store):
        e = await refusal(store)
        assert (e.status, e.message, e.reason) == (503, "no solver is running", "no_solver")
        await store.announce("solver-1")
        await store.submit(own("k"), VALUES, 640)
    run(make_store(), scenario, announce=False)


def test_memory_store_hands_out_waiting_jobs_in_turn_while_they_fit():
    # A solver takes along what is waiting: keys still in turn, never past a job that does not
    # fit (it keeps a hand-over of its own), never more than asked.
    async def scenario(store):
        for owner, values in [("a", VALUES), ("a", VALUES), ("b", VALUES), ("a", BIG),
                              ("b", VALUES), ("b", VALUES)]:
            await store.submit(own(owner), values, sum(values))
        first = await store.claim("solver-1", 1.0)
        fits = lambda job: len(job.values) == 1  # noqa: E731
        batch = store.claim_ready("solver-1", 10, fits)
        rest = store.claim_ready("solver-1", 1, lambda job: True)
        return [first.owner[0]] + [j.owner[0] for j in batch], \
            [(j.owner[0], len(j.values)) for j in rest]
    BIG = array("Q", [1, 2])
    taken, rest = run(MemoryStore(Limits()), scenario)
    assert taken == ["a", "b", "a", "b"] and rest == [("a", 2)]


def test_a_result_answered_in_its_submit_is_held_against_its_key_until_delivered(make_store):
    from zox_service.metrics import Metrics
    from zox_service.solver import Solvers

    async def scenario(store):
        solvers = Solvers(store, 1, Metrics(), 10.0, solve=lambda values, target: b"x")
        await solvers.start()
        rid = await store.submit(own("k"), VALUES, 640)  # tiny: answered in its submit
        refused = (await refusal(store)).reason
        fetched = (await store.result(own("k"), rid, 0)).payload
        await store.submit(own("k"), VALUES, 640)  # the delivered answer no longer counts
        await solvers.stop()
        return refused, fetched
    assert run(make_store(max_held_bytes=COST + RESULT_OVERHEAD), scenario) == \
        ("key_held_bytes", b"x")
