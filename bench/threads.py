"""Times the in-process solver on one problem at a time, against the memory floor and against itself
on one thread.

`python3 bench/threads.py [--rounds N] [--family NAME]` times, per family and in one process, taking
turns:

- zox: `zox.complete_subset_sum_array(values)` with ZO_KILLSWITCH=1 and the engine's threads as
  the process has them (ZO_THREADS, else every core it may use);
- one thread: the same build and call with the engine held to one thread (its `threads` knob);
- engine: the engine alone, through its C entry point, into `numpy.zeros` of the same word count
  (fresh memory that the engine touches first, as the floor does; the array form's own result
  array is written once in full before the engine starts);
- floor: `numpy.ones` of the same word count, the cost of writing the result once into fresh
  memory, which no solver can beat.

It prints, as a Markdown table, the best time of each method over the rounds (on a shared machine
the least disturbed one; the rounds take turns, so a burst of load hits every method alike), the
ratios zox / floor and one thread / zox, and whether both zox runs gave the same words; then the
array form's time on one value of the first family's size (its array written and cleared, no
solve), and how much faster two threads stream through memory than one on this machine, the bound
for a pass that streams. Nothing here is a pass/fail test.
"""
import argparse
import ctypes
import os
import random
import sys
import threading
import time

os.environ["ZO_KILLSWITCH"] = "1"

import numpy  # noqa: E402
import zox  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import FAMILIES as ENGINE_FAMILIES  # noqa: E402
from workloads import workload_values  # noqa: E402

KNOB_THREADS = 7  # fmss_tune's knob for the engine's thread count (0: as the process has it)


def uniform(count, lo, hi):
    return lambda rng: [rng.randint(lo, hi) for _ in range(count)]


# name: values from a seeded rng. The medium-density families first, then the earlier workloads
# (dense, structured, few huge, random) and small ones, which must not get slower.
FAMILIES = {
    "60 in 1e8-2e8": uniform(60, 10**8, 2 * 10**8),
    "45 in 1e8-2e8": uniform(45, 10**8, 2 * 10**8),
    "100 in 5e7-1e8": uniform(100, 5 * 10**7, 10**8),
    "200 in 1e6-2e6": uniform(200, 10**6, 2 * 10**6),
    "few huge": lambda rng: workload_values("few huge"),
    "large (random)": lambda rng: workload_values("large"),
    "many repeats (dense)": lambda rng: workload_values("many repeats"),
    "1 + 99 multiples of 3": ENGINE_FAMILIES["1 + 99 multiples of 3"][0],
    "band 60 from 2e6": ENGINE_FAMILIES["band 60 from 2e6"][0],
    "medium": lambda rng: workload_values("medium"),
    "small": lambda rng: workload_values("small"),
    "tiny": lambda rng: workload_values("tiny"),
}
MEDIUM = ("60 in 1e8-2e8", "45 in 1e8-2e8", "100 in 5e7-1e8")


def timed(fn, calls):
    t = time.perf_counter()
    for _ in range(calls):
        out = fn()
    return (time.perf_counter() - t) / calls, out


def stream_scaling(words, rounds):
    """How much faster two threads stream through memory than one, on this machine now: each
    ORs its half of one array into another (a pass's reads and writes, without its shifts). The
    engine's passes run at about this speed, so their gain from a second thread is bounded by
    this one's."""
    a = numpy.ones(words, dtype=numpy.uint64)
    b = numpy.ones(words, dtype=numpy.uint64)

    def stream(parts):
        def part(i):
            s = slice(words * i // parts, words * (i + 1) // parts)
            numpy.bitwise_or(a[s], b[s], out=a[s])  # releases the interpreter lock
        threads = [threading.Thread(target=part, args=(i,)) for i in range(parts)]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        return time.perf_counter() - t
    best = {1: float("inf"), 2: float("inf")}
    for _ in range(rounds):
        for parts in best:
            best[parts] = min(best[parts], stream(parts))
    return best[1] / best[2]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--family", action="append", choices=list(FAMILIES))
    args = ap.parse_args()
    lib = ctypes.CDLL(zox.__file__)
    tune = lib.fmss_tune
    tune.argtypes, tune.restype = [ctypes.c_int, ctypes.c_int64], ctypes.c_int64
    engine = lib.fmss_complete_subset_sum
    engine.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                       ctypes.POINTER(ctypes.c_size_t)]
    engine.restype = ctypes.c_int
    # The knob's value as this process has it, put back after each one-thread run.
    as_is = tune(KNOB_THREADS, 0)
    tune(KNOB_THREADS, as_is)
    print(f"threads: {os.environ.get('ZO_THREADS', 'every core this process may use')}, "
          f"cores usable: {len(os.sched_getaffinity(0))}, rounds: {args.rounds}\n")
    print("| family | result MB | zox s | one thread s | engine s | floor s | zox / floor "
          "| engine / floor | one thread / zox | agree |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for name in args.family or FAMILIES:
        values = FAMILIES[name](random.Random(f"zox-threads-{name}"))
        words = sum(values) // 64 + 1

        solve = lambda: zox.complete_subset_sum_array(values)  # noqa: E731
        src = numpy.array(values, dtype=numpy.uint64)

        def engine_alone():
            out = numpy.zeros(words, dtype=numpy.uint64)
            size = ctypes.c_size_t(words)
            engine(src.ctypes.data, len(values), out.ctypes.data, ctypes.byref(size))
            return out
        # method: the call, and the engine's thread count around a batch of calls
        methods = {
            "zox": (solve, as_is),
            "one": (solve, 1),
            "engine": (engine_alone, as_is),
            "floor": (lambda: numpy.ones(words, dtype=numpy.uint64), as_is),
        }
        first, _ = timed(solve, 1)
        calls = max(1, int(0.02 / max(first, 1e-7)))
        times = {m: [] for m in methods}
        answers = {}
        for _ in range(args.rounds):
            for m, (fn, threads) in methods.items():
                tune(KNOB_THREADS, threads)
                t, answers[m] = timed(fn, calls)
                tune(KNOB_THREADS, as_is)
                times[m].append(t)
        agree = answers["zox"] == answers["one"] and answers["zox"].tobytes() == \
            answers["engine"].tobytes()
        best = {m: min(v) for m, v in times.items()}
        print(f"| {name} | {8 * words / 1e6:.2f} | {best['zox']:.4g} | {best['one']:.4g} | "
              f"{best['engine']:.4g} | {best['floor']:.4g} | {best['zox'] / best['floor']:.2f}x | "
              f"{best['engine'] / best['floor']:.2f}x | {best['one'] / best['zox']:.2f}x | "
              f"{'yes' if agree else 'NO'} |", flush=True)
    # The array form's floor of its own: a one-value problem of the first family's size, whose
    # solve is a clear of the array CPython has already written once in full.
    words = sum(FAMILIES[MEDIUM[0]](random.Random(f"zox-threads-{MEDIUM[0]}"))) // 64 + 1
    one_value = [64 * (words - 1)]
    best = {"array": float("inf"), "floor": float("inf")}
    for _ in range(max(args.rounds, 3)):
        best["array"] = min(best["array"],
                            timed(lambda: zox.complete_subset_sum_array(one_value), 1)[0])
        best["floor"] = min(best["floor"],
                            timed(lambda: numpy.ones(words, dtype=numpy.uint64), 1)[0])
    print(f"\nThe array form of one value, {8 * words / 1e6:.0f} MB: "
          f"{best['array'] / best['floor']:.2f}x the floor (its array written in full, then "
          "cleared), the part of the array form's time no solver can remove.", flush=True)
    if len(os.sched_getaffinity(0)) >= 2:
        print(f"\nA memory stream (numpy OR of 70 M words, half each) on two threads ran "
              f"{stream_scaling(70_000_000, max(args.rounds, 6)):.2f}x as fast as on one, same run: the "
              "bound on what a second thread gives a pass that streams from memory.", flush=True)


if __name__ == "__main__":
    main()
