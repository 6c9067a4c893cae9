"""Which values make a sum: every answer of the witness engine is checked against an independent
reference (a brute-force set of sums on small inputs of every shape, through every way the engine
can take; the complete solve's bitset on larger ones), and its refusals have their own statuses."""
import contextlib
import ctypes
import json
import os
import random
import subprocess
import sys
import threading

import pytest

from local_solver import Engine
from reference import sum_bits, sums_of

FOUND, NONE, NO_MEMORY, CANCELLED, TOO_LARGE = 1, 0, -1, -2, -3
WAYS = {"by shape": 0, "table": 1, "halves": 2, "core": 3, "split": 4, "wide core": 5,
        "four lists": 6, "band": 7,
        "huge": 8, "few": 9}
# Small cores and few listed items, so that each way's every part runs on small inputs too:
# knob: (value while forced, default).
SMALL_PARTS = {"core": {1: (4, 24)}, "wide core": {2: (6, 40)}, "four lists": {3: (8, 64)}}


@pytest.fixture(scope="module")
def witness(lib):
    fn = lib.zo_subset_with_sum
    fn.argtypes = [ctypes.POINTER(ctypes.c_uint64), ctypes.c_size_t, ctypes.c_uint64,
                   ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(ctypes.c_size_t),
                   ctypes.POINTER(ctypes.c_int)]
    fn.restype = ctypes.c_int

    def run(values, target, cancel=None):
        """The status and the indices (exactly `count` of room, so a write past it shows)."""
        src = (ctypes.c_uint64 * max(1, len(values)))(*values)
        out = (ctypes.c_size_t * max(1, len(values)))()
        count = ctypes.c_size_t(12345)
        status = fn(src, len(values), target, out, ctypes.byref(count), cancel)
        return status, list(out[: count.value])

    return run


@pytest.fixture(scope="module")
def way(lib):
    tune = lib.zo_witness_tune
    tune.argtypes = [ctypes.c_int, ctypes.c_int64]
    tune.restype = ctypes.c_int64

    @contextlib.contextmanager
    def forced(name):
        parts = SMALL_PARTS.get(name, {})
        old = tune(0, WAYS[name])
        for knob, (small, _) in parts.items():
            tune(knob, small)
        try:
            yield
        finally:
            tune(0, old)
            for knob, (_, default) in parts.items():
                tune(knob, default)

    return forced


def check_answer(values, target, answer, reachable):
    status, indices = answer
    if not reachable:
        assert answer == (NONE, []), f"target {target} is no sum, yet the answer is {answer}"
        return
    assert status == FOUND, f"target {target} is a sum, yet the status is {status}"
    assert indices == sorted(set(indices)), f"indices not ascending and distinct: {indices}"
    assert all(0 <= i < len(values) for i in indices), f"index out of range: {indices}"
    assert sum(values[i] for i in indices) == target, f"{indices} do not add up to {target}"


SMALL = {
    "random": lambda r: [r.randint(0, 60) for _ in range(10)],
    "clusters": lambda r: [c + r.randint(-3, 3) for c in (40, 90, 200) for _ in range(4)],
    "bands": lambda r: [r.randint(100, 108) for _ in range(12)],
    "few huge": lambda r: [r.randint(10**5, 10**6) for _ in range(10)],
    "duplicates": lambda r: [r.choice((3, 5, 12)) for _ in range(25)],
    "all even": lambda r: [2 * r.randint(1, 40) for _ in range(12)],
    "zeros": lambda r: [0, 0] + [r.randint(0, 30) for _ in range(8)] + [0],
    "dense": lambda r: [r.randint(1, 30) for _ in range(60)],
    "small and large": lambda r: [r.randint(1, 9) for _ in range(9)] + [r.randint(60, 90) for _ in range(3)],
}


@pytest.mark.parametrize("way_name", WAYS)
@pytest.mark.parametrize("family", SMALL)
def test_small_inputs_against_brute_force(witness, way, family, way_name):
    if (family, way_name) == ("dense", "four lists"):
        pytest.skip("about 50 items around 8 listed ones: 2^42 choices")
    rng = random.Random(f"{family}/{way_name}")
    with way(way_name):
        for _ in range(3):
            values = SMALL[family](rng)
            total = sum(values)
            if total <= 4000:
                bits = sum_bits(values)
                targets = {t: bool(bits >> t & 1) for t in range(total + 2)}
            else:
                sums = sums_of(values)
                picked = rng.sample(sorted(sums), 40) + [rng.randint(0, total) for _ in range(40)]
                targets = {t: t in sums for t in picked + [total // 3 + 1]}
            for t, reachable in targets.items():
                check_answer(values, t, witness(values, t), reachable)


LARGE = {
    "200 up to 1e5": lambda r: [r.randint(1, 10**5) for _ in range(200)],
    "1000 up to 1e4": lambda r: [r.randint(1, 10**4) for _ in range(1000)],
    "3000 up to 2e3": lambda r: [r.randint(1, 2000) for _ in range(3000)],
    "clusters": lambda r: [c + r.randint(-50, 50) for c in (10**4, 3 * 10**4, 7 * 10**4)
                           for _ in range(60)],
    "bands": lambda r: [r.randint(10**5, 10**5 + 300) for _ in range(150)],
    "sparse": lambda r: [r.randint(1, 10**6) for _ in range(30)],
    "small and huge": lambda r: [r.randint(1, 50) for _ in range(30)]
    + [r.randint(10**6, 2 * 10**6) for _ in range(6)],
    # Targets of the residue no choice of the odd one out makes are ruled out without a reach set.
    "multiples of 3 but one": lambda r: [3 * r.randint(1, 10**4) for _ in range(1000)] + [1],
}


@pytest.mark.parametrize("family", LARGE)
def test_larger_inputs_against_the_complete_solve(lib, witness, family):
    rng = random.Random(family)
    values = LARGE[family](rng)
    total = sum(values)
    _, bits, _, _ = Engine(lib).solve(values, total // 64 + 1)
    # Below the smallest value and just past the middle most targets miss in sparse families.
    missing = next((t for t in range(total) if not bits >> t & 1), None)
    targets = [total // 3 + 1, total // 2, total - 1, 1] + [rng.randint(0, total) for _ in range(12)]
    for t in targets + ([missing] if missing is not None else []):
        check_answer(values, t, witness(values, t), bool(bits >> t & 1))


# count, lo, hi, picked: the target is the sum of `picked` values (of about 40% where None).
HUGE = {
    "40 values of 1e8-1e9": (40, 10**8, 10**9, None),
    "60 values of 1e8-1e9": (60, 10**8, 10**9, None),
    "56 values of 1e13-2e13, past any bitset": (56, 10**13, 2 * 10**13, None),
    "a pair among 68 values of 1e11": (68, 10**11, 11 * 10**10, 2),
    "a pair among 300 values of 1e11": (300, 10**11, 11 * 10**10, 2),
    "three among 120 values of 1e13": (120, 10**13, 11 * 10**12, 3),
    "four among 1000 values of 1e11": (1000, 10**11, 11 * 10**10, 4),
}


# A process of its own, its address space held to 2 GiB: a way that would take gigabytes for
# these inputs (the halves' lists where the group is too large for them) fails with NO_MEMORY
# there instead of swapping. The sanitizers' runtime reserves far more: there, no limit.
SMALL_MEMORY_CHILD = """
import ctypes, json, resource, sys, zox
if sys.argv[1] != "0":
    resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[1]),) * 2)
fn = ctypes.CDLL(zox.__file__).zo_subset_with_sum
answers = []
for values, target in json.load(sys.stdin):
    out, count = (ctypes.c_size_t * len(values))(), ctypes.c_size_t()
    status = fn((ctypes.c_uint64 * len(values))(*values), ctypes.c_size_t(len(values)),
                ctypes.c_uint64(target), out, ctypes.byref(count), None)
    answers.append([status, list(out[: count.value])])
json.dump(answers, sys.stdout)
"""


def in_small_memory(*problems):
    limit = 0 if os.environ.get("ZO_LEAK_CHECK") == "1" else 2 << 30
    done = subprocess.run([sys.executable, "-c", SMALL_MEMORY_CHILD, str(limit)], input=json.dumps(
        problems), capture_output=True, text=True, timeout=300, check=True)
    return [tuple(answer) for answer in json.loads(done.stdout)]


@pytest.mark.parametrize("count, lo, hi, picked", HUGE.values(), ids=HUGE)
def test_few_huge_values_are_answered_in_small_memory(count, lo, hi, picked):
    rng = random.Random(count)
    values = [rng.randint(lo, hi) for _ in range(count)]
    chosen = rng.sample(range(count), picked) if picked else [
        i for i in range(count) if rng.random() < 0.4]
    target = sum(values[i] for i in chosen)
    # Past the sums of `picked` values and short of one more: none, proved in small memory.
    missed = [(values, target + lo // 2)] if picked else []
    answers = in_small_memory((values, target), *missed)
    check_answer(values, target, answers[0], True)
    for (values, missing), answer in zip(missed, answers[1:]):
        check_answer(values, missing, answer, False)


STATUSES = {
    "total past 2^64 - 1": ([2**63, 2**63], 1, TOO_LARGE),
    "total past 2^64 - 1, target 0": ([2**64 - 1, 1], 0, TOO_LARGE),
    "target above the total": ([5, 7], 13, NONE),
    "no values, target 0": ([], 0, FOUND),
    "no values": ([], 3, NONE),
    "largest total": ([2**63, 2**63 - 1], 2**64 - 1, FOUND),
}


@pytest.mark.parametrize("values, target, status", STATUSES.values(), ids=STATUSES)
def test_statuses(witness, values, target, status):
    assert witness(values, target)[0] == status


def test_a_bitset_too_large_for_memory_is_refused(witness, way):
    values = [2**61 + 1, 2**61 - 1, 2**60, 2**60 + 3, 5, 7]
    with way("split"):
        # Refused where the bitset is needed; a sum list short enough answers instead.
        assert witness(values, 2**61 + 5) in [(NO_MEMORY, []), (NONE, [])]


@pytest.mark.parametrize("way_name", WAYS)
def test_a_raised_cancel_flag_stops_every_way(witness, way, way_name):
    values = [random.Random(way_name).randint(1, 100) for _ in range(60)]
    flag = ctypes.c_int(1)
    with way(way_name):
        assert witness(values, sum(values) // 3 + 1, ctypes.pointer(flag)) == (CANCELLED, [])


def test_a_cancel_flag_raised_while_it_works(witness, way):
    rng = random.Random(3)
    values = [rng.randint(1, 10**5) for _ in range(3000)]
    flag = ctypes.c_int(0)
    timer = threading.Timer(0.1, lambda: setattr(flag, "value", 1))
    timer.start()
    # The table over this target takes seconds: the flag stops it well before.
    with way("table"):
        answer = witness(values, sum(values) // 3 + 1, ctypes.pointer(flag))
    timer.cancel()
    assert answer == (CANCELLED, [])
