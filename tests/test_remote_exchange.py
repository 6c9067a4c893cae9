"""The submit-and-poll exchange against scripted TLS peers on loopback."""
import gzip
import random
import shutil
import subprocess
import threading
import time
import urllib.parse

import pytest

import zox
from clib import bind
from scripted_peer import (
    FLOOD,
    NOT_READY,
    POLL_PATH,
    SUBMIT_PATH,
    Reply,
    connection_error,
    flood_chunks,
    gzip_reply,
    json_reply,
    route,
    sequence,
    solving_script,
    unanswered,
)
from reference import le_words, sums_bitset


rng = random.Random(5)


@pytest.mark.parametrize(
    "values",
    [
        [3, 5],
        [],
        [0],
        [1, 1, 1],
        [64],
        [63, 1],
        [rng.randrange(500) for _ in range(12)],
        [600_000, 1, 2],
    ],
    ids=["3-5", "empty", "zero", "repeats", "total-64", "word-boundary", "random",
         "total-past-2^19"],
)
def test_result_matches_brute_force(serve, monkeypatch, capfd, values):
    monkeypatch.setenv("ZO_API_KEY", "k-123")
    peer = serve(solving_script())
    total = sum(values)
    assert zox.complete_subset_sum(values) == le_words(sums_bitset(values), total // 64 + 1)
    assert capfd.readouterr().out == ""
    submit, poll = peer.requests
    assert (submit.method, submit.path) == ("POST", SUBMIT_PATH)
    assert submit.body == ("[" + ",".join(map(str, values)) + "]").encode()
    assert submit.headers["x-api-key"] == "k-123"
    assert submit.headers["content-type"] == "application/json"
    assert (poll.method, poll.path) == ("GET", POLL_PATH + "?requestId=abc")
    assert poll.headers["x-api-key"] == "k-123"
    assert "content-type" not in poll.headers


def test_service_address_tolerates_a_trailing_slash(serve, monkeypatch):
    peer = serve(solving_script())
    monkeypatch.setenv("ZO_SERVICE_URL", peer.url + "/")
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert peer.paths() == [SUBMIT_PATH, POLL_PATH + "?requestId=abc"]


@pytest.mark.parametrize(
    "not_ready, extra_out",
    [
        ([NOT_READY, NOT_READY], ""),
        ([Reply(200, b'<?xml version="1.0" encoding="UTF-8"?><E/>'), NOT_READY],
         'Output is not expected binary, got <?xml version="1.0" encoding="UTF-8"?><E/>'),
    ],
    ids=["message-twice", "xml-then-message"],
)
def test_not_ready_answers_are_polled_again(serve, capfd, not_ready, extra_out):
    peer = serve(route(submit=json_reply({"requestId": "abc"}),
                       poll=sequence(*not_ready, gzip_reply(b"\x29\x01"))))
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert capfd.readouterr().out == extra_out + "Result not ready (23)\n" * 2
    assert len(peer.paths("GET")) == 3


def test_a_failed_poll_attempt_leaves_nothing_behind(serve, capfd):
    # The first attempt delivers bytes, then a not-ready piece; the second the real payload.
    stale = Reply(chunks=[b"\x1f\x8bstale bytes", b'{"message":"Result not ready"}'], pause=0.3)
    serve(route(submit=json_reply({"requestId": "abc"}),
                poll=sequence(stale, gzip_reply(b"\x29\x01"))))
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert capfd.readouterr().out == "Result not ready (23)\n"


@pytest.mark.parametrize(
    "submit_reply, message",
    [
        (json_reply({}), "Submit response has no requestId"),
        (json_reply({"status": "ok"}), "Submit response has no requestId"),
        (Reply(200, b"[1]"), "unexpected opening character to response ["),
        (Reply(500, b"<html>oops</html>"), "unexpected opening character to response <"),
        (Reply(200, b'{"requestId":"abc"}\n'), "Submit problem curl failed with 23"),
        (json_reply({"message": "Forbidden"}, 403), "Forbidden"),
        (json_reply({"message": "Quota exceeded"}, 429), "Quota exceeded"),
        (json_reply({"message": "q" * 300}), "q" * 127),
        (Reply(200, ('{"message":"%s"}' % ("é" * 100)).encode()), "é" * 63 + "\ufffd"),
    ],
    ids=["no-id", "other-keys-only", "not-an-object", "html-error-page", "byte-after-object",
         "forbidden", "service-message", "long-message-cut", "cut-inside-a-character"],
)
def test_submit_failures(serve, capfd, submit_reply, message):
    peer = serve(route(submit=submit_reply, poll=gzip_reply(b"\x29\x01")))
    assert connection_error([3, 5]) == message
    assert f"Failed with error: {message[:60]}" in capfd.readouterr().out
    assert peer.paths() == [SUBMIT_PATH], "polled after a failed submit"


def test_request_id_is_escaped_in_the_poll_address(serve):
    request_id = "a b&c/d?e=f%#+é"
    answer = Reply(200, ('{"requestId":"%s"}' % request_id).encode())
    peer = serve(route(submit=answer, poll=gzip_reply(b"\x29\x01")))
    assert zox.complete_subset_sum([3, 5]) == [297]
    (poll,) = peer.paths("GET")
    path, query = poll.split("?", 1)
    assert path == POLL_PATH
    assert urllib.parse.parse_qs(query) == {"requestId": [request_id]}
    assert " " not in query and "&" not in query.split("=", 1)[1]


# Each damage the unpacking refuses is in test_payload_decoding; here, each way it arrives, and
# the bits no set of values could give.
REFUSED_PAYLOADS = {
    "damaged-gzip": (gzip.compress(b"\x29\x01")[:-4], "Result payload could not be decoded"),
    "no-body": (b"", "Result payload could not be decoded"),
    "not-gzip": (b'{"result":[297]}', "Result payload could not be decoded"),
    "empty-bit-0-clear": (gzip.compress(b""), "Result payload is not a valid sum set"),
    "bits-above-total": (gzip.compress(b"\xff\xff"), "Result payload is not a valid sum set"),
    "not-symmetric": (gzip.compress(b"\x0b\x01"), "Result payload is not a valid sum set"),
    "values-missing": (gzip.compress(b"\x01\x01"), "Result payload is not a valid sum set"),
    "bit-above-total": (gzip.compress(b"\x29\x03"), "Result payload is not a valid sum set"),
    "bit-past-capacity": (gzip.compress(b"\x29\x01\x00\x01"),
                          "Result payload is not a valid sum set"),
}


@pytest.mark.parametrize("payload, message", REFUSED_PAYLOADS.values(), ids=REFUSED_PAYLOADS.keys())
def test_a_payload_that_cannot_be_the_result_is_refused(serve, capfd, payload, message):
    serve(route(submit=json_reply({"requestId": "abc"}), poll=Reply(200, payload)))
    with pytest.raises(ConnectionError) as raised:
        zox.complete_subset_sum([3, 5])
    assert (str(raised.value), raised.value.phase) == (message, "payload")
    assert f"Failed with error: {message}\n" in capfd.readouterr().out


@pytest.mark.parametrize("announce", [False, True], ids=["streamed", "announced-length"])
def test_download_is_bounded_by_the_capacity(serve, capfd, announce):
    flood = Reply(chunks=flood_chunks(), announce_length=FLOOD if announce else None)
    peer = serve(route(submit=json_reply({"requestId": "abc"}), poll=flood))
    assert connection_error([3, 5]) == "Submit problem curl failed with 42"
    assert "result fetch Curl failed with 42\n" in capfd.readouterr().out
    assert peer.client_hung_up.wait(30), "the peer was allowed to send everything"
    assert peer.bytes_sent < FLOOD


def test_incompressible_result_of_full_capacity_is_accepted(serve):
    # A large result whose bytes do not compress: the download bound must not reject it. Random
    # bits, mirrored about the middle, with bits 0 and total set: a set of sums it could be.
    total = 200_000 * 8 - 8  # capacity: exactly 25000 words
    half = random.Random(3).getrandbits(total // 2 + 1) | 1
    mirrored = int(bin(half)[2:].zfill(total // 2 + 1)[::-1], 2)  # bit i moves to total//2 - i
    raw = (half | mirrored << (total // 2)).to_bytes(200_000, "little")
    words = le_words(raw, len(raw) // 8)
    values = [total]
    serve(route(submit=json_reply({"requestId": "abc"}), poll=gzip_reply(raw)))
    assert zox.complete_subset_sum(values) == words


@pytest.mark.parametrize(
    "drop_first, connections, message",
    [(1, 2, None), (4, 5, None), (100, 5, "Submit problem curl failed with 35")],
    ids=["once", "four-times", "gives-up-after-five"],
)
def test_submit_is_retried_after_a_tls_connect_failure(serve, capfd, drop_first, connections,
                                                       message):
    peer = serve(solving_script(), drop_first=drop_first)
    if message is None:
        assert zox.complete_subset_sum([3, 5]) == [297]
        assert peer.paths("POST") == [SUBMIT_PATH]
        assert capfd.readouterr().out == ""
    else:
        assert connection_error([3, 5]) == message
        assert f"Failed with error: {message}\n" in capfd.readouterr().out
    assert peer.connections == connections  # the poll goes over the submit's connection


@pytest.fixture(scope="session")
def other_ca_bundle(tmp_path_factory):
    trustme = pytest.importorskip("trustme")
    path = tmp_path_factory.mktemp("other-ca") / "ca.pem"
    trustme.CA().cert_pem.write_to_path(str(path))
    return str(path)


@pytest.mark.parametrize("trust", ["other-ca", "system", "wrong-host"])
def test_certificate_and_host_are_verified(serve, monkeypatch, lib, other_ca_bundle, trust):
    if trust == "wrong-host":
        peer = serve(solving_script(), host="127.0.0.3")  # not a name on the certificate
    else:
        peer = serve(solving_script())
    if trust == "other-ca":
        monkeypatch.setenv("ZO_CA_BUNDLE", other_ca_bundle)
    elif trust == "system":
        monkeypatch.delenv("ZO_CA_BUNDLE")
        if bind(lib)._curl_ca_location() is None:
            pytest.skip("no system certificate bundle on this machine")
    assert connection_error([3, 5]) == "Submit problem curl failed with 60"
    assert peer.requests == []


def test_missing_ca_bundle_fails_before_any_traffic(serve, monkeypatch, capfd, tmp_path):
    peer = serve(solving_script())
    monkeypatch.setenv("ZO_CA_BUNDLE", str(tmp_path / "missing.pem"))
    assert connection_error([3, 5]) == "Couldn't find ca cert"
    assert "Failed with error: Couldn't find ca cert\n" in capfd.readouterr().out
    assert peer.connections == 0


def test_ca_directory_is_trusted_as_a_directory(serve, monkeypatch, tmp_path, ca_bundle):
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("openssl is needed to hash the certificate directory")
    shutil.copy(ca_bundle, tmp_path / "test-ca.pem")
    subprocess.run([openssl, "rehash", str(tmp_path)], check=True, capture_output=True)
    serve(solving_script())
    monkeypatch.setenv("ZO_CA_BUNDLE", str(tmp_path))
    assert zox.complete_subset_sum([3, 5]) == [297]


@pytest.mark.slow
def test_poll_gives_up_after_sixty_not_ready_answers(serve, capfd):
    peer = serve(route(submit=json_reply({"requestId": "abc"}),
                       poll=json_reply({"message": "Unknown requestId"}, 404)))
    with pytest.raises(ConnectionError) as raised:
        zox.complete_subset_sum([3, 5])
    error = raised.value
    assert str(error) == "Submit problem curl failed with 23"
    assert (error.phase, error.not_ready_polls, error.service_message) == (
        "poll", 60, "Unknown requestId")
    assert error.__notes__ == [
        "the result poll gave up after 60 not-ready answers; last answer: Unknown requestId"]
    out = capfd.readouterr().out
    assert out.startswith("Result not ready (23)\n" * 60 + "Failed with error: Submit problem curl failed with 23\n")
    assert len(peer.paths("GET")) == 60


GONE = json_reply({"message": "the solve failed: out of memory"}, 410)


@pytest.mark.parametrize(
    "poll, outcome, polls, out",
    [
        (GONE, "the solve failed: out of memory", 1, ""),
        (sequence(NOT_READY, GONE), "the solve failed: out of memory", 2, "Result not ready (23)\n"),
        (Reply(410, b"gone"), "Result is gone (HTTP 410)", 1, ""),
        (sequence(json_reply({"message": "no solver is running"}, 503), gzip_reply(b"\x29\x01")),
         [297], 2, "Result not ready (23)\n"),
    ],
    ids=["gone-at-once", "gone-after-not-ready", "gone-without-message", "other-status-not-ready"],
)
def test_only_a_410_answer_ends_the_poll_at_once(serve, capfd, poll, outcome, polls, out):
    peer = serve(route(submit=json_reply({"requestId": "abc"}), poll=poll))
    if isinstance(outcome, list):
        assert zox.complete_subset_sum([3, 5]) == outcome
    else:
        with pytest.raises(ConnectionError) as raised:
            zox.complete_subset_sum([3, 5])
        assert (str(raised.value), raised.value.phase, raised.value.curl_code) == (
            outcome, "poll", None)
        out += f"Failed with error: {outcome}\n"
    assert capfd.readouterr().out.startswith(out)
    assert len(peer.paths("GET")) == polls


# Counted and ordered rather than timed at the peer, whose readings of the clock lag under load:
# within its deadline the client fits at most one attempt a second (or one per attempt, when they
# take longer), and after an answer held back for a while it does not wait a whole second more.
@pytest.mark.parametrize("hold", [0.0, 0.6, 1.3],
                         ids=["answered-at-once", "held-under-a-second", "held-past-a-second"])
def test_poll_attempts_start_a_second_apart(serve, monkeypatch, hold):
    deadline = 2.5
    starts, answers = [], []

    def held_not_ready(request):
        starts.append(time.monotonic())
        time.sleep(hold)
        answers.append(time.monotonic())
        return NOT_READY

    monkeypatch.setenv("ZO_TIMEOUT", str(deadline))
    serve(route(submit=json_reply({"requestId": "abc"}), poll=held_not_ready))
    with pytest.raises(zox.SolveError) as raised:
        zox.complete_subset_sum([3, 5])
    assert raised.value.timed_out
    assert 1 <= len(starts) <= int(deadline / max(1.0, hold)) + 1, len(starts)
    if hold:
        # A client that waited a second after each answer would wait at least that long here.
        assert min(b - a for a, b in zip(answers, starts[1:])) < 0.9


# After a first solve leaves its connection open, the next submit (or poll) meets a peer that
# closes it before answering: cut before the body was read, or after the whole request was.
KEPT_CONNECTION_CASES = {
    "poll-closed": ("GET", "after-request", [3, 5], [297], 2),
    "submit-cut-inside-its-body": ("POST", "after-head", [0] * 2_000_000 + [3, 5], [297], 2),
    "submit-closed-once-taken": ("POST", "after-request", [3, 5], [297], 2),
}


@pytest.mark.parametrize("method, cut, values, outcome, sent", KEPT_CONNECTION_CASES.values(),
                         ids=KEPT_CONNECTION_CASES.keys())
def test_a_closed_kept_connection_costs_at_most_one_more_attempt(serve, method, cut, values,
                                                                 outcome, sent):
    solving, armed = solving_script(), threading.Event()

    def take_cut(request):
        if armed.is_set() and request.method == method:
            armed.clear()
            return True
        return False

    def script(request):
        if cut == "after-request" and take_cut(request):
            unanswered(request)
        return solving(request)

    peer = serve(script)
    if cut == "after-head":
        peer.cut_on_head = take_cut
    assert zox.complete_subset_sum([3, 5]) == [297]  # leaves its connection open
    armed.set()
    assert zox.complete_subset_sum(values) == outcome
    assert len(peer.paths(method)) == 1 + sent
