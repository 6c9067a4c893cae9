"""Result forms: complete_subset_sum_array (the words in an array('Q') written in place, from any
iterable or integer buffer) and the result list's sharing of int objects."""
import array
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import zox
from reference import le_words, sums_bitset, sums_of, words_of_sums
from scripted_peer import ScriptedPeer, aim_at, closed_port, json_reply, route
from service_fixture import SERVICE_KEY

RESULTS = {
    "empty": [],
    "three-five": [3, 5],
    "zeros": [0, 0, 0],
    "one-word-boundary": [64],
    "repeats": [2, 2, 2, 7],
    "sparse-past-64k-words": [2**23, 3, 2**23 + 7],
    "sparse-past-huge-pages": [2**26, 5, 2**26 + 9],
    "dense-runs": [2**k for k in range(23)],
}


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("values", RESULTS.values(), ids=RESULTS.keys())
def test_array_holds_the_words_of_the_list(values):
    result = zox.complete_subset_sum_array(values)
    assert type(result) is array.array and result.typecode == "Q"
    assert result.tolist() == zox.complete_subset_sum(values)


@pytest.mark.parametrize("values", [[3, 5], [7, 11, 13, 1000], [1] * 64],
                         ids=["three-five", "several-words", "one-word-full"])
def test_array_through_the_service(service, monkeypatch, values):
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
    monkeypatch.setenv("ZO_SERVICE_URL", service.url)
    monkeypatch.setenv("ZO_CA_BUNDLE", service.ca_bundle)
    monkeypatch.setenv("ZO_API_KEY", SERVICE_KEY)
    assert zox.complete_subset_sum_array(values).tolist() == words_of_sums(sums_of(values),
                                                                           sum(values))


VALUES = [3, 0, 5, 9, 200]
INPUT_KINDS = {
    "list": lambda: list(VALUES),
    "tuple": lambda: tuple(VALUES),
    "generator": lambda: (v for v in VALUES),
    "dict-keys": lambda: dict.fromkeys(VALUES).keys(),
    "array-Q": lambda: array.array("Q", VALUES),
    "array-b": lambda: array.array("b", [3, 0, 5, 9, 100, 100]),
    "bytes": lambda: bytes([3, 0, 5, 9, 200]),
    "memoryview-of-bytearray": lambda: memoryview(bytearray([3, 0, 5, 9, 200])),
    "numpy-uint64": lambda: np.array(VALUES, dtype=np.uint64),
    "numpy-uint64-read-only": lambda: _read_only(VALUES),
    "numpy-int64": lambda: np.array(VALUES, dtype=np.int64),
    "numpy-uint8": lambda: np.array(VALUES, dtype=np.uint8),
    "numpy-int16-big-endian": lambda: np.array(VALUES, dtype=">i2"),
    "numpy-uint32-strided": lambda: np.array([v for v in VALUES for _ in (0, 1)], np.uint32)[::2],
    "numpy-uint64-reversed": lambda: np.array(VALUES[::-1], dtype=np.uint64)[::-1],
    "numpy-uint64-unaligned": lambda: np.frombuffer(
        b"\0" + np.array(VALUES, dtype=np.uint64).tobytes(), dtype=np.uint64, offset=1),
    "numpy-bool": lambda: np.array([True, False, True]),
}


def _read_only(values):
    a = np.array(values, dtype=np.uint64)
    a.setflags(write=False)
    return a


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("make", INPUT_KINDS.values(), ids=INPUT_KINDS.keys())
def test_every_kind_of_input_gives_the_result_of_its_ints(make):
    values = [int(v) for v in make()]
    assert zox.complete_subset_sum_array(make()).tolist() == zox.complete_subset_sum(values)


ERRORS = {
    "none": (None, TypeError, "Error occured with PyList_Check 0\n"),
    "int": (5, TypeError, "Error occured with PyList_Check 0\n"),
    "str-item": ([1, "2"], TypeError, "Error occured with PyLong_Check\n"),
    "float-in-generator": ((v for v in [1, 2.0]), TypeError, "Error occured with PyLong_Check\n"),
    "numpy-int-in-list": ([np.int64(3)], TypeError, "Error occured with PyLong_Check\n"),
    "float64-buffer": (np.array([1.0, 2.0]), TypeError, "Error occured with PyLong_Check\n"),
    "float16-buffer": (np.array([1], dtype=np.float16), TypeError,
                       "Error occured with PyLong_Check\n"),
    "complex-buffer": (np.array([1j]), TypeError, "Error occured with PyLong_Check\n"),
    "structured-buffer": (np.zeros(2, dtype="u4,u4"), TypeError,
                          "Error occured with PyLong_Check\n"),
    "char-buffer": (memoryview(b"ab").cast("c"), TypeError, "Error occured with PyLong_Check\n"),
    "empty-float-buffer": (np.array([], dtype=np.float64), TypeError,
                           "Error occured with PyLong_Check\n"),
    "two-dimensional": (np.array([[1, 2], [3, 4]], dtype=np.uint64), TypeError, ""),
    "negative-in-list": ([1, -1], OverflowError, ""),
    "negative-in-generator": ((v for v in [1, -1]), OverflowError, ""),
    "negative-int64": (np.array([1, -1], dtype=np.int64), OverflowError, ""),
    "negative-int8": (np.array([-128], dtype=np.int8), OverflowError, ""),
    "past-2-64": (range(2**64, 2**64 + 1), OverflowError, ""),
    "total-wraps-in-list": ([2**64 - 1, 1], OverflowError, "Error occured, overflow on input\n"),
    "total-wraps-in-tuple": ((2**63, 2**63), OverflowError, "Error occured, overflow on input\n"),
    "total-wraps-in-uint64": (np.array([2**63, 2**63], dtype=np.uint64), OverflowError,
                              "Error occured, overflow on input\n"),
    "total-wraps-in-big-endian": (np.array([2**63, 2**62, 2**62], dtype=">u8"), OverflowError,
                                  "Error occured, overflow on input\n"),
    "result-too-large": ([2**62], MemoryError, ""),
}


@pytest.mark.usefixtures("killswitch")
@pytest.mark.parametrize("arg, exc, message", ERRORS.values(), ids=ERRORS.keys())
def test_bad_values_are_refused_with_the_errors_of_the_list_call(capfd, arg, exc, message):
    with pytest.raises(exc):
        zox.complete_subset_sum_array(arg)
    assert capfd.readouterr().out == message


def test_iteration_errors_pass_through(killswitch):
    def failing():
        yield 1
        raise ValueError("from the generator")

    with pytest.raises(ValueError, match="from the generator"):
        zox.complete_subset_sum_array(failing())


def test_failed_solve_raises_connection_error_after_its_line(capfd, monkeypatch):
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
    monkeypatch.setenv("ZO_SERVICE_URL", f"https://127.0.0.1:{closed_port()}")
    with pytest.raises(ConnectionError) as info:
        zox.complete_subset_sum_array(np.array([3, 5], dtype=np.uint64))
    assert capfd.readouterr().out.endswith(f"Error occured {info.value}\n")


# Ctrl-C while the solve waits on the service; the service then answers, so the abandoned solve
# writes into the array and gives it back while the interpreter still runs.
INTERRUPTED_CHILD = textwrap.dedent(
    """
    import sys, time, zox
    print("solving", flush=True)
    try:
        zox.complete_subset_sum_array([3, 5, 2**20])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()          # the service has answered the abandoned solve
    time.sleep(1)
    print("alive", flush=True)
    """
)


def test_ctrl_c_abandons_a_remote_array_solve(server_ssl_context, ca_bundle, monkeypatch):
    submitted, answer = threading.Event(), threading.Event()

    def held_submit(request):
        submitted.set()
        answer.wait(30)
        return json_reply({"message": "Service unavailable"}, 503)

    with ScriptedPeer(server_ssl_context, route(submit=held_submit, poll=held_submit)) as peer:
        aim_at(monkeypatch, peer, ca_bundle)
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD], env=dict(os.environ),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "solving\n"
            assert submitted.wait(20), "the child never reached the peer"
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline() == "interrupted\n"
            answer.set()
            out, err = child.communicate("\n", timeout=60)
        finally:
            answer.set()
            if child.poll() is None:
                child.kill()
                child.wait()
    assert child.returncode == 0, err
    assert out.endswith("alive\n"), out
    assert "Sanitizer" not in err and "Fatal Python error" not in err, err


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
    # One call into the module: with the lock held throughout, the counter could not move.
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
        solve(values)
        during = count[0] - before
    finally:
        stop.set()
        thread.join(60)
    assert during > 1000
