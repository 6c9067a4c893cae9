"""Times the awaitable's overhead per call against the standard library's bridges of a thread to
asyncio.

`python3 bench/aio_overhead.py [--rounds N] [--calls N]` solves a tiny problem ([3, 5]) in-process
(ZO_KILLSWITCH=1), so that nearly all of a call is the hand-over, by:

- aio: `await zox.complete_subset_sum_aio(values)`, the module's own awaitable;
- to_thread: `await asyncio.to_thread(zox.complete_subset_sum, values)`;
- executor: `await loop.run_in_executor(pool, zox.complete_subset_sum, values)` on a pool of two
  threads (a concurrent.futures future bridged to asyncio);
- sync: `zox.complete_subset_sum(values)` on the event loop, the solve without any hand-over.

Each method runs `calls` awaits one after another and `calls` at once (gathered), taking turns over
the rounds; it prints the median microseconds per call, the overhead over sync, and the ratios
against the aio form. Nothing here is a pass/fail test.
"""
import argparse
import asyncio
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

os.environ["ZO_KILLSWITCH"] = "1"

import zox  # noqa: E402

VALUES = [3, 5]


async def one_after_another(call, calls):
    started = time.perf_counter()
    for _ in range(calls):
        await call()
    return (time.perf_counter() - started) / calls


async def at_once(call, calls):
    started = time.perf_counter()
    await asyncio.gather(*(call() for _ in range(calls)))
    return (time.perf_counter() - started) / calls


async def main(rounds, calls):
    loop = asyncio.get_running_loop()
    pool = ThreadPoolExecutor(2)

    async def sync():
        return zox.complete_subset_sum(VALUES)

    methods = {
        "aio": lambda: zox.complete_subset_sum_aio(VALUES),
        "to_thread": lambda: asyncio.to_thread(zox.complete_subset_sum, VALUES),
        "executor": lambda: loop.run_in_executor(pool, zox.complete_subset_sum, VALUES),
        "sync": sync,
    }
    times = {(name, how): [] for name in methods for how in ("serial", "gathered")}
    for _ in range(rounds):
        for name, call in methods.items():
            assert await call() == [297]
            times[name, "serial"].append(await one_after_another(call, calls))
            times[name, "gathered"].append(await at_once(call, calls))
    pool.shutdown()
    print(f"{rounds} rounds of {calls} calls; microseconds per call (median)\n")
    print("| method | serial us | overhead us | / aio | gathered us | / aio |")
    print("|---|---:|---:|---:|---:|---:|")
    med = {key: statistics.median(v) * 1e6 for key, v in times.items()}
    for name in methods:
        s, g = med[name, "serial"], med[name, "gathered"]
        print(f"| {name} | {s:.1f} | {s - med['sync', 'serial']:.1f} | "
              f"{s / med['aio', 'serial']:.2f}x | {g:.1f} | {g / med['aio', 'gathered']:.2f}x |")


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--calls", type=int, default=200)
    a = p.parse_args()
    asyncio.run(main(a.rounds, a.calls))
