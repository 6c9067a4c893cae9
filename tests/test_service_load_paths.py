"""What keeps the service fast under many clients, on its own: small solves handed to the solver
threads together, and a solver left to other keys while one key floods."""
import asyncio
import threading
from array import array

from zox_service.limits import Limits
from zox_service.metrics import Metrics
from zox_service.solver import Solvers
from zox_service.stores.memory import MemoryStore


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
    assert metrics.solves.labels("done")._value.get() == 2


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
