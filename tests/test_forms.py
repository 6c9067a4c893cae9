"""Every call form agrees: the list, array, callback and awaitable forms give the same answer and the
same failure details for the same input, locally and through a peer, and refuse bad values with the
same errors, one table per rule. The witness forms (which values make a target) read values and fail
as they do."""
import array
import asyncio
import contextlib
import random
import sys
import threading

import numpy as np
import pytest

import zox
from reference import sums_of, words_of_sums
from scripted_peer import Reply, aim_at, closed_port, json_reply, route, solving_script

WAIT = 120  # seconds; a bound so that a lost callback fails instead of hanging
SUM_FORMS = ["list", "array", "callback", "awaitable"]
WITNESS_FORMS = ["witness", "witness-awaitable"]
FORMS = SUM_FORMS + WITNESS_FORMS
CHECK = "check"  # subset_sum_result_check, which reads a result list as the list form reads values
pytestmark = pytest.mark.usefixtures("killswitch")  # the remote cases aim the client elsewhere


def target_for(values):
    """The target the witness forms are asked for: reachable or not, as the values have it."""
    return sum(values) // 2 + 1


def solve(form, values):
    """What `values` solve to in `form` (the words, or the witness for target_for(values)), or the
    ConnectionError it fails with."""
    try:
        if form == "witness":
            return zox.subset_with_sum(values, target_for(values))
        if form == "witness-awaitable":
            return asyncio.run(zox.subset_with_sum_aio(values, target_for(values)))
        if form == "list":
            return zox.complete_subset_sum(values)
        if form == "array":
            return zox.complete_subset_sum_array(values).tolist()
        if form == "awaitable":
            return asyncio.run(zox.complete_subset_sum_aio(values))
        got, done = [], threading.Event()

        def callback(result):
            got.append((result, sys.exc_info()[1]))  # a failure is the exception being handled
            done.set()

        zox.complete_subset_sum_async(values, callback)
        assert done.wait(WAIT), "the callback did not come"
        [(result, error)] = got
        if error is not None:
            assert result is None, "a failed solve called back with a result"
            raise error
        return result
    except ConnectionError as error:
        return error


def details(error):
    return (type(error), str(error), error.phase, error.curl_code, error.curl_message,
            error.service_message, error.not_ready_polls, error.timed_out,
            getattr(error, "__notes__", None))


def is_witness(values, target, answer):
    """None exactly when no values make `target`, else ascending indices of values that do."""
    if answer is None:
        return target not in sums_of(values)
    return answer == sorted(set(answer)) and sum(values[i] for i in answer) == target


def both_submits(submit, poll):
    """A peer that answers the witness submit as the solve's."""
    return route(submit=submit, poll=poll, other=submit)


SUBMITTED = json_reply({"requestId": "r"})
# (peer script, or "local", or None for a closed port; values; phase and curl code of a failure)
OUTCOMES = {
    "local-empty": ("local", [], None),
    "local-three-five": ("local", [3, 5], None),
    "local-zeros": ("local", [0, 0], None),
    "local-one-word-boundary": ("local", [64], None),
    "local-repeats": ("local", [2, 2, 2], None),
    "local-bool-is-int": ("local", [True, 2], None),
    "local-several-words": ("local", [1, 2, 4, 8, 100, 1000], None),
    "remote-three-five": (solving_script(), [3, 5], None),
    "remote-several-words": (solving_script(), [7, 11, 13, 1000], None),
    "refused-connection": (None, [3, 5], ("submit", 7)),
    "service-refuses": (both_submits(json_reply({"message": "Forbidden"}, 403), json_reply({})),
                        [3, 5], ("submit", None)),
    "damaged-payload": (both_submits(SUBMITTED, Reply(200, b"\x1f\x8bxx")), [3, 5],
                        ("payload", None)),
    "job-gone": (both_submits(SUBMITTED, json_reply({"message": "the solve failed"}, 410)), [3, 5],
                 ("poll", None)),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("script, values, failure", OUTCOMES.values(), ids=OUTCOMES.keys())
def test_every_form_gives_the_same_outcome(monkeypatch, capfd, serve, form, script, values,
                                          failure):
    if script is None:
        aim_at(monkeypatch, f"https://127.0.0.1:{closed_port()}", None)
    elif script != "local":
        serve(script)
    outcome = solve(form, values)
    witness = form in WITNESS_FORMS
    if failure is None and witness:
        assert is_witness(values, target_for(values), outcome), f"wrong witness {outcome!r}"
        return
    if failure is None:
        assert outcome == words_of_sums(sums_of(values), sum(values))
        return
    assert isinstance(outcome, ConnectionError), f"{form} did not fail: {outcome!r}"
    assert (outcome.phase, outcome.curl_code) == failure
    if form != "callback":  # the callback form hands the error over instead of printing it
        assert capfd.readouterr().out.endswith(f"Error occured {outcome}\n")
    first = "witness" if witness else "list"
    assert details(outcome) == details(solve(first, values)), f"{form} differs from {first}"


# Answered in this process, whatever the environment says: targets past the total (no service is
# asked) and the service's own witness solves.
IN_PROCESS = {
    "past-64-bits": (zox.subset_with_sum, [2**64 - 1], 2**64, None),
    "service-solver": (zox._subset_with_sum_local, array.array("Q", [3, 5, 9, 4]), 12, [0, 2]),
}


@pytest.mark.parametrize("method, values, target, answer", IN_PROCESS.values(),
                         ids=IN_PROCESS.keys())
def test_answered_in_process(monkeypatch, method, values, target, answer):
    aim_at(monkeypatch, f"https://127.0.0.1:{closed_port()}", None)
    assert method(values, target) == answer


@pytest.mark.parametrize("raised_after", [0, 0.2], ids=["raised-before", "raised-while-searching"])
def test_service_solvers_search_stops_once_its_cancel_flag_is_raised(raised_after):
    rng = random.Random(60)
    values = [rng.randint(10**16, 2 * 10**16) for _ in range(60)]  # searched for minutes
    flag = array.array("i", [0])
    timer = threading.Timer(raised_after, flag.__setitem__, (0, 1))
    timer.start()
    with pytest.raises(InterruptedError):
        zox._subset_with_sum_local(values, sum(values) // 2 + 1, flag)
    timer.join()


# ---------------------------------------------------------------------------------------------
# Refusals at call time: one table per rule, each case with the forms it applies to.

LIST_TEXT_FORMS = {"list", "callback"}  # the forms that keep the list form's own texts
LIST_ITEM_READERS = set(FORMS) | {CHECK}
# any iterable of __index__ ints, or an integer buffer
ANY_INT_FORMS = {"array", "awaitable"} | set(WITNESS_FORMS)


def call(form, values, target=0):
    """Starts a solve in `form` (of values, or of what a callable makes); raises what it raises."""
    if callable(values):
        values = values()
    if form == "witness":
        return zox.subset_with_sum(values, target)
    if form == "witness-awaitable":
        return zox.subset_with_sum_aio(values, target).close()
    if form == "list":
        return zox.complete_subset_sum(values)
    if form == "array":
        return zox.complete_subset_sum_array(values)
    if form == "awaitable":
        return zox.complete_subset_sum_aio(values).close()
    if form == CHECK:
        return zox.subset_sum_result_check(values, 0)
    callback = lambda result: None  # noqa: E731
    before = sys.getrefcount(callback)
    try:
        return zox.complete_subset_sum_async(values, callback)
    finally:
        assert sys.getrefcount(callback) == before, "a refused call kept the callback"


def refusal_cases(table):
    return [pytest.param(form, value, id=f"{name}-{form}")
            for name, (value, forms) in table.items() for form in FORMS + [CHECK] if form in forms]


NOT_A_SEQUENCE = {
    "tuple": ((3, 5), LIST_TEXT_FORMS),
    "none": (None, set(FORMS)),
    "int": (5, set(FORMS)),
}
NOT_AN_INT = {
    "str-item": ([1, "2"], LIST_ITEM_READERS),
    "float-item": ([1, 2.0], LIST_ITEM_READERS),
    "numpy-int-item": ([np.int64(3)], LIST_TEXT_FORMS | {CHECK}),
    "float-in-generator": (lambda: (v for v in [1, 2.0]), ANY_INT_FORMS),
    "float64-buffer": (np.array([1.0, 2.0]), ANY_INT_FORMS),
    "float16-buffer": (np.array([1], dtype=np.float16), ANY_INT_FORMS),
    "complex-buffer": (np.array([1j]), ANY_INT_FORMS),
    "structured-buffer": (np.zeros(2, dtype="u4,u4"), ANY_INT_FORMS),
    "char-buffer": (memoryview(b"ab").cast("c"), ANY_INT_FORMS),
    "empty-float-buffer": (np.array([], dtype=np.float64), ANY_INT_FORMS),
}
OUT_OF_RANGE = {
    "negative": ([1, -1], LIST_ITEM_READERS),
    "past-2-64": ([2**64], LIST_ITEM_READERS),
    "negative-in-generator": (lambda: (v for v in [1, -1]), ANY_INT_FORMS),
    "negative-int64": (np.array([1, -1], dtype=np.int64), ANY_INT_FORMS),
    "negative-int8": (np.array([-128], dtype=np.int8), ANY_INT_FORMS),
    "past-2-64-in-range": (range(2**64, 2**64 + 1), ANY_INT_FORMS),
}
TOTAL_WRAPS = {
    "by-one": ([2**64 - 1, 1], set(FORMS)),
    "to-zero": ([2**63, 2**63], set(FORMS)),
    "in-tuple": ((2**63, 2**63), ANY_INT_FORMS),
    "in-uint64": (np.array([2**63, 2**63], dtype=np.uint64), ANY_INT_FORMS),
    "in-big-endian": (np.array([2**63, 2**62, 2**62], dtype=">u8"), ANY_INT_FORMS),
}


UNHOLDABLE = {"2-62": ([2**62], set(SUM_FORMS))}
# rule: (its table, the exception, the line printed before it)
RULES = {
    "no-sequence": (NOT_A_SEQUENCE, TypeError, "Error occured with PyList_Check 0\n"),
    "no-int": (NOT_AN_INT, TypeError, "Error occured with PyLong_Check\n"),
    "outside-64-bits": (OUT_OF_RANGE, OverflowError, ""),
    "total-past-64-bits": (TOTAL_WRAPS, OverflowError, "Error occured, overflow on input\n"),
    "unholdable-result": (UNHOLDABLE, MemoryError, ""),
}


@pytest.mark.parametrize("form, values, exc, printed", [
    pytest.param(*case.values, exc, printed, id=f"{rule}-{case.id}")
    for rule, (table, exc, printed) in RULES.items() for case in refusal_cases(table)])
def test_bad_values_are_refused_at_the_call(capfd, form, values, exc, printed):
    with pytest.raises(exc):
        call(form, values)
    assert capfd.readouterr().out == printed


# Targets refused as values are: not an int, or negative.
BAD_TARGETS = {
    "negative": (-1, OverflowError),
    "negative-past-64-bits": (-2**70, OverflowError),
    "float": (5.0, TypeError),
}


@pytest.mark.parametrize("form", WITNESS_FORMS)
@pytest.mark.parametrize("target, exc", BAD_TARGETS.values(), ids=BAD_TARGETS.keys())
def test_bad_targets_are_refused(capfd, form, target, exc):
    with pytest.raises(exc, match="^target must be"):
        call(form, [1, 2], target)
    assert capfd.readouterr().out == ""


# Arguments the methods cannot unpack: an ArgumentError, both TypeError and SystemError, chained to
# the TypeError of the unpacking.
UNPARSABLE = {
    "solve-none": (zox.complete_subset_sum, ()),
    "solve-two": (zox.complete_subset_sum, ([1], [2])),
    "async-none": (zox.complete_subset_sum_async, ()),
    "async-one": (zox.complete_subset_sum_async, ([1, 2],)),
    "async-three": (zox.complete_subset_sum_async, ([1], print, 3)),
    "check-none": (zox.subset_sum_result_check, ()),
    "check-one": (zox.subset_sum_result_check, ([297],)),
    "check-three": (zox.subset_sum_result_check, ([297], 5, 6)),
    "check-str-value": (zox.subset_sum_result_check, ([297], "5")),
    "check-float-value": (zox.subset_sum_result_check, ([297], 5.0)),
    "check-none-value": (zox.subset_sum_result_check, ([297], None)),
    "witness-one": (zox.subset_with_sum, ([1],)),
    "witness-aio-three": (zox.subset_with_sum_aio, ([1], 1, 1)),
    "array-none": (zox.complete_subset_sum_array, ()),
    "array-two": (zox.complete_subset_sum_array, ([1], [2])),
    "aio-none": (zox.complete_subset_sum_aio, ()),
    "aio-two": (zox.complete_subset_sum_aio, ([1], [2])),
}


@pytest.mark.parametrize("method, args", UNPARSABLE.values(), ids=UNPARSABLE.keys())
def test_unparsable_arguments_raise_argument_error(capfd, method, args):
    with pytest.raises(zox.ArgumentError) as info:
        method(*args)
    assert isinstance(info.value, TypeError) and isinstance(info.value, SystemError)
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value) == str(info.value.__cause__)
    assert capfd.readouterr().out == "Error occured with parsing tuple 0\n"


# ---------------------------------------------------------------------------------------------
# What the array and awaitable forms accept beyond lists of ints.

VALUES = [3, 0, 5, 9, 200]
ACCEPTED = {
    "tuple": lambda: tuple(VALUES),
    "generator": lambda: (v for v in VALUES),
    "dict-keys": lambda: dict.fromkeys(VALUES).keys(),
    "numpy-ints-in-list": lambda: [np.int64(v) for v in VALUES],
    "array-Q": lambda: array.array("Q", VALUES),
    "array-b": lambda: array.array("b", [3, 0, 5, 9, 100, 100]),
    "bytes": lambda: bytes(VALUES),
    "memoryview-of-bytearray": lambda: memoryview(bytearray(VALUES)),
    "numpy-uint64": lambda: np.array(VALUES, dtype=np.uint64),
    "numpy-int64": lambda: np.array(VALUES, dtype=np.int64),
    "numpy-uint8": lambda: np.array(VALUES, dtype=np.uint8),
    "numpy-int16-big-endian": lambda: np.array(VALUES, dtype=">i2"),
    "numpy-uint32-strided": lambda: np.array([v for v in VALUES for _ in (0, 1)], np.uint32)[::2],
    "numpy-uint64-reversed": lambda: np.array(VALUES[::-1], dtype=np.uint64)[::-1],
    "numpy-uint64-unaligned": lambda: np.frombuffer(
        b"\0" + np.array(VALUES, dtype=np.uint64).tobytes(), dtype=np.uint64, offset=1),
    "numpy-bool": lambda: np.array([True, False, True]),
}


@pytest.mark.parametrize("form", sorted(ANY_INT_FORMS))
@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_any_ints_give_the_result_of_their_list(form, make):
    assert solve(form, make()) == solve(form, [int(v) for v in make()])


def test_iteration_errors_pass_through():
    def failing():
        yield 1
        raise ValueError("from the generator")

    for form in sorted(ANY_INT_FORMS):
        with pytest.raises(ValueError, match="from the generator"):
            call(form, failing())


# ---------------------------------------------------------------------------------------------
# A value read while another thread replaces it: the reader holds each item it reads, so the
# printed refusal (Python code, during which the list can change) never meets a freed item.

class ReplacingStdout:
    """Stands in for sys.stdout; each write has another thread empty the list first."""

    def __init__(self, values):
        self.values = values

    def write(self, text):
        replacer = threading.Thread(target=lambda: self.values.__setitem__(slice(None), [0]))
        replacer.start()
        replacer.join()
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("form", FORMS + [CHECK])
def test_items_replaced_while_a_refusal_prints(form):
    values = [1, "".join(["not", " an int"] * 50)]  # the list's own, only reference
    with contextlib.redirect_stdout(ReplacingStdout(values)), pytest.raises(TypeError) as info:
        call(form, values)
    assert "not an int but str" in str(info.value)
    assert values == [0], "the other thread did not run during the refusal"
