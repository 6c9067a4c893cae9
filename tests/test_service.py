"""The solving service, spoken to over real HTTPS on loopback."""
import json
import os
import re
import shutil
import signal
import socket
import ssl
import time

import pytest

from service_fixture import SERVICE_KEY
from reference import bits_of

SUBMIT = "/v0/app/sspu"
NOT_READY = b'{"message":"Result not ready"}'


def client_message(body):
    """The message as the client's scanner reads it: up to the first '"', ',' or '}' and at most
    127 characters. Fails unless the scanner gets the whole text."""
    assert body.startswith(b'{"message":"') and body.endswith(b'"}'), body
    text = body[len(b'{"message":"'):-2].decode("ascii")
    assert text and len(text) <= 127 and not set(text) & set('",}\\'), text
    assert json.loads(body) == {"message": text}
    return text


def test_submit_answer_is_one_compact_object_without_trailing_bytes(service):
    status, headers, body = service.request("POST", SUBMIT, b"[3,5]")
    assert status == 200
    assert re.fullmatch(rb'\{"requestId":"[0-9a-f]{32}"\}', body), body
    assert int(headers["Content-Length"]) == len(body)
    assert headers["Content-Type"] == "application/json"


@pytest.mark.parametrize("status, text, retry_after, close", [
    (404, "Unknown requestId", None, False), (503, "Service busy: x; retry in 5 s", 5, False),
    (408, 'a "quoted", {text}\\', None, True), (410, "\u00e9" * 200, 30, True),
], ids=["plain", "retry-after", "forbidden-characters-closing", "long-text-both-headers"])
def test_answers_sent_without_a_response_object_are_its_bytes(status, text, retry_after, close):
    from starlette.responses import Response
    from zox_service.http.service import answer, message, message_answer

    sent = message(status, text, retry_after, close)
    assert message_answer(status, text, retry_after, close) == \
        (sent.status_code, tuple(sent.raw_headers), sent.body)
    payload = b"\x1f\x8b" + bytes(99)
    sent = Response(payload, 200, media_type="application/gzip")
    assert answer(200, payload, b"application/gzip") == (200, tuple(sent.raw_headers), payload)


@pytest.mark.parametrize("method, path, keys, status", [
    ("POST", SUBMIT, ["wrong"], 403),
    ("POST", SUBMIT, [], 403),
    ("POST", SUBMIT, [""], 403),
    ("GET", "/v0/result?requestId=" + "0" * 32, ["wrong"], 403),
    # Which of two keys counts is not a question the service answers.
    ("POST", SUBMIT, [SERVICE_KEY, "wrong"], 400),
    ("POST", SUBMIT, ["wrong", SERVICE_KEY], 400),
    ("GET", "/v0/result?requestId=" + "0" * 32, [SERVICE_KEY, SERVICE_KEY], 400),
], ids=["submit-wrong-key", "submit-no-key", "submit-empty-key", "poll-wrong-key",
        "submit-two-keys-good-first", "submit-two-keys-good-last", "poll-key-twice"])
def test_a_request_needs_exactly_one_accepted_key(service, method, path, keys, status):
    conn = service.connection()
    try:
        conn.putrequest(method, path)
        for key in keys:
            conn.putheader("x-api-key", key)
        conn.putheader("Content-Length", "5" if method == "POST" else "0")
        conn.endheaders(b"[3,5]" if method == "POST" else None)
        r = conn.getresponse()
        answer = (r.status, r.read())
    finally:
        conn.close()
    assert answer == (status, b'{"message":"Forbidden"}' if status == 403 else
                      b'{"message":"Send one x-api-key header"}')


GUESSES = [(f"guess{i}", None) for i in range(20)]
# Requests from one address, then the last one and its status. The service believes
# X-Forwarded-For only from the proxies its option names.
WRONG_KEYS = {
    "guesses-slow-their-address": ([], GUESSES, ("guess20", None), 503),
    "a-key-accepted-before-passes": ([], [(SERVICE_KEY, None)] + GUESSES, (SERVICE_KEY, None), 200),
    "a-known-wrong-key-stays-wrong": ([], GUESSES, ("guess3", None), 403),
    "a-new-key-waits-for-the-window": ([], GUESSES, (SERVICE_KEY, None), 503),
    "one-stale-key-repeated-is-no-guessing": ([], [("stale", None)] * 30, (SERVICE_KEY, None), 200),
    "forwarded-address-ignored-unless-trusted": (
        [], [(k, f"10.0.0.{i}") for i, (k, _) in enumerate(GUESSES)], ("guess20", "10.0.1.1"), 503),
    "trusted-proxy-forwards-each-clients-address": (
        ["--forwarded-allow-ips", "127.0.0.1"], [(k, "10.0.0.1") for k, _ in GUESSES],
        (SERVICE_KEY, "10.0.0.2"), 200),
}


@pytest.mark.parametrize("args, before, last, status", WRONG_KEYS.values(), ids=WRONG_KEYS)
def test_wrong_keys_slow_the_guesser_never_a_valid_key(start_service, args, before, last, status):
    s = start_service("--api-key", SERVICE_KEY, *args)
    try:
        def ask(key, forwarded):
            headers = {"X-Forwarded-For": forwarded} if forwarded else {}
            return s.request("POST", SUBMIT, b"[1]", key=key, headers=headers)
        for key, forwarded in before:
            assert ask(key, forwarded)[0] in (200, 403)
        got, headers, body = ask(*last)
    finally:
        s.stop()
    assert got == status, body
    if status == 503:
        assert headers["Retry-After"] == "10" and b"wrong keys" in body


MALFORMED = {
    "not-json": b"hello",
    "empty-body": b"",
    "object": b'{"values":[1]}',
    "string": b'"[1,2]"',
    "number": b"5",
    "negative": b"[1,-2]",
    "float": b"[1.5]",
    "float-integral": b"[2.0]",
    "exponent": b"[1e3]",
    "boolean": b"[true]",
    "boolean-among-numbers": b"[1,false,3]",
    "null": b"[null]",
    "string-item": b'["3"]',
    "nested": b"[[1]]",
    "nan": b"[NaN]",
    "trailing-comma": b"[1,]",
    "two-documents": b"[1][2]",
    "deep-nesting": b"[" * 100000,
    "bad-utf8": b"[1,\xff]",
}


@pytest.mark.parametrize("body", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_body_gets_a_message_the_client_can_read(service, body):
    status, _, answer = service.request("POST", SUBMIT, body)
    assert status == 400
    client_message(answer)


@pytest.mark.parametrize("query", [
    "requestId=" + "0123456789abcdef" * 2, "requestId=abc", "requestId=../../etc", "",
    "requestId=" + "0" * 32 + "&requestId=" + "1" * 32,
], ids=["never-issued", "short", "not-hex", "missing", "twice"])
def test_unknown_request_id_is_a_message_never_a_payload(service, query):
    status, _, body = service.request("GET", "/v0/result?" + query)
    # The client treats any body that does not open with these ten bytes as the result payload.
    assert status == 404 and body[:10] == b'{"message"'
    assert client_message(body) == "Unknown requestId"


# Each body, its status, and what its message must say.
LIMITED = {
    "within-limits": (json.dumps([1000, 1000]).encode(), 200, ""),
    "too-many-values": (json.dumps([1] * 9).encode(), 413, ""),
    "total-too-large": (json.dumps([3000, 2001]).encode(), 413, ""),
    "work-too-large": (json.dumps([0] * 3 + [1000] * 5).encode(), 413, "8 values (5 non-zero)"),
    "zeros-add-no-work": (json.dumps([0] * 6 + [1000] * 2).encode(), 200, ""),
    "value-past-64-bits": (json.dumps([2**64]).encode(), 413, ""),
    "huge-literal": (b"[" + b"9" * 250 + b"]", 413, "250 digits"),
    "body-too-large": (b"[1" + b" " * 300 + b"]", 413, ""),
}


@pytest.mark.parametrize("body, status, says", LIMITED.values(), ids=LIMITED.keys())
def test_limits_answer_with_a_message(small_service, body, status, says):
    got, _, answer = small_service.request("POST", SUBMIT, body)
    assert got == status, answer
    if status != 200:
        assert says in client_message(answer)


WITNESS_LIMITED = {
    "past-the-complete-solves-limits": ([10**6] * 3, 10**6, 200),
    "huge-values-an-easy-target": ([10**15 + i for i in range(100)], 2 * 10**15 + 1, 200),
    "values-past-the-witness-bytes": ([1] * 100_000, 10, 413),
    "total-past-64-bits": ([2**63, 2**63], 1, 413),
}


@pytest.mark.parametrize("values, target, status", WITNESS_LIMITED.values(), ids=WITNESS_LIMITED)
def test_witness_jobs_are_admitted_by_the_searchs_own_needs(start_service, values, target,
                                                            status):
    s = start_service("--api-key", SERVICE_KEY, "--max-total", "5000", "--max-work", "200",
                      "--max-witness-bytes", str(16 * 2**20))
    try:
        got, _, answer = s.request("POST", f"/v0/app/subset?target={target}",
                                   json.dumps(values).encode())
    finally:
        s.stop()
    assert got == status, answer
    if status != 200:
        client_message(answer)


@pytest.mark.parametrize("length, status", [
    (str(10**12), 413), ("\u00b2", 400), ("-5", 400), ("abc", 400), ("1e3", 400),
], ids=["too-large", "superscript-digit", "negative", "not-a-number", "exponent"])
def test_announced_length_is_judged_before_the_body_is_sent(small_service, length, status):
    conn = small_service.connection()
    try:
        conn.putrequest("POST", SUBMIT)
        conn.putheader("x-api-key", SERVICE_KEY)
        conn.putheader("Content-Length", length)
        conn.endheaders()
        r = conn.getresponse()
        assert r.status == status
        client_message(r.read())
    finally:
        conn.close()


def test_body_without_length_is_refused(service):
    conn = service.connection()
    try:
        conn.request("POST", SUBMIT, body=iter([b"[3,5]"]), encode_chunked=True,
                     headers={"x-api-key": SERVICE_KEY, "Transfer-Encoding": "chunked"})
        r = conn.getresponse()
        assert r.status == 411
        client_message(r.read())
    finally:
        conn.close()


def _read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        assert chunk, data
        data += chunk
    return data


@pytest.mark.parametrize("version, hosts, status", [
    (b"1.1", b"", b"400"), (b"1.1", b"Host: localhost\r\nHost: localhost\r\n", b"400"),
    (b"1.1", b"Host: localhost\r\nHost: evil.example\r\n", b"400"), (b"1.0", b"", b"200"),
], ids=["none", "two-same", "two-different", "http-1.0-none"])
def test_request_without_exactly_one_host_is_refused(service, version, hosts, status):
    ctx = ssl.create_default_context(cafile=service.ca_bundle)
    with socket.create_connection(("127.0.0.1", service.port), timeout=30) as raw, \
            ctx.wrap_socket(raw, server_hostname="localhost") as s:
        s.sendall(b"GET /healthz HTTP/" + version + b"\r\n" + hosts + b"\r\n")
        head = _read_head(s)
    assert head.startswith(b"HTTP/1.1 " + status + b" "), head


@pytest.mark.parametrize("length, first_line", [
    (5, b"HTTP/1.1 100 Continue"), (10**9, b"HTTP/1.1 413 "),
], ids=["continue", "refused-at-once"])
def test_submit_announcing_expect_continue(small_service, length, first_line):
    # curl announces large bodies this way and waits for the answer before sending them.
    ctx = ssl.create_default_context(cafile=small_service.ca_bundle)
    with socket.create_connection(("127.0.0.1", small_service.port), timeout=30) as raw, \
            ctx.wrap_socket(raw, server_hostname="localhost") as s:
        s.sendall(b"POST /v0/app/sspu HTTP/1.1\r\nHost: localhost\r\nx-api-key: "
                  + SERVICE_KEY.encode() + b"\r\nContent-Length: " + str(length).encode()
                  + b"\r\nExpect: 100-continue\r\n\r\n")
        head = _read_head(s)
        assert head.startswith(first_line), head
        if length == 5:
            s.sendall(b"[3,5]")
            rest = head.split(b"\r\n\r\n", 1)[1]
            while not rest.endswith(b"}"):
                chunk = s.recv(4096)
                assert chunk, rest
                rest += chunk
            assert b"HTTP/1.1 200 " in rest and b'{"requestId":"' in rest


@pytest.mark.parametrize("args, env, accepted, refused", [
    (("--api-key", "alpha", "--api-key", "beta"), {}, ["alpha", "beta"], ["gamma", False]),
    ((), {"ZO_SERVICE_API_KEYS": " alpha, beta ,"}, ["alpha", "beta"], ["gamma", "", False]),
    (("--api-key", "alpha"), {"ZO_SERVICE_API_KEYS": "beta"}, ["alpha"], ["beta"]),
    ((), {}, ["anything", "", False], []),
], ids=["options", "environment", "option-wins", "none-configured"])
def test_accepted_keys(start_service, args, env, accepted, refused):
    s = start_service(*args, env={**os.environ, **env})
    for key in accepted:
        assert bits_of(s.fetch(s.submit([2, 3], key=key), key=key)) == {0, 2, 3, 5}
    for key in refused:
        status, _, body = s.request("POST", SUBMIT, b"[1]", key=key)
        assert (status, body) == (403, b'{"message":"Forbidden"}')
    assert ("warning" in "".join(s.stderr)) == (not refused)


def test_result_belongs_to_its_key_and_once_expired_is_gone_for_good(start_service):
    s = start_service("--api-key", "alpha", "--api-key", "beta", "--delivered-ttl", "0.5")
    request_id = s.submit([4], key="alpha")
    status, _, body = s.request("GET", f"/v0/result?requestId={request_id}", key="beta")
    assert (status, client_message(body)) == (404, "Unknown requestId")
    assert bits_of(s.fetch(request_id, key="alpha")) == {0, 4}
    time.sleep(1.5)
    status, _, body = s.request("GET", f"/v0/result?requestId={request_id}", key="alpha")
    assert (status, client_message(body)) == (
        410, "the job was lost by the store or its result expired; submit it again")


def test_front_end_without_a_live_solver_refuses_work(start_service, redis_url):
    s = start_service("--api-key", SERVICE_KEY, "--redis", redis_url, "--workers", "0")
    status, headers, body = s.request("POST", SUBMIT, b"[3,5]")
    assert (status, body) == (503, b'{"message":"no solver is running"}')
    assert int(headers["Retry-After"]) > 0


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")
def test_development_certificate_is_trusted_for_localhost(start_service, tmp_path):
    s = start_service("--api-key", SERVICE_KEY, "--cert-dir", str(tmp_path), dev_cert=True)
    assert s.ca_bundle.startswith(str(tmp_path))
    for host in ("localhost", "127.0.0.1"):
        assert s.submit([1, 2], host=host)
    first = open(s.ca_bundle, "rb").read()
    s.stop()
    again = start_service("--api-key", SERVICE_KEY, "--cert-dir", str(tmp_path), dev_cert=True)
    assert open(again.ca_bundle, "rb").read() == first  # made once, reused
    again.stop()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL],
                         ids=["SIGTERM", "SIGINT", "SIGKILL"])
def test_stops_cleanly_on_signal_and_takes_its_edge_along(start_service, sig):
    s = start_service("--api-key", SERVICE_KEY)
    s.fetch(s.submit([1]))
    s.signal(sig)
    assert s.proc.wait(timeout=30) == (-9 if sig == signal.SIGKILL else 0)
    if sig != signal.SIGKILL:
        assert "zox_service stopping\n" in s.stdout
    deadline = time.monotonic() + 10
    while True:  # nobody listens on the port any more, killed or not
        try:
            socket.create_connection(("127.0.0.1", s.port), timeout=1).close()
        except ConnectionRefusedError:
            break
        assert time.monotonic() < deadline, "the edge outlived the service"
        time.sleep(0.1)


def test_stops_when_its_edge_is_gone(start_service):
    s = start_service("--api-key", SERVICE_KEY)
    with open(f"/proc/{s.proc.pid}/task/{s.proc.pid}/children") as f:
        os.kill(int(f.read().split()[0]), signal.SIGKILL)  # nginx, its one child
    assert s.proc.wait(timeout=30) == 2
    assert "the edge (nginx) exited" in "".join(s.stderr)
    with pytest.raises(ConnectionRefusedError):  # its workers went too
        socket.create_connection(("127.0.0.1", s.port), timeout=5)


@pytest.mark.parametrize("args, says", [
    (("--workers", "0"), "--workers 0 needs --redis"),
    (("--redis", "redis://127.0.0.1:1"), "cannot use Redis at redis://127.0.0.1:1"),
    (("worker",), "a worker needs --redis"),
    (("worker", "--redis", "redis://127.0.0.1:1"), "cannot use Redis at redis://127.0.0.1:1"),
    (("--port", "{busy}"), "cannot listen on 127.0.0.1:"),
], ids=["front-end-that-cannot-solve", "unreachable-redis", "worker-without-redis",
        "worker-unreachable-redis", "port-in-use"])
def test_refuses_to_start_with_a_clear_reason(server_cert_files, args, says):
    import subprocess
    import sys

    from service_fixture import REPO

    cert, key = server_cert_files
    busy = socket.create_server(("127.0.0.1", 0))
    args = tuple(a.format(busy=busy.getsockname()[1]) for a in args)
    if args[0] != "worker":
        args = ("--port", "0", "--cert", cert, "--key", key, *args)
    r = subprocess.run([sys.executable, "-m", "zox_service", *args],
                       cwd=REPO, env={**os.environ, "PYTHONPATH": str(REPO)},
                       capture_output=True, text=True, timeout=60)
    busy.close()
    assert r.returncode == 2 and says in r.stderr, r.stderr


def test_health_and_metrics_tell_an_operator_what_happened(service):
    service.fetch(service.submit([2, 9]))
    service.request("POST", SUBMIT, b"[1]", key="wrong")
    status, _, body = service.request("GET", "/healthz", key=False)
    assert (status, json.loads(body)) == (
        200, {"status": "ok", "store": {"reachable": True, "writable": True}})
    status, headers, body = service.request("GET", "/metrics", key=False)
    text = body.decode()
    assert status == 200 and headers["Content-Type"].startswith("text/plain")
    for needed in ['zox_requests_total{route="submit",status="200"}',
                   'zox_requests_total{route="submit",status="403"}',
                   'zox_solves_total{outcome="done"}', "zox_solve_seconds_count",
                   "zox_queue_depth", "# TYPE zox_refusals_total counter",
                   "# TYPE zox_connections_cut_total counter"]:
        assert needed in text, needed
