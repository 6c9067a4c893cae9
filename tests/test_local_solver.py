"""The in-process solver, called as C callers call it: exact subset sums for inputs of every shape,
written into exactly as many words as the capacity allows."""
import random

import pytest

from local_solver import make_solver
from reference import sum_bits

FMSS_TOTAL_OVERFLOW = -2


@pytest.fixture(scope="module")
def solve(lib):
    return make_solver(lib)


def low_words(bits, count):
    return bits & ((1 << (64 * count)) - 1)


SHAPES = {
    # The benchmark's workloads, at sizes a reference in Python checks quickly.
    "tiny": lambda rng: [rng.randint(0, 100) for _ in range(rng.randint(0, 20))],
    "small": lambda rng: [rng.randint(0, 1000) for _ in range(rng.randint(1, 40))],
    "medium": lambda rng: [rng.randint(0, 10**4) for _ in range(rng.randint(20, 150))],
    "large": lambda rng: [rng.randint(0, 10**6) for _ in range(rng.randint(1, 14))],
    "many repeats": lambda rng: [rng.randint(0, 100) for _ in range(rng.randint(100, 3000))],
    "few huge": lambda rng: [rng.randint(1, 10**7) for _ in range(rng.randint(1, 10))],
    "small and huge": lambda rng: [rng.randint(0, 50) for _ in range(rng.randint(0, 60))]
    + [rng.randint(10**4, 10**6) for _ in range(rng.randint(1, 4))],
    # Few small values, many alike: folded copies land right at half the total.
    "repeats near half": lambda rng: [rng.randint(1, 9) for _ in range(rng.randint(2, 12))],
    # Every sum is a multiple of the values' common factor.
    "common factor": lambda rng: (lambda g: [g * rng.randint(0, 3000 // g + 5)
                                             for _ in range(rng.randint(1, 60))])(
        rng.choice([2, 3, 4, 5, 8, 9, 10, 11, 16, 32, 64, 100, 1000])),
    "multiples of 64": lambda rng: [64 * rng.randint(0, 40) + rng.choice([0, 0, 1, 63])
                                    for _ in range(rng.randint(1, 30))],
}
SEEDS = {"common factor": 16}  # each case draws one factor: more cases, more factors
CASES = [(shape, seed) for shape in SHAPES for seed in range(SEEDS.get(shape, 6))]
CASE_IDS = [f"{shape}-{seed}" for shape, seed in CASES]


@pytest.mark.parametrize("shape, seed", CASES, ids=CASE_IDS)
def test_random_inputs_give_exactly_the_subset_sums(solve, shape, seed):
    values = SHAPES[shape](random.Random(f"{shape}/{seed}"))
    need = sum(values) // 64 + 1
    status, bits, size, untouched = solve(values, need)
    assert status == 0
    assert size == need
    assert bits == sum_bits(values)
    assert untouched, "a word past the result was written"


@pytest.mark.parametrize("shape, seed", CASES, ids=CASE_IDS)
def test_fewer_words_than_needed_hold_the_low_sums(solve, shape, seed):
    rng = random.Random(f"capacity {shape}/{seed}")
    values = SHAPES[shape](rng)
    need = sum(values) // 64 + 1
    expected = sum_bits(values)
    # Around the half of the total, where the upper sums start to come from the lower ones.
    capacities = {1, need - 1, need // 2, need // 2 + 1, rng.randint(1, need)}
    for capacity in sorted(c for c in capacities if 0 < c < need):
        status, bits, size, untouched = solve(values, capacity)
        assert status == 0
        assert size == capacity, "a short capacity must stay as it was"
        assert bits == low_words(expected, capacity), f"capacity {capacity} of {need}"
        assert untouched, f"capacity {capacity}: a word past the capacity was written"


def parts_of(total, count, rng):
    cuts = sorted(rng.randint(0, total) for _ in range(count - 1))
    return [b - a for a, b in zip([0] + cuts, cuts + [total])]


@pytest.mark.parametrize("total", [0, 1, 62, 63, 64, 65, 126, 127, 128, 129, 191, 192, 255, 256,
                                   257, 4095, 4096, 4097])
@pytest.mark.parametrize("count", [1, 2, 5, 40])
def test_totals_around_word_boundaries(solve, total, count):
    rng = random.Random(total * 100 + count)
    values = parts_of(total, count, rng)
    need = total // 64 + 1
    expected = sum_bits(values)
    for capacity in range(1, need + 2):
        status, bits, size, untouched = solve(values, capacity)
        assert status == 0
        assert size == min(capacity, need)
        assert bits == low_words(expected, min(capacity, need)), f"capacity {capacity}"
        assert untouched, f"capacity {capacity}"


@pytest.mark.parametrize(
    "values",
    [
        [0, 0, 0, 7, 0],
        [5] * 1000,
        [1] * 5000,
        [3] * 7 + [6] * 3 + [12] * 5 + [24],
        [2**k for k in range(12)] * 3,
        [63] * 64 + [64] * 64 + [65] * 64,
        [10**6],
        [3, 5, 10**6],
        [10**6, 10**6 + 1, 1],
        [40000, 40000, 40001, 80001],
        [5, 5, 5, 6],
        [6, 10, 15] * 20,
        [2 * v for v in range(1, 200)],
        [1000 * v for v in range(1, 40)] + [3000] * 9,
    ],
    ids=["zeros-around-one", "many-fives", "many-ones",
         "repeats-folding-into-each-other", "powers-of-two-thrice", "around-64-repeated",
         "one-huge", "two-small-one-huge", "huge-pair-and-one", "sparse-collisions",
         "pair-doubles-to-half", "factors-without-a-common-one", "even", "thousands"],
)
def test_chosen_inputs_match_the_sum_sets(solve, values):
    # The documented small examples are checked through the module in test_sync_solve.
    total = sum(values)
    need = total // 64 + 1
    status, bits, size, untouched = solve(values, need)
    assert (status, bits, size, untouched) == (0, sum_bits(values), need, True)


@pytest.mark.parametrize(
    "values, capacity, expected",
    [
        ([2**62, 2**62, 5], 2, 1 | 1 << 5),
        ([2**63, 2**63 - 1], 3, 1),
        ([2**64 - 1], 1, 1),
        ([2**40, 3, 2**40 + 1], 4, 1 | 1 << 3),
    ],
    ids=["two-huge", "total-at-the-limit", "one-value-at-the-limit", "mirror-beyond-capacity"],
)
def test_huge_totals_fill_a_small_capacity(solve, values, capacity, expected):
    # The total's word lies far past the capacity: working memory must not grow with the total.
    status, bits, size, untouched = solve(values, capacity)
    assert (status, bits, size, untouched) == (0, expected, capacity, True)


@pytest.mark.parametrize(
    "values",
    [[2**63, 2**63], [2**64 - 1, 1], [1] * 3 + [2**64 - 2]],
    ids=["two-halves", "max-plus-one", "late-overflow"],
)
@pytest.mark.parametrize("capacity", [0, 1, 4])
def test_total_past_64_bits_is_refused_untouched(solve, values, capacity):
    status, bits, size, untouched = solve(values, capacity)
    assert status == FMSS_TOTAL_OVERFLOW
    assert size == capacity
    assert untouched


@pytest.mark.parametrize("values", [[], [3, 5], [200, 1]], ids=["empty", "one-word", "four-words"])
def test_capacity_zero_writes_nothing(solve, values):
    assert solve(values, 0) == (0, 0, 0, True)


def test_one_word_of_a_longer_result(solve):
    # 100 and 1: the total 101 lies in word 1, which a capacity of one word leaves out.
    assert solve([100, 1], 1) == (0, 0b11, 1, True)
