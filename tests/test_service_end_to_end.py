"""Round trips through the service shipped in this repository with the module's own client: the
embedded service, and front end plus solver on a real redis-server."""
import itertools
import json
import random
import re
import signal
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import zox
from redis_fixture import RedisServer
from reference import le_words, sums_bitset
from service_fixture import SERVICE_KEY


def expected_words(values):
    return le_words(sums_bitset(values), sum(values) // 64 + 1)


@pytest.fixture(scope="module")
def redis_front_end(start_service, tmp_path_factory):
    """A front end that does not solve and one solver process, sharing a redis-server of their
    own (other tests empty theirs)."""
    import shutil
    if shutil.which("redis-server") is None:
        pytest.skip("needs redis-server")
    server = RedisServer(tmp_path_factory.mktemp("redis-e2e"))
    start_service("--redis", server.url, "--workers", "1", worker=True)
    yield start_service("--api-key", SERVICE_KEY, "--redis", server.url, "--workers", "0")
    server.stop()


@pytest.fixture(params=["embedded", "redis"])
def any_service(request):
    return request.getfixturevalue("service" if request.param == "embedded" else
                                   "redis_front_end")


RNG = random.Random(5)
ROUND_TRIPS = {
    "empty": [],
    "zero": [0],
    "3-5": [3, 5],
    "one-word-edge": [64],
    "word-boundary": [63, 1],
    "one-word-full": [1] * 64,
    "repeats": [1] * 70,
    "past-524288": [2**19, 1, 5],
    "past-524288-pair": [300000, 300000, 1],
    "random": [RNG.randrange(0, 1000) for _ in range(13)],
    # Past the 64 KiB the client keeps by default: the whole result must still come back.
    "large-total": [RNG.randrange(1, 40000) for _ in range(40)],
}


@pytest.mark.parametrize("values", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_service_result_is_every_sum_in_full_capacity(any_service, monkeypatch, values):
    any_service.aim_client(monkeypatch)
    assert zox.complete_subset_sum(values) == expected_words(values)


@pytest.mark.parametrize("host", [None, "localhost"], ids=["printed-url", "localhost"])
def test_documented_example(service, monkeypatch, host):
    service.aim_client(monkeypatch, host=host)
    assert zox.complete_subset_sum([3, 5]) == [297]


def test_concurrent_and_async_callers_each_get_their_own_result(any_service, monkeypatch):
    any_service.aim_client(monkeypatch)
    problems = [[RNG.randrange(1, 300) for _ in range(8)] + [i + 1] for i in range(12)]
    done, got = threading.Event(), []
    zox.complete_subset_sum_async([7, 11, 13], lambda r: (got.append(r), done.set()))
    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(zox.complete_subset_sum, problems))
    assert results == [expected_words(p) for p in problems]
    assert done.wait(120) and got == [expected_words([7, 11, 13])]


@pytest.mark.parametrize("fixture, key, values, text", [
    ("service", "not-the-key", [3, 5], "Forbidden"),
    ("small_service", SERVICE_KEY, [3000, 3000], "Total 6000 exceeds the limit of 5000"),
], ids=["wrong-key", "limit"])
def test_refusal_reaches_the_caller_as_its_message(request, monkeypatch, fixture, key, values,
                                                   text):
    request.getfixturevalue(fixture).aim_client(monkeypatch, key=key)
    with pytest.raises(ConnectionError) as e:
        zox.complete_subset_sum(values)
    assert str(e.value) == text


HAS_WITNESS = hasattr(zox, "_subset_with_sum_local")


def drawn(count, lo, hi, seed=18):
    rng = random.Random(seed)
    return [rng.randint(lo, hi) for _ in range(count)]


WITNESSES = {
    "found": ([3, 5, 11, 200, 7], 19),
    "none": ([2, 4, 6], 5),
    "above-the-total": ([1, 2], 10**15),
    "empty-sum": ([], 0),
    # The README's examples: far past a complete solve's limits, answered by a default service.
    "40-values-of-1e8-1e9": (drawn(40, 10**8, 10**9), 6 * 10**9),
    "56-values-of-1e13": (drawn(56, 10**13, 2 * 10**13), 3 * 10**14),
    "3000-values-totalling-4e8": (drawn(3000, 1, 266_000), 10**8 + 1),
    "target-0-and-2-to-the-40": ([2**40], 0),
}


@pytest.mark.skipif(not HAS_WITNESS, reason="this zox build cannot solve which values make a sum")
@pytest.mark.parametrize("values, target", WITNESSES.values(), ids=WITNESSES.keys())
def test_witness_route_answers_the_indices_of_values_making_the_target(any_service, values,
                                                                       target):
    status, _, body = any_service.request("POST", f"/v0/app/subset?target={target}",
                                          json.dumps(values).encode())
    assert status == 200, body
    found, count, *indices = any_service.fetch(json.loads(body)["requestId"])
    if len(values) <= 16:
        reachable = target in {sum(v for v, keep in zip(values, mask) if keep)
                               for mask in itertools.product((0, 1), repeat=len(values))}
    else:  # as this process answers it
        reachable = zox._subset_with_sum_local(values, target) is not None
    assert (found, count, len(indices)) == ((1, len(indices), count) if reachable else (0, 0, 0))
    assert indices == sorted(set(indices)) and sum(values[i] for i in indices) == target * found


@pytest.mark.parametrize("query, text", [
    ("", "Missing target"), ("?target=-1", "non-negative integer"),
    ("?target=1.5", "non-negative integer"), ("?target=1&target=2", "Give one target"),
    ("?target=18446744073709551616", "Target exceeds 18446744073709551615"),
    ("?target=" + "0" * 4300 + "1", "Target exceeds"), ("?target=%EF%BC%91", "non-negative"),
    ("?target=", "non-negative integer"),
], ids=["missing", "negative", "not-an-integer", "two", "past-64-bits", "thousands-of-digits",
        "fullwidth-digit", "empty"])
def test_witness_route_refuses_a_target_that_is_not_one_unsigned_integer(service, query, text):
    def refused():
        body = service.request("GET", "/metrics", key=False)[2].decode()
        found = re.search(r'^zox_refusals_total\{reason="bad_target"\} (\S+)$', body, re.M)
        return float(found.group(1)) if found else 0.0

    before = refused()
    status, _, body = service.request("POST", "/v0/app/subset" + query, b"[1,2]")
    assert status == 400 and text in json.loads(body)["message"], body
    assert refused() == before + 1


@pytest.mark.skipif(not HAS_WITNESS, reason="this zox build cannot solve which values make a sum")
@pytest.mark.parametrize("ending", ["deadline", "delete", "sigterm"])
def test_a_long_search_ends_at_its_deadline_its_cancel_or_a_stop(start_service, ending):
    s = start_service("--api-key", SERVICE_KEY, "--api-key", "other", "--workers", "1",
                      "--witness-deadline", "2" if ending == "deadline" else "60")
    values = drawn(80, 10**16, 2 * 10**16, seed=60)  # searched for minutes
    try:
        rid = json.loads(s.request("POST", f"/v0/app/subset?target={sum(values) // 2 + 1}",
                                   json.dumps(values).encode())[2])["requestId"]
        poll = f"/v0/result?requestId={rid}"
        if ending == "sigterm":
            assert s.request("GET", poll)[0] == 202
            s.signal(signal.SIGTERM)
            assert s.proc.wait(timeout=10) == 0
            return
        if ending == "delete":
            assert s.request("DELETE", poll, key="other")[0] == 404  # not its owner
            assert s.request("DELETE", poll)[::2] == (200, b'{"message":"Job cancelled"}')
            assert s.request("DELETE", poll)[0] == 409
        status = 202
        while status == 202:
            status, _, body = s.request("GET", poll)
        text = "cancelled by its owner" if ending == "delete" else "deadline of 2 s"
        assert status == 410 and text in json.loads(body)["message"], body
        # The lone solver is free again at once (not after the 60 s deadline).
        assert s.fetch(s.submit([3, 5]), seconds=20) == [297]
    finally:
        s.stop()
