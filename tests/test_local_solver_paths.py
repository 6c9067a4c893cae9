"""Every path of the in-process engine, and every switch between paths, gives exactly the subset
sums: each is forced through the engine's tuning knobs on small inputs of every structured family
and checked against the brute-force reference, with the whole capacity and with fewer words."""
import random

import pytest

from local_solver import KNOBS, UNKNOWN_KNOB, make_solver, make_tuner
from reference import sum_bits


@pytest.fixture(scope="module")
def solve(lib):
    return make_solver(lib)


@pytest.fixture(scope="module")
def tuned(lib):
    return make_tuner(lib)


def multiples(g, count, largest, rng):
    return [g * rng.randint(1, largest // g) for _ in range(count)]


FAMILIES = {
    "band": lambda rng: list(range(50, 62)),
    "band far apart": lambda rng: list(range(10**5, 10**5 + 9)),
    "band merging": lambda rng: list(range(3, 43)),
    "powers of two": lambda rng: [2**k for k in range(14)],
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
    "common factor": lambda rng: multiples(6, 12, 3000, rng),
    "random sparse": lambda rng: [rng.randint(1, 10**6) for _ in range(12)],
    "random dense": lambda rng: [rng.randint(0, 300) for _ in range(60)],
    "many repeats": lambda rng: [rng.randint(1, 9) for _ in range(200)],
}

PATHS = {
    "by cost": {},
    "by cost, no shortcut": {"direct_work": 0},
    "shortcut": {"direct_work": 10**12},
    "bitset": {"path": 1},
    "sums": {"path": 2, "start_as_runs": 0},
    "runs": {"path": 2, "start_as_runs": 1},
    "sums turning into runs": {"path": 2, "start_as_runs": -1},
    "residues": {"path": 3},
    "residues bit by bit": {"path": 3, "deposit": 0},
    "baseline kernel": {"path": 1, "kernel": 1},
    "AVX2 kernel": {"path": 1, "kernel": 2},
    "AVX-512 kernel": {"path": 1, "kernel": 3},
    "kernel by size, past the cache": {"path": 1, "avx2_from_bytes": 0},
}


def check_capacities(solve, values):
    """Exact sums for the whole capacity and for fewer words; the failing capacity, or None."""
    need = sum(values) // 64 + 1
    expected = sum_bits(values)
    for capacity in sorted({need, need // 2 + 1, need - 1, 1} - {0}):
        status, bits, size, untouched = solve(values, capacity)
        if (status, size, untouched) != (0, min(capacity, need), True):
            return capacity
        if bits != expected & ((1 << (64 * capacity)) - 1):
            return capacity
    return None


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("family", FAMILIES)
def test_every_path_gives_exactly_the_subset_sums(solve, tuned, family, path):
    values = FAMILIES[family](random.Random(family))
    with tuned(**PATHS[path]):
        failed = check_capacities(solve, values)
    assert failed is None, f"wrong sums with a capacity of {failed} words"


SWITCHED = ["band", "band merging", "random sparse", "random dense", "one plus multiples of 3",
            "outliers covering every class"]


@pytest.mark.parametrize("start_as_runs", [0, 1], ids=["from sums", "from runs"])
@pytest.mark.parametrize("family", SWITCHED)
def test_the_bitset_takes_over_from_a_list_after_any_item(solve, tuned, family, start_as_runs):
    values = FAMILIES[family](random.Random(family))
    for taken in range(len(values) + 1):
        with tuned(path=2, start_as_runs=start_as_runs, list_items=taken):
            failed = check_capacities(solve, values)
        assert failed is None, f"after {taken} items, capacity {failed}"


def test_tuning_knobs_report_their_old_value(tuned):
    knob = KNOBS.index("list_items")
    old = tuned.raw(knob, 5)
    try:
        assert tuned.raw(knob, 7) == 5
    finally:
        tuned.raw(knob, old)
    assert tuned.raw(len(KNOBS), 1) == UNKNOWN_KNOB
    assert tuned.raw(-1, 1) == UNKNOWN_KNOB
