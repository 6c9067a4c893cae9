"""The Fenwick-table routines kept exported for C callers: the tree against plain prefix sums, the
search against a direct Python model of its 32-bit arithmetic, and a driver built from them that
finds each subset sum exactly once."""
import ctypes
import random

import pytest

from clib import libc
from reference import sums_of

U32 = ctypes.c_uint32
M32 = 2**32 - 1
BASE = 1234567891  # the power table's multiplier, and the search's comparison modulus
POWER_MODULUS = 314804936


class Fenwick:
    """The routines, each with its C signature, on a handle of our own."""

    def __init__(self, lib):
        arr, ptr = ctypes.POINTER(U32), ctypes.c_void_p
        for name, routine, restype, argtypes in [
            ("read", "fmss_read", U32, [arr, U32]),
            ("update", "update", None, [arr, U32, U32, U32]),
            ("add_new_sums", "add_new_sums", None, [arr, arr, arr, U32, U32, U32]),
            ("find_new_sums", "find_new_sums", ptr, [arr, arr, arr, U32, U32, U32, U32, U32]),
            ("empty", "empty_sized_ar", ptr, []),
            ("one", "one_item_sized_ar", ptr, [U32]),
            ("union", "union_sized_ar", ptr, [ptr, ptr]),
            ("print", "print_sized_ar", None, [ptr]),
        ]:
            fn = getattr(lib, routine)
            fn.restype, fn.argtypes = restype, argtypes
            setattr(self, name, fn)
        self.malloc, self.free = libc.malloc, libc.free

    def sized(self, entries):
        """A sized array made here, as a C caller would: a count, then the entries."""
        p = self.malloc(4 * (len(entries) + 1))
        (U32 * (len(entries) + 1)).from_address(p)[:] = [len(entries), *entries]
        return p

    def take(self, p):
        """The entries of a sized array, which is then released."""
        count = U32.from_address(p).value
        entries = list((U32 * count).from_address(p + 4))
        self.free(p)
        return entries


@pytest.fixture(scope="module")
def fw(lib):
    return Fenwick(lib)


def table(values):
    return (U32 * max(1, len(values)))(*values)


def model_read(F, k):
    total = 0
    while k:
        total = (total + F[k - 1]) & M32
        k &= k - 1
    return total


def model_update(F, S, i, delta):
    while i < 2 * S:
        F[i] = (F[i] + delta) & M32
        i |= i + 1


def powers(S):
    P = [1]
    for _ in range(2 * S):
        P.append(P[-1] * BASE % POWER_MODULUS)
    return P


def model_find(R, F, P, S, modulus, lo, hi, x):
    h1 = ((model_read(F, hi) - model_read(F, lo)) & M32) * P[S - x] & M32
    h2 = (model_read(F, S + hi - x) - model_read(F, S + lo - x)) & M32
    if h1 % modulus == h2 % modulus:
        return []
    if hi == lo + 1:
        return [lo] if lo != 0 and R[lo] == 0 else []
    mid = (lo + hi) // 2
    return model_find(R, F, P, S, modulus, lo, mid, x) + model_find(R, F, P, S, modulus, mid, hi, x)


@pytest.mark.parametrize("S", [1, 5, 33])
def test_reads_after_updates_are_prefix_sums(fw, S):
    # The tree's promise, independent of how it walks: a read of k sums the positions below k,
    # wrapping modulo 2**32.
    rng = random.Random(S)
    c = table([0] * (2 * S))
    plain = [0] * (2 * S)
    for _ in range(40):
        i, delta = rng.randrange(2 * S), rng.getrandbits(32)
        fw.update(c, S, i, delta)
        plain[i] = (plain[i] + delta) & M32
    assert [fw.read(c, k) for k in range(2 * S + 1)] == [sum(plain[:k]) & M32 for k in range(2 * S + 1)]


def test_add_new_sums_marks_the_sum_and_weighs_both_copies(fw):
    S = 20
    P = powers(S)
    R, F = [0] * S, [0] * (2 * S)
    cR, cF, cP = table(R), table(F), table(P)
    for s, value in [(0, 0), (7, 7), (12, 5), (19, 12)]:
        fw.add_new_sums(cR, cP, cF, S, s, value)
        R[s] = value
        model_update(F, S, s, P[s])
        model_update(F, S, S + s, P[S + s])
    assert list(cR)[:S] == R
    assert list(cF)[: 2 * S] == F


def test_empty_and_one_item_arrays(fw):
    assert fw.take(fw.empty()) == []
    assert fw.take(fw.one(0)) == [0]
    assert fw.take(fw.one(M32)) == [M32]


@pytest.mark.parametrize(
    "a, b, returned",
    [([], [4, 5], "b"), ([1, 2], [], "a"), ([], [], "b"), ([1], [2, 3], "new"), ([9, 8], [7], "new")],
    ids=["first-empty", "second-empty", "both-empty", "both-full", "order-kept"],
)
def test_union_concatenates_and_consumes_both(fw, a, b, returned):
    pa, pb = fw.sized(a), fw.sized(b)
    u = fw.union(pa, pb)
    # An empty side is released and the other handed back as it is; else both go for a new block.
    if returned == "a":
        assert u == pa
    elif returned == "b":
        assert u == pb
    assert fw.take(u) == a + b


@pytest.mark.parametrize(
    "entries, text",
    [([], "[]"), ([7], "[7]"), ([1, 2, 3], "[1, 2, 3]"), ([M32, 0], "[4294967295, 0]")],
    ids=["empty", "one", "three", "unsigned"],
)
def test_print_sized_ar_writes_the_list_without_newline(fw, capfd, entries, text):
    p = fw.sized(entries)
    fw.print(p)
    fw.free(p)
    assert capfd.readouterr().out == text


def run_driver(fw, values, check_step=lambda *step: None):
    """The incremental search driven from Python: for each value, the new sums found are added.
    Returns the sums found, with 0 and the total."""
    S = sum(values) & M32
    if S == 0:
        return {0}
    P = powers(S)
    cR, cF, cP = table([0] * S), table([0] * (2 * S)), table(P)
    fw.add_new_sums(cR, cP, cF, S, 0, 0)
    reached = {0}
    for x in values:
        x &= M32
        found = fw.take(fw.find_new_sums(cR, cF, cP, S, BASE, 0, S, x))
        check_step(cR, cF, P, S, x, found, reached)
        for s in found:
            fw.add_new_sums(cR, cP, cF, S, s, x)
        reached |= set(found)
    return reached | {S}


@pytest.mark.parametrize("modulus", [2, 3, 7, 65537, BASE])
def test_search_matches_the_model_on_arbitrary_tables(fw, modulus):
    # Random 32-bit weights wrap every sum and product; a small modulus makes the two remainders
    # coincide often, so each skip decision is put to the test.
    rng = random.Random(modulus)
    for _ in range(30):
        S = rng.randint(1, 40)
        R = [rng.choice([0, 0, 1]) for _ in range(S)]
        F = [rng.getrandbits(32) for _ in range(2 * S)]
        P = [rng.getrandbits(32) for _ in range(2 * S + 1)]
        x = rng.randint(0, S)
        lo = rng.randrange(S)
        hi = rng.randint(lo + 1, S)
        found = fw.take(fw.find_new_sums(table(R), table(F), table(P), S, modulus, lo, hi, x))
        assert found == model_find(R, F, P, S, modulus, lo, hi, x), (S, x, lo, hi)


DRIVER_INPUTS = {
    "three and five": [3, 5], "two blocks": [1, 2, 4, 8, 100], "repeats": [2, 2, 2],
    "four primes": [7, 11, 13, 1], "zeros": [0, 9, 0, 4], "single": [5],
    **{f"random {seed}": (lambda rng: [rng.randint(0, 60) for _ in range(rng.randint(1, 10))])(
        random.Random(1000 + seed)) for seed in range(12)},
}


@pytest.mark.parametrize("values", DRIVER_INPUTS.values(), ids=DRIVER_INPUTS)
def test_driver_finds_each_subset_sum_once(fw, values):
    def sound(cR, cF, P, S, x, found, reached):
        assert found == sorted(found), "new sums come out ascending"
        for s in found:
            assert s != 0 and s not in reached and s - x in reached, f"{s} is no new sum for {x}"

    assert run_driver(fw, values, sound) == sums_of(values)
