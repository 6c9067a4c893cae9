"""Result forms: complete_subset_sum_array (the words in an array('Q') written in place) and the
result list's sharing of int objects. What the forms accept and refuse is in test_forms."""
import array
import gc
import sys
import threading

import pytest

import zox
from reference import le_words, sums_bitset

RESULTS = {
    "empty": [],
    "three-five": [3, 5],
    "zeros": [0, 0, 0],
    "one-word-boundary": [64],
    "repeats": [2, 2, 2, 7],
    "sparse-below-64k-words": [2**20, 3, 2**20 + 7],
    "sparse-past-64k-words": [2**23, 3, 2**23 + 7],
    "sparse-past-huge-pages": [2**26, 5, 2**26 + 9],
    "dense-runs": [2**k for k in range(23)],
}


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("values", RESULTS.values(), ids=RESULTS.keys())
def test_list_and_array_hold_the_words_of_the_sums(values):
    # Large results are read back while the words behind are given back, or written in place.
    words = le_words(sums_bitset(values), sum(values) // 64 + 1)
    assert zox.complete_subset_sum(values) == words
    result = zox.complete_subset_sum_array(values)
    assert type(result) is array.array and result.typecode == "Q"
    assert result.tolist() == words


SHARING = {
    "dense-runs": [2**k for k in range(20)],
    "ones-broken-by-zeros": [1] * 1000 + [5000, 5000, 5000],
    "sparse-zeros": [2**16, 2**17 + 1, 5],
}


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("values", SHARING.values(), ids=SHARING.keys())
def test_list_shares_one_int_per_run_and_for_all_ones(values):
    result = zox.complete_subset_sum(values)
    assert result == le_words(sums_bitset(values), sum(values) // 64 + 1)
    assert all(a is b for a, b in zip(result, result[1:]) if a == b), \
        "equal neighbours are two int objects"
    ones = {id(w) for w in result if w == 2**64 - 1}
    assert len(ones) <= 1, "all-ones words are not one int object"
    distinct = {id(w): w for w in result if w > 256}  # small ints are the interpreter's
    for word in distinct.values():
        occurrences = sum(1 for w in result if w is word)
        # the items, `distinct`, `word` and getrefcount's own argument
        assert sys.getrefcount(word) == occurrences + 3, "references out of step with the items"


def test_a_collection_meanwhile_never_meets_an_unfinished_list(killswitch):
    # The local list holds result words in its item slots until they become ints; the solve runs
    # with the lock released, so a collection in another thread must not walk such a list.
    values = [2**k for k in range(22)] + [3 * 2**21]
    expected = zox.complete_subset_sum(values)
    stop = threading.Event()

    def collect():
        while not stop.is_set():
            gc.collect()

    collector = threading.Thread(target=collect)
    collector.start()
    try:
        for _ in range(20):
            assert zox.complete_subset_sum(values) == expected
    finally:
        stop.set()
        collector.join(60)


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("solve", [zox.complete_subset_sum_array, zox.complete_subset_sum],
                         ids=["array", "list"])
def test_other_threads_run_while_it_solves(solve):
    # Calls into the module: with the lock held throughout, the counter could not move.
    values = [2**k for k in range(28)]
    count, stop = [0], threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while count[0] == 0:
            pass
        before = count[0]
        # Several calls, so that a loaded machine's scheduler cannot hide every window.
        for _ in range(10):
            solve(values)
        during = count[0] - before
    finally:
        stop.set()
        thread.join(60)
    assert during > 1000
