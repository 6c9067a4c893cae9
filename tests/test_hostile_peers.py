"""The remote client against peers that stall, lie or break off: every call ends by its deadline,
no payload that cannot be a sum set is returned, and the error says what happened. Also the
connection reuse and the settings read once per call."""
import ctypes
import os
import random
import threading
import time

import pytest

import zox
from clib import libc  # noqa: F401  (the C allocator, loaded before the routines are bound)
from reference import sums_bitset
from scripted_peer import (
    Reply,
    aim_at,
    closed_port,
    gzip_reply,
    json_reply,
    route,
    solving_script,
    unanswered,
)

ACCEPTED = json_reply({"requestId": "abc"})


def trickle(piece, pause):
    return Reply(chunks=(piece for _ in range(400)), pause=pause)


def failure_of(values, method):
    """The ConnectionError of a sync solve, or what the async callback got (None) and the time."""
    if method == "sync":
        with pytest.raises(ConnectionError) as info:
            zox.complete_subset_sum(values)
        return info.value
    done = threading.Event()
    got = []
    zox.complete_subset_sum_async(values, lambda r: (got.append(r), done.set()))
    assert done.wait(30), "the async solve never ended"
    assert got == [None]
    return None


DEADLINE_CASES = {
    # A submit answer of "{}" every 0.3 s: each piece is a whole object, so only the deadline ends it.
    "trickled-submit": (route(submit=trickle(b"{}", 0.3), poll=gzip_reply(b"\x29\x01")),
                        "submit", None),
    "paused-submit": (route(submit=lambda r: (time.sleep(20), ACCEPTED)[1],
                            poll=gzip_reply(b"\x29\x01")), "submit", None),
    "unknown-request-id": (route(submit=ACCEPTED,
                                 poll=json_reply({"message": "Unknown requestId"}, 404)),
                           "poll", "Unknown requestId"),
    "trickled-poll": (route(submit=ACCEPTED, poll=trickle(b"\x1f", 0.3)), "poll", None),
}


@pytest.mark.parametrize("method", ["sync", "async"])
@pytest.mark.parametrize("script, phase, last_answer", DEADLINE_CASES.values(),
                         ids=DEADLINE_CASES.keys())
def test_every_call_ends_by_its_deadline(serve, monkeypatch, capfd, method, script, phase,
                                         last_answer):
    serve(script)
    monkeypatch.setenv("ZO_TIMEOUT", "0.6")
    started = time.monotonic()
    error = failure_of([3, 5], method)
    took = time.monotonic() - started
    assert took < 8, f"the call took {took:.1f} s with a 0.6 s deadline"
    message = "Solve did not finish within ZO_TIMEOUT (0.6 s)"
    assert f"Failed with error: {message}\n" in capfd.readouterr().out
    if error is None:
        return
    assert str(error) == message
    assert (error.phase, error.timed_out, error.service_message) == (phase, True, last_answer)
    (note,) = error.__notes__
    assert note.startswith("the deadline passed d" if phase == "submit" else "the deadline passed")
    if last_answer:
        assert note.endswith(f"last answer: {last_answer}")


@pytest.mark.parametrize(
    "value, accepted",
    [("0", False), ("-1", False), ("abc", False), ("nan", False), ("inf", False),
     ("1e300", True), (" 7.5 ", True), ("300", True)],
)
def test_timeout_must_be_a_positive_number_of_seconds(serve, monkeypatch, value, accepted):
    peer = serve(solving_script())
    monkeypatch.setenv("ZO_TIMEOUT", value)
    if accepted:
        assert zox.complete_subset_sum([3, 5]) == [297]
        return
    error = failure_of([3, 5], "sync")
    assert str(error) == "[Local failure] ZO_TIMEOUT is not a positive number of seconds"
    assert error.phase == "prepare" and peer.connections == 0, "failed after traffic"


ERROR_CASES = {
    "poll-cut-off": (route(submit=ACCEPTED, poll=unanswered), 52, "poll",
                     "the result poll failed; curl error 52: "),
    "refused": (None, 7, "submit", "the submit failed; curl error 7: "),
    # Pieces that each end inside a value pass the scanner: only the size bound stops them.
    "oversized-submit-answer": (route(submit=Reply(chunks=[b'{"a":"' + b"x" * 8000] * 40),
                                      poll=gzip_reply(b"\x29\x01")),
                                42, "submit", "the submit failed; its answer grew past 65536 bytes"),
}


@pytest.mark.parametrize("script, code, phase, note_start", ERROR_CASES.values(),
                         ids=ERROR_CASES.keys())
def test_errors_say_what_happened(serve, monkeypatch, ca_bundle, capfd, lib, script, code, phase,
                                  note_start):
    lib.curl_easy_strerror.restype = ctypes.c_char_p
    curl_message = lib.curl_easy_strerror(code).decode()  # curl's words vary by its version
    if script is None:
        aim_at(monkeypatch, f"https://127.0.0.1:{closed_port()}", ca_bundle)
    else:
        serve(script)
    error = failure_of([3, 5], "sync")
    assert str(error) == f"Submit problem curl failed with {code}", "the specified text is kept"
    assert (error.phase, error.curl_code, error.curl_message) == (phase, code, curl_message)
    assert error.__notes__[0].startswith(note_start) and curl_message in error.__notes__[0]
    assert f"Failed with error: Submit problem curl failed with {code}\n" in capfd.readouterr().out


def test_consecutive_solves_share_one_connection(serve, monkeypatch, tmp_path):
    peer = serve(solving_script())
    for _ in range(10):
        assert zox.complete_subset_sum([3, 5]) == [297]
    assert len(peer.requests) == 20
    assert peer.connections == 1, "each solve made its own TLS connection"
    # A connection verified against one bundle is never reused for a call that trusts another.
    other = tmp_path / "other-ca.pem"
    pytest.importorskip("trustme").CA().cert_pem.write_to_path(str(other))
    monkeypatch.setenv("ZO_CA_BUNDLE", str(other))
    assert str(failure_of([3, 5], "sync")) == "Submit problem curl failed with 60"
    assert len(peer.requests) == 20


@pytest.mark.parametrize("seed", range(6))
def test_sum_set_check_agrees_with_its_definition(lib, seed):
    """zo_sum_set_is_valid against the rule written out bit by bit, on sum sets, sum sets with one
    bit flipped, and outputs too short to hold the total."""
    check = lib.zo_sum_set_is_valid
    check.restype = ctypes.c_int
    check.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_uint64]
    rng = random.Random(seed)

    def by_definition(bits, total, held):
        held_bits = 64 * held
        if bits & 1 == 0 or bits >> (total + 1):
            return False
        if total < held_bits and not bits >> total & 1:
            return False
        return all(bits >> s & 1 == bits >> (total - s) & 1
                   for s in range(min(total, held_bits - 1) + 1) if total - s < held_bits)

    for _ in range(40):
        values = [rng.randrange(1, 200) for _ in range(rng.randrange(0, 6))]
        total = sum(values)
        bits = int.from_bytes(sums_bitset(values), "little")
        if rng.random() < 0.6:
            bits ^= 1 << rng.randrange(total + 65)
        held = total // 64 + 1 if rng.random() < 0.7 else rng.randrange(1, total // 64 + 2)
        raw = bits.to_bytes(max(1, (bits.bit_length() + 7) // 8), "little")
        assert bool(check(raw, len(raw), held, total)) == by_definition(bits, total, held), (
            values, bits, held)


def test_environment_rewritten_meanwhile(serve, monkeypatch):
    """A thread rewrites os.environ (the kill switch among it) while 100 remote and local solves
    run, synchronous and asynchronous: every solve is right and nothing crashes."""
    serve(solving_script())
    stop = threading.Event()

    def rewrite():
        i = 0
        while not stop.is_set():
            os.environ[f"ZO_TEST_FILLER_{i % 64}"] = "x" * (i % 200)
            os.environ["ZO_KILLSWITCH"] = "1" if i % 2 else "0"
            if i % 64 == 63:
                for k in range(64):
                    os.environ.pop(f"ZO_TEST_FILLER_{k}", None)
            i += 1

    values = [3, 5, 9]
    expected = zox.complete_subset_sum(values)
    results, done = [], threading.Semaphore(0)
    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for i in range(50):
            results.append(zox.complete_subset_sum(values))
            zox.complete_subset_sum_async(values, lambda r: (results.append(r), done.release()))
        for _ in range(50):
            assert done.acquire(timeout=30), "an async solve never ended"
    finally:
        stop.set()
        writer.join()
        for k in range(64):
            os.environ.pop(f"ZO_TEST_FILLER_{k}", None)
        monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
    assert results == [expected] * 100
