"""Redirects on the result poll, against scripted TLS peers on 127.0.0.1 and 127.0.0.2: how far
they are followed, where they may lead, and who gets to see the key."""
import gzip

import pytest

import zox
from scripted_peer import (
    FLOOD,
    NOT_READY,
    POLL_PATH,
    PlainListener,
    Reply,
    ScriptedPeer,
    aim_at,
    connection_error,
    flood_chunks,
    gzip_reply,
    json_reply,
    route,
    sequence,
)

KEY = "k-redirect-7"
POLL = POLL_PATH + "?requestId=abc"
BLOB = "/blobs/abc"
RESULT = gzip_reply(b"\x29\x01")  # the sums of [3, 5]


def moved(location, status=302, body=b"", **kwargs):
    return Reply(status, body, {"Location": location}, **kwargs)


def service(poll, other=None):
    """The service's script: the submit answers with an id, the poll (and the rest) as given."""
    return route(submit=json_reply({"requestId": "abc"}), poll=poll, other=other)


@pytest.fixture
def start_peer(server_ssl_context):
    """Starts scripted peers (stopped after the test). The script may be set later."""
    peers = []

    def start(script=None, host="127.0.0.1", port=0):
        peer = ScriptedPeer(server_ssl_context, script or (lambda r: Reply(404)), host=host,
                            port=port).__enter__()
        peers.append(peer)
        return peer

    yield start
    for peer in peers:
        peer.__exit__(None, None, None)


@pytest.fixture
def keyed(monkeypatch, ca_bundle):
    """Aims the client, with the key set, at a service peer."""
    monkeypatch.setenv("ZO_API_KEY", KEY)
    return lambda peer, url=None: aim_at(monkeypatch, url or peer, ca_bundle)


def poll_failure(code):
    return f"result fetch Curl failed with {code}\nFailed with error: Submit problem curl failed with {code}\n"


def keys_seen(peer, path=None):
    """The key each request (to `path`, or all) carried, None where it had none."""
    return [r.headers.get("x-api-key") for r in peer.requests if path in (None, r.path)]


# Where a redirect may point, built from the service peer `a` and a second peer `b`; which peer
# serves the target, and whether the key may go there.
ORIGIN_CASES = {
    "relative-path": ("127.0.0.1", lambda a, b: BLOB, "a", True),
    "same-origin-absolute": ("127.0.0.1", lambda a, b: f"https://127.0.0.1:{a.port}{BLOB}", "a", True),
    "same-origin-upper-case": ("127.0.0.1", lambda a, b: f"HTTPS://127.0.0.1:{a.port}{BLOB}", "a", True),
    "other-host": ("127.0.0.2", lambda a, b: f"https://127.0.0.2:{b.port}{BLOB}", "b", False),
    "other-host-scheme-relative": ("127.0.0.2", lambda a, b: f"//127.0.0.2:{b.port}{BLOB}", "b", False),
    "same-host-other-port": ("127.0.0.1", lambda a, b: f"https://127.0.0.1:{b.port}{BLOB}", "b", False),
    # The same address under another name is another origin: names are compared, not addresses.
    "same-address-other-name": ("127.0.0.1", lambda a, b: f"https://localhost:{a.port}{BLOB}", "a", False),
}


@pytest.mark.parametrize("b_host, target, server, key_sent", ORIGIN_CASES.values(),
                         ids=ORIGIN_CASES.keys())
def test_key_goes_only_to_the_service_origin(start_peer, keyed, capfd, b_host, target, server,
                                             key_sent):
    a, b = start_peer(), start_peer(host=b_host)
    a.script = service(poll=moved(target(a, b)), other=RESULT)
    b.script = route(submit=Reply(404), poll=Reply(404), other=RESULT)
    keyed(a)
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert capfd.readouterr().out == ""
    assert keys_seen(a, POLL) == [KEY]
    expected = {"a": [], "b": []}
    expected[server] = [KEY if key_sent else None]
    assert {"a": keys_seen(a, BLOB), "b": keys_seen(b, BLOB)} == expected


def test_key_returns_when_a_redirect_leads_back(start_peer, keyed):
    a, b = start_peer(), start_peer(host="127.0.0.2")
    a.script = service(poll=moved(f"https://127.0.0.2:{b.port}/hop"), other=RESULT)
    b.script = route(submit=Reply(404), poll=Reply(404),
                     other=moved(f"https://127.0.0.1:{a.port}{BLOB}"))
    keyed(a)
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert [(r.path, r.headers.get("x-api-key")) for r in a.requests[1:]] == [(POLL, KEY), (BLOB, KEY)]
    assert keys_seen(b) == [None]


@pytest.mark.parametrize(
    "base, location",
    [("https://127.0.0.2", "https://127.0.0.2:443" + BLOB),
     ("https://127.0.0.2:443", "https://127.0.0.2" + BLOB)],
    ids=["port-named-in-target", "port-named-in-base"],
)
def test_default_port_counts_as_named(start_peer, keyed, base, location):
    try:
        a = start_peer(service(poll=moved(location), other=RESULT), host="127.0.0.2", port=443)
    except OSError as e:
        pytest.skip(f"port 443 on 127.0.0.2 is not available: {e}")
    keyed(a, base)
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert keys_seen(a, BLOB) == [KEY]


def hop_chain(hops):
    """The poll, then /hop/1 ... /hop/<hops>, each redirecting to the next; the last one answers."""
    def script(request):
        if request.path == POLL:
            n = 0
        elif request.path.startswith("/hop/"):
            n = int(request.path[5:])
        else:
            return json_reply({"requestId": "abc"})
        return moved(f"/hop/{n + 1}") if n < hops else RESULT
    return script


@pytest.mark.parametrize("hops", [1, 5], ids=["one", "five"])
def test_up_to_five_redirects_are_followed(start_peer, keyed, capfd, hops):
    a = start_peer(hop_chain(hops))
    keyed(a)
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert capfd.readouterr().out == ""
    assert a.paths("GET") == [POLL] + [f"/hop/{n}" for n in range(1, hops + 1)]


def test_a_sixth_redirect_fails_the_call(start_peer, keyed, capfd):
    a = start_peer(hop_chain(6))
    keyed(a)
    assert connection_error([3, 5]) == "Submit problem curl failed with 47"
    assert capfd.readouterr().out.startswith(poll_failure(47))
    # Five followed, the sixth refused before it is requested; the poll is not tried again.
    assert a.paths("GET") == [POLL] + [f"/hop/{n}" for n in range(1, 6)]


@pytest.mark.parametrize("loop", ["to-itself", "between-hosts"])
def test_redirect_loop_fails_promptly(start_peer, keyed, capfd, loop):
    a, b = start_peer(), start_peer(host="127.0.0.2")
    if loop == "to-itself":
        a.script = service(poll=moved(POLL))
    else:
        a.script = service(poll=moved(f"https://127.0.0.2:{b.port}{POLL}"))
        b.script = service(poll=moved(f"https://127.0.0.1:{a.port}{POLL}"))
    keyed(a)
    assert connection_error([3, 5]) == "Submit problem curl failed with 47"
    assert capfd.readouterr().out.startswith(poll_failure(47))
    assert len(a.paths("GET")) + len(b.paths("GET")) == 6


# Targets the poll must not go to; `listener` is a plain TCP port on 127.0.0.1 or 127.0.0.2.
REFUSED_CASES = {
    "http": (lambda a, port: f"http://127.0.0.1:{port}{BLOB}", "127.0.0.1", 1),
    "http-upper-case": (lambda a, port: f"HTTP://127.0.0.2:{port}{BLOB}", "127.0.0.2", 1),
    "http-same-host-and-port": (lambda a, port: f"http://127.0.0.1:{a.port}{BLOB}", "127.0.0.1", 1),
    "ftp": (lambda a, port: f"ftp://127.0.0.1:{port}/abc", "127.0.0.1", 1),
    "ftp-other-host": (lambda a, port: f"ftp://127.0.0.2:{port}/abc", "127.0.0.2", 1),
    "file": (lambda a, port: "file:///etc/hostname", "127.0.0.1", 1),
    "unknown-scheme": (lambda a, port: f"zzz://127.0.0.1:{port}/abc", "127.0.0.1", 1),
    "malformed": (lambda a, port: "https://[::1" + BLOB, "127.0.0.1", 3),
}


@pytest.mark.parametrize("target, listen_on, code", REFUSED_CASES.values(),
                         ids=REFUSED_CASES.keys())
def test_redirect_away_from_https_is_refused(start_peer, keyed, capfd, target, listen_on, code):
    a = start_peer()
    with PlainListener(listen_on) as listener:
        a.script = service(poll=moved(target(a, listener.port)), other=RESULT)
        keyed(a)
        assert connection_error([3, 5]) == f"Submit problem curl failed with {code}"
        assert listener.connections() == 0
    assert capfd.readouterr().out.startswith(poll_failure(code))
    assert len(a.paths("GET")) == 1
    # The submit and the poll share one connection; the refused target gets none.
    assert a.connections == 1, "a connection was made for the refused target"


def test_each_hop_is_checked(start_peer, keyed, capfd):
    # An https hop first, then a turn to plain http: the second target is refused all the same.
    a, b = start_peer(), start_peer(host="127.0.0.2")
    with PlainListener("127.0.0.2") as listener:
        a.script = service(poll=moved(f"https://127.0.0.2:{b.port}/hop"))
        b.script = route(submit=Reply(404), poll=Reply(404),
                         other=moved(f"http://127.0.0.2:{listener.port}{BLOB}"))
        keyed(a)
        assert connection_error([3, 5]) == "Submit problem curl failed with 1"
        assert listener.connections() == 0
    assert capfd.readouterr().out.startswith(poll_failure(1))
    assert b.paths() == ["/hop"]


@pytest.mark.parametrize(
    "status, body",
    [
        (302, gzip.compress(b"\xff\xff\xff")),
        (301, b'{"message":"Moved"}'),
        (303, b'<?xml version="1.0"?><Moved/>'),
        (307, gzip.compress(b"\x01")),
        (308, b"\x1f\x8b not quite gzip"),
    ],
    ids=["302-other-result", "301-message", "303-xml", "307-small-result", "308-junk"],
)
def test_a_redirect_body_never_reaches_the_result(start_peer, keyed, capfd, status, body):
    a = start_peer(service(poll=moved(BLOB, status, body), other=RESULT))
    keyed(a)
    assert zox.complete_subset_sum([3, 5]) == [297]
    # Neither refused as a not-ready answer nor shown: the body is simply dropped.
    assert capfd.readouterr().out == ""
    assert a.paths("GET") == [POLL, BLOB]


def test_a_redirect_body_is_bounded_too(start_peer, keyed, capfd):
    endless = moved(BLOB, chunks=flood_chunks())
    a = start_peer(service(poll=moved("/hop"), other=sequence(endless, RESULT)))
    keyed(a)
    assert connection_error([3, 5]) == "Submit problem curl failed with 42"
    assert capfd.readouterr().out.startswith(poll_failure(42))
    assert a.client_hung_up.wait(30), "the peer was allowed to send everything"
    assert a.bytes_sent < FLOOD
    assert a.paths("GET") == [POLL, "/hop"]


def test_a_not_ready_target_restarts_at_the_poll_address(start_peer, keyed, capfd):
    a, b = start_peer(), start_peer(host="127.0.0.2")
    a.script = service(poll=moved(f"https://127.0.0.2:{b.port}{BLOB}"))
    b.script = route(submit=Reply(404), poll=Reply(404), other=sequence(NOT_READY, RESULT))
    keyed(a)
    assert zox.complete_subset_sum([3, 5]) == [297]
    assert capfd.readouterr().out == "Result not ready (23)\n"
    assert keys_seen(a, POLL) == [KEY, KEY]
    assert keys_seen(b) == [None, None]
