"""What keeps the service fast under many clients, on its own: small solves handed to the solver
threads together, and a solver left to other keys while one key floods."""
import asyncio
import threading
from array import array

from zox_service.limits import Limits
from zox_service.metrics import Metrics
from zox_service.solver import Solvers
from zox_service.stores.memory import MemoryStore

from test_service_store import make_store, own  # noqa: F401  (make_store: a fixture)


def test_solver_batch_answers_each_problem_and_a_failure_stays_its_own():
    def solve(values, target):
        if values[0] == 13:
            raise ValueError("unlucky")
        return bytes([values[0]])

    async def main():
        store = MemoryStore(Limits())
        await store.start()
        metrics = Metrics()
        problems = [[5], [13], [7], [10**9, 10**9]]  # the last is no small problem
        await store.announce("test")
        ids = [await store.submit("k", array("Q", v), sum(v)) for v in problems]
        solvers = Solvers(store, 1, metrics, 10.0, solve=solve)
        await solvers.start()
        outcomes = [await store.result("k", rid, 5.0) for rid in ids]
        await solvers.stop()
        await store.close()
        return outcomes, metrics
    outcomes, metrics = asyncio.run(main())
    assert [(o.state, o.payload) for o in outcomes] == [
        ("done", b"\x05"), ("failed", b""), ("done", b"\x07"), ("failed", b"")]
    assert outcomes[1].error == "Solve failed: ValueError: unlucky"
    assert outcomes[3].error.startswith("Solve failed: ValueError")  # bytes() of a huge value
    assert b'zox_solves_total{outcome="done"} 2.0' in metrics.exposition()


def test_one_keys_flood_leaves_a_solver_to_other_keys():
    release, started = threading.Event(), []

    def solve(values, target):  # the flooding key's solves hold their solvers until released
        started.append(values[0])
        return b"x" if values[0] == 7 or release.wait(10) else b""

    async def main():
        store = MemoryStore(Limits())
        await store.announce("test")
        for _ in range(6):
            await store.submit("a", array("Q", [100_000] * 16), 1_600_000)
        solvers = Solvers(store, 3, Metrics(), 10.0, solve=solve)
        await solvers.start()
        await asyncio.sleep(0.2)
        outcome = await store.result("b", await store.submit("b", array("Q", [7]), 7), 5.0)
        release.set()
        await solvers.stop()
        return started[:3], outcome.state
    assert asyncio.run(main()) == ([100_000, 100_000, 7], "done")


def test_a_tiny_solve_is_answered_in_its_submit_unless_its_key_has_jobs_waiting(make_store):
    release = threading.Event()

    def solve(values, target):  # large problems hold the one solver until released
        return b"x" if values[0] < 100_000 or release.wait(10) else b""

    async def main():
        store = make_store()
        await store.start()
        solvers = Solvers(store, 1, Metrics(), 10.0, solve=solve)
        await solvers.start()
        large = array("Q", [100_000] * 16)
        await store.submit(own("a"), large, 1_600_000)
        await asyncio.sleep(0.1)  # the solver holds it
        ids = {"b tiny": await store.submit(own("b"), array("Q", [5]), 5),
               "a large, waiting": await store.submit(own("a"), large, 1_600_000),
               "a tiny, behind it": await store.submit(own("a"), array("Q", [5]), 5)}
        states = {name: (await store.result(own(name[0]), rid, 0)).state
                  for name, rid in ids.items()}
        release.set()
        last = await store.result(own("a"), ids["a tiny, behind it"], 5.0)
        await solvers.stop()
        await store.close()
        return states, last.state
    assert asyncio.run(main()) == ({"b tiny": "done", "a large, waiting": "pending",
                                    "a tiny, behind it": "pending"}, "done")
