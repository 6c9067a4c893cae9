"""Times the result forms of zox against the Python idiom, in one process and one run.

    python3 bench/results_api.py [--rounds N] [--baseline DIR]

- few huge (15 values up to 1.1e8): `complete_subset_sum_array(values)` against the idiom
  `r = 1; for x in values: r |= r << x` converted to the same array('Q');
- mixed (400 values up to 50, 40 up to 2e5, 5 up to 5e6): `complete_subset_sum(values)` against the
  idiom converted to the same list;
- run-heavy (every sum below 2^27, all-ones words): the list, and with --baseline DIR the list of
  an older build of the module found in DIR (a directory holding its zox*.so), timed in turn.

Rounds are interleaved and the medians compared; every answer is checked against the idiom's. The
peak memory of one array solve is measured in a fresh interpreter (growth of the peak resident set,
and the peak that tracemalloc sees), against the bytes of the result. Nothing here is a pass/fail test;
the targets are printed next to the numbers.
"""
import argparse
import array
import glob
import importlib.machinery
import os
import random
import statistics
import subprocess
import sys
import time
import types

os.environ["ZO_KILLSWITCH"] = "1"

import zox  # noqa: E402

TARGETS = {"few huge": 100, "mixed": 10}


def few_huge():
    rng = random.Random("zox-results-few-huge")
    return [rng.randint(1, 110_000_000) for _ in range(15)]


def mixed():
    rng = random.Random("zox-results-mixed")
    return ([rng.randint(1, 50) for _ in range(400)] + [rng.randint(1, 200_000) for _ in range(40)]
            + [rng.randint(1, 5_000_000) for _ in range(5)])


def run_heavy():
    return [2**k for k in range(27)]


def idiom_bytes(values):
    r = 1
    for x in values:
        r |= r << x
    return r.to_bytes(8 * (sum(values) // 64 + 1), sys.byteorder)


def idiom_array(values):
    return array.array("Q", idiom_bytes(values))


def idiom_list(values):
    return memoryview(idiom_bytes(values)).cast("Q").tolist()


def timed(f, *args):
    start = time.perf_counter()
    result = f(*args)
    return time.perf_counter() - start, result


def compare(name, values, contenders, rounds):
    """Median seconds per contender, rounds interleaved; every answer equals the first's."""
    times = {label: [] for label in contenders}
    reference = None
    for _ in range(rounds):
        for label, f in contenders.items():
            seconds, result = timed(f, values)
            times[label].append(seconds)
            answer = result.tolist() if isinstance(result, array.array) else result
            if reference is None:
                reference = answer
            elif answer != reference:
                raise SystemExit(f"{name}: {label} disagrees")
            del result, answer
    return {label: statistics.median(t) for label, t in times.items()}


# The child reads its peak from /proc where it can: ru_maxrss carries over the parent's peak across
# fork and exec on Linux.
PEAK_CHILD = """
import array, os, resource, sys, tracemalloc
os.environ["ZO_KILLSWITCH"] = "1"
import zox

def peak():
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

values = {values!r}
zox.complete_subset_sum_array([3, 5])
before = peak()
result = zox.complete_subset_sum_array(values)
grown = peak() - before
size = len(result) * 8
del result
tracemalloc.start()
result = zox.complete_subset_sum_array(values)
traced = tracemalloc.get_traced_memory()[1]
print(grown * 1024, traced, size)
"""


def peak_memory(values):
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD.format(values=values)],
                         capture_output=True, text=True, check=True).stdout.split()
    grown, traced, size = (int(x) for x in out)
    return grown, traced, size


def load_baseline(directory):
    paths = glob.glob(os.path.join(directory, "zox*.so"))
    if not paths:
        raise SystemExit(f"no zox*.so in {directory}")
    # A second copy of the extension under its own file name; sys.modules keeps the current one.
    loader = importlib.machinery.ExtensionFileLoader("zox", paths[0])
    module = loader.create_module(types.SimpleNamespace(name="zox", origin=paths[0]))
    loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--baseline", help="directory of an older build, for the run-heavy list")
    args = parser.parse_args()

    # First, while this process is still small.
    grown, traced, size = peak_memory(few_huge())
    rows = []
    values = few_huge()
    t = compare("few huge", values, {"array": zox.complete_subset_sum_array,
                                     "idiom": idiom_array, "list": zox.complete_subset_sum},
                args.rounds)
    rows.append(("few huge", "array", t["array"], t["idiom"], TARGETS["few huge"]))
    rows.append(("few huge", "list", t["list"], t["idiom"], None))

    values = mixed()
    t = compare("mixed", values, {"list": zox.complete_subset_sum, "idiom": idiom_list,
                                  "array": zox.complete_subset_sum_array}, 15 * args.rounds)
    rows.append(("mixed", "list", t["list"], t["idiom"], TARGETS["mixed"]))
    rows.append(("mixed", "array", t["array"], t["idiom"], None))

    values = run_heavy()
    contenders = {"list": zox.complete_subset_sum}
    if args.baseline:
        contenders["baseline list"] = load_baseline(args.baseline).complete_subset_sum
    t = compare("run-heavy", values, contenders, 3 * args.rounds)

    print(f"{'workload':<10} {'form':<6} {'zox ms':>10} {'idiom ms':>10} {'idiom/zox':>10} "
          f"{'wanted':>7}")
    for workload, form, mine, idiom, wanted in rows:
        print(f"{workload:<10} {form:<6} {mine * 1e3:>10.3f} {idiom * 1e3:>10.1f} "
              f"{idiom / mine:>9.1f}x {'' if wanted is None else f'>={wanted}x':>7}")
    print(f"run-heavy list (2^21 all-ones words): {t['list'] * 1e3:.2f} ms", end="")
    if "baseline list" in t:
        print(f"; baseline {t['baseline list'] * 1e3:.2f} ms, "
              f"{t['baseline list'] / t['list']:.2f}x faster (wanted >= 2x)")
    else:
        print()

    print(f"few huge array peak: resident set grew {grown / 1e6:.1f} MB, tracemalloc peak "
          f"{traced / 1e6:.1f} MB, result {size / 1e6:.1f} MB: {grown / size:.3f}x and "
          f"{traced / size:.3f}x the result (wanted <= 1.1x)")


if __name__ == "__main__":
    main()
