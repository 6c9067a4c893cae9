"""Membership of one value in a sum bitset, given as a list or as a buffer of words. Arguments the
method cannot unpack are in test_forms, with those of the other methods."""
import array
import random

import numpy as np
import pytest

import zox
from reference import sums_of

OUT_OF_BOUNDS = "Error occured in result check, entry {} is out of bounds of input of length {}\n"

# Every form a result comes in, and buffers of words from elsewhere: the same answers.
RESULT_KINDS = {
    "list": list,
    "array-Q": lambda words: array.array("Q", words),
    "numpy-uint64": lambda words: np.array(words, dtype=np.uint64),
    "numpy-uint64-strided": lambda words: np.array([w for w in words for _ in (0, 1)],
                                                   dtype=np.uint64)[::2],
    "memoryview-Q": lambda words: memoryview(array.array("Q", words)),
}


@pytest.mark.parametrize(
    "result, value, expected",
    [
        ([297], 5, True),
        ([297], 4, False),
        ([297], 8, True),
        ([297], 0, True),
        ([0, 1], 64, True),
        ([0, 1], 0, False),
        ([1 << 40], 40, True),
        ([1 << 40], 8, False),
        ([1 << 63], 63, True),
        ([2**64 - 1], 63, True),
        ([2**64 - 1 - (1 << 62)], 62, False),
        ([0, 1 << 63], 127, True),
        ([True], 0, True),
        ([297], True, False),
    ],
    ids=["three", "four", "total", "zero", "second_word", "first_word_empty", "bit40", "bit8",
         "top_bit", "all_ones", "all_but_one", "top_bit_second_word", "bool_word", "bool_value"],
)
@pytest.mark.parametrize("kind", RESULT_KINDS.values(), ids=RESULT_KINDS.keys())
def test_bit_lookup(capfd, kind, result, value, expected):
    assert zox.subset_sum_result_check(kind(result), value) is expected
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("solve", [zox.complete_subset_sum, zox.complete_subset_sum_array],
                         ids=["list", "array"])
@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_brute_force_sums(killswitch, capfd, seed, solve):
    rng = random.Random(seed)
    values = [rng.randint(0, 90) for _ in range(rng.randint(0, 8))]
    sums = sums_of(values)
    result = solve(values)
    for k in range(64 * len(result)):
        assert zox.subset_sum_result_check(result, k) is (k in sums), k
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "result, value, entry, length",
    [
        ([297], 64, 1, 1),
        ([], 0, 0, 0),
        ([1, 2, 3], 3 * 64 + 10, 3, 3),
        ([297], 2**64 - 1, 2**58 - 1, 1),
        # Values outside 0 .. 2**64 - 1 never wrap onto a word: they lie beyond them all.
        ([297], 2**64 + 5, 2**58, 1),
        ([(1 << 64) - 1] * 3, 2**64 * 7 + 2, 7 * 2**58, 3),
        ([297], -1, -1, 1),
        ([297], -(2**64) + 3, (-(2**64) + 3) // 64, 1),
    ],
    ids=["next_word", "empty", "three_words", "largest_value", "2^64+5", "far-past-2^64",
         "minus_one", "minus_2^64+3"],
)
@pytest.mark.parametrize("kind", RESULT_KINDS.values(), ids=RESULT_KINDS.keys())
def test_out_of_bounds_prints_and_gives_none(capfd, kind, result, value, entry, length):
    assert zox.subset_sum_result_check(kind(result), value) is None
    assert capfd.readouterr().out == OUT_OF_BOUNDS.format(entry, length)


NO_WORDS = {
    "tuple": (297,),
    "none": None,
    "int": 297,
    "dict": {0: 297},
    "bytes": bytes(8),
    "signed-words": array.array("q", [297]),
    "numpy-int64": np.array([297], dtype=np.int64),
    "big-endian-words": np.array([297], dtype=">u8"),
    "two-dimensional": np.zeros((1, 1), dtype=np.uint64),
}


@pytest.mark.parametrize("result", NO_WORDS.values(), ids=NO_WORDS.keys())
@pytest.mark.parametrize("value", [0, 640])
def test_non_list_result_has_no_words(capfd, result, value):
    # Answered with None and no pending error: a pending one would surface as SystemError.
    assert zox.subset_sum_result_check(result, value) is None
    assert capfd.readouterr().out == (
        "Error occured with PyList_Check 0\n" + OUT_OF_BOUNDS.format(value // 64, 0))
