"""The in-process engine, called as C callers call it: on every path, and at every switch between
paths, on one thread and on several, exactly the subset sums of the brute-force reference, in
exactly as many words as the capacity allows and not one word past them."""
import os
import random
import time

import pytest

from local_solver import FMSS_TOTAL_OVERFLOW, KNOBS, PATHS, UNKNOWN_KNOB, Engine
from reference import sum_bits


@pytest.fixture(scope="module", params=[1, 2, 3], ids=lambda n: f"{n}-threads")
def engine(lib, request):
    """The engine on 1, 2 or 3 threads; on several, every pass is split however short, so that
    small inputs take the threaded paths too."""
    split = {} if request.param == 1 else {"thread_words": 1}
    with Engine(lib).on(threads=request.param, **split) as e:
        yield e


def multiples(g, count, largest, rng):
    return [g * rng.randint(1, largest // g) for _ in range(count)]


def parts_of(total, count, rng):
    cuts = sorted(rng.randint(0, total) for _ in range(count - 1))
    return [b - a for a, b in zip([0] + cuts, cuts + [total])]


def total_around_a_word(offset):
    return lambda rng: parts_of(max(0, 64 * rng.choice([0, 1, 2, 3, 4, 64]) + offset),
                                rng.choice([1, 2, 5, 40]), rng)


INPUTS = {
    # The benchmark's workloads, at sizes the reference checks quickly.
    "tiny": lambda rng: [rng.randint(0, 100) for _ in range(rng.randint(0, 20))],
    "small": lambda rng: [rng.randint(0, 1000) for _ in range(rng.randint(1, 40))],
    "medium": lambda rng: [rng.randint(0, 10**4) for _ in range(rng.randint(20, 150))],
    "large": lambda rng: [rng.randint(0, 10**6) for _ in range(rng.randint(1, 14))],
    "many repeats": lambda rng: [rng.randint(0, 100) for _ in range(rng.randint(100, 3000))],
    "small and huge": lambda rng: [rng.randint(0, 50) for _ in range(rng.randint(0, 60))]
    + [rng.randint(10**4, 10**6) for _ in range(rng.randint(1, 4))],
    # Few small values, many alike: folded copies land right at half the total.
    "repeats near half": lambda rng: [rng.randint(1, 9) for _ in range(rng.randint(2, 12))],
    "common factor": lambda rng: (lambda g: multiples(g, rng.randint(1, 60), 3000 + 5 * g, rng))(
        rng.choice([2, 3, 4, 5, 6, 8, 9, 10, 11, 16, 32, 64, 100, 1000])),
    "multiples of 64": lambda rng: [64 * rng.randint(0, 40) + rng.choice([0, 0, 1, 63])
                                    for _ in range(rng.randint(1, 30))],
    # The last bit of the result next to a word boundary.
    "total ending a word": total_around_a_word(-1),
    "total starting a word": total_around_a_word(0),
    "total one past a word": total_around_a_word(1),
    # Structured families, each made for one path or one switch between paths.
    "band": lambda rng: list(range(50, 62)),
    "band far apart": lambda rng: list(range(10**5, 10**5 + 9)),
    "band merging": lambda rng: list(range(3, 43)),
    "powers of two": lambda rng: [2**k for k in range(14)] * rng.randint(1, 3),
    # Sums 0 .. 2^13 - 1 without a gap, then values one longer than that run: a gap at 2^13.
    "a run one short of the last values": lambda rng: [2**k for k in range(13)] + [2**13 + 1] * 2,
    "one plus multiples of 3": lambda rng: [1] + multiples(3, 14, 3000, rng),
    "two outliers plus multiples of 25": lambda rng: [3, 8] + multiples(25, 12, 5000, rng),
    "multiples of 97 and ones mod 97": lambda rng: multiples(97, 6, 20000, rng)
    + [97 * rng.randint(1, 200) + 1 for _ in range(5)],
    # Outliers that fill every class, so later ones pass around a cycle of classes.
    "outliers covering every class": lambda rng: multiples(4, 8, 400, rng) + [1, 2, 3, 1, 2, 3, 5],
    "outliers of a large factor": lambda rng: multiples(1000, 6, 10**5, rng) + [7, 250, 999],
    # Class words that are all ones, as in the saturated middle of large inputs.
    "full classes of a large factor": lambda rng: [97 * k for k in range(1, 13)] + [1, 98, 195],
    "full classes of a small factor": lambda rng: [5 * k for k in range(1, 40)] + [1, 7, 13],
    # Large enough for the engine to look for a factor: the lists give up, the classes take over.
    "one plus multiples of 3, planned": lambda rng: [1] + multiples(3, 40, 10**5, rng),
    "multiples of 97 and ones mod 97, planned": lambda rng: multiples(97, 30, 2 * 10**5, rng)
    + [97 * rng.randint(1, 2000) + 1 for _ in range(15)],
    # No multiples at all: every value is 1 mod the factor, so the classes fill one by one.
    "all one mod 1000": lambda rng: [1000 * rng.randint(1, 100) + 1 for _ in range(8)],
    "all one mod 1000, planned": lambda rng: [1000 * rng.randint(1, 1200) + 1 for _ in range(16)],
    "steps of 3 from 1": lambda rng: [1 + 3 * k for k in range(30)],
    # A factor of all values (2), and one more of all but one (3) within it.
    "two plus multiples of 6": lambda rng: [2] + multiples(6, 14, 3000, rng),
    "two plus multiples of 6, planned": lambda rng: [2] + multiples(6, 40, 2 * 10**5, rng),
    # Chosen inputs.
    "zeros around one": lambda rng: [0, 0, 0, 7, 0],
    "one value many times": lambda rng: [rng.choice([1, 5])] * rng.randint(1000, 5000),
    "repeats folding into each other": lambda rng: [3] * 7 + [6] * 3 + [12] * 5 + [24],
    "around 64, repeated": lambda rng: [63] * 64 + [64] * 64 + [65] * 64,
    "one huge": lambda rng: [10**6],
    "two small, one huge": lambda rng: [3, 5, 10**6],
    "huge pair and one": lambda rng: [10**6, 10**6 + 1, 1],
    "sparse collisions": lambda rng: [40000, 40000, 40001, 80001],
    "pair doubling to half": lambda rng: [5, 5, 5, 6],
    "factors without a common one": lambda rng: [6, 10, 15] * 20,
    "even": lambda rng: [2 * v for v in range(1, 200)],
    # Spread back out in steps of 7 sums, which straddle the words.
    "multiples of 10": lambda rng: [10 * v for v in range(1, 120)],
    "thousands": lambda rng: [1000 * v for v in range(1, 40)] + [3000] * 9,
}


def capacities(need):
    """Every capacity for short results; for long ones the edges and the middle, where the upper
    sums start to come from the lower ones."""
    if need <= 66:
        return range(need + 2)
    return [0, 1, need // 2 + 1, need - 1, need + 1]


def assert_exact(engine, values, bits, when=""):
    need = sum(values) // 64 + 1
    for capacity in capacities(need):
        words = min(capacity, need)
        assert engine.solve(values, capacity) == (0, bits & ((1 << 64 * words) - 1), words, True), \
            f"{when}capacity {capacity} of {need} words"


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("shape", INPUTS)
def test_every_path_gives_exactly_the_subset_sums(engine, shape, path):
    # Each path draws its own input of the shape: more inputs for the same time.
    values = INPUTS[shape](random.Random(f"{shape}/{path}"))
    with engine.on(**PATHS[path]):
        assert_exact(engine, values, sum_bits(values))


@pytest.mark.parametrize("lists", ["sums", "runs"])
@pytest.mark.parametrize("shape", ["band", "band merging", "small", "large",
                                   "one plus multiples of 3", "outliers covering every class"])
def test_the_bitset_takes_over_from_a_list_after_any_item(engine, shape, lists):
    values = INPUTS[shape](random.Random(shape))
    bits = sum_bits(values)
    for taken in range(len(values) + 1):
        with engine.on(**PATHS[lists], list_items=taken):
            assert_exact(engine, values, bits, f"lists for {taken} items, ")


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize(
    "values, capacity, low_sums",
    [
        ([2**62, 2**62, 5], 2, 1 | 1 << 5),
        ([2**63, 2**63 - 1], 3, 1),
        ([2**64 - 1], 1, 1),
        ([2**40, 3, 2**40 + 1], 4, 1 | 1 << 3),
        ([100, 1], 1, 0b11),
    ],
    ids=["two huge", "total at the limit", "one value at the limit", "mirror beyond capacity",
         "total in the word left out"],
)
def test_a_total_far_past_the_capacity_fills_it(engine, values, capacity, low_sums, path):
    # Working memory must follow the capacity, not the total.
    with engine.on(**PATHS[path]):
        assert engine.solve(values, capacity) == (0, low_sums, capacity, True)


@pytest.mark.parametrize(
    "values, capacity",
    [([2**63, 2**63], 0), ([2**64 - 1, 1], 1), ([1] * 3 + [2**64 - 2], 4)],
    ids=["two halves, no capacity", "max plus one", "late overflow"],
)
def test_a_total_past_64_bits_is_refused_untouched(engine, values, capacity):
    assert engine.solve(values, capacity) == (FMSS_TOTAL_OVERFLOW, 0, capacity, True)


def test_tuning_knobs_report_their_old_value(engine):
    knob = KNOBS.index("list_items")
    old = engine.tune(knob, 5)
    try:
        assert engine.tune(knob, 7) == 5
    finally:
        engine.tune(knob, old)
    assert engine.tune(len(KNOBS), 1) == UNKNOWN_KNOB
    assert engine.tune(-1, 1) == UNKNOWN_KNOB


@pytest.mark.parametrize("setting", [None, "", "abc", "2x", "0", "-2", "1", "3"])
def test_any_thread_setting_gives_exactly_the_subset_sums(engine, monkeypatch, setting):
    # The count as the process has it: from ZO_THREADS, or every core when that is no count.
    if setting is None:
        monkeypatch.delenv("ZO_THREADS", raising=False)
    else:
        monkeypatch.setenv("ZO_THREADS", setting)
    values = INPUTS["large"](random.Random(setting))
    with engine.on(threads=0, thread_words=1, path=1):
        assert_exact(engine, values, sum_bits(values))


def test_a_forked_child_solves_on_threads_of_its_own(engine):
    # The parent's workers do not exist in the child: a pool taken over from it would hang.
    values = INPUTS["large"](random.Random("fork"))
    bits = sum_bits(values)
    with engine.on(threads=2, thread_words=1, path=1):
        assert_exact(engine, values, bits)
        pid = os.fork()
        if pid == 0:
            ok = engine.solve(values, sum(values) // 64 + 1)[1] == bits
            os._exit(0 if ok else 1)
        deadline = time.monotonic() + 30
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        assert done[0] == pid and os.waitstatus_to_exitcode(done[1]) == 0
