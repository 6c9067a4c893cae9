"""The module's default path against the service shipped in this repository."""
import random
import threading

import pytest

import zox
from reference import le_words, sums_bitset
from service_fixture import SERVICE_KEY


def expected_words(values):
    return le_words(sums_bitset(values), sum(values) // 64 + 1)


def use_service(monkeypatch, service, key=SERVICE_KEY, host=None):
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
    url = service.url if host is None else f"https://{host}:{service.port}"
    monkeypatch.setenv("ZO_SERVICE_URL", url)
    monkeypatch.setenv("ZO_CA_BUNDLE", service.ca_bundle)
    monkeypatch.setenv("ZO_API_KEY", key)


@pytest.mark.parametrize("host", [None, "localhost"], ids=["printed-url", "localhost"])
def test_documented_example(service, monkeypatch, host):
    use_service(monkeypatch, service, host=host)
    assert zox.complete_subset_sum([3, 5]) == [297]


RNG = random.Random(5)
AGREEMENT = {
    "random": [RNG.randrange(0, 1000) for _ in range(13)],
    "one-word-full": [1] * 64,
    "past-524288": [2**19, 1, 5],
    # Past the 64 KiB the client keeps by default: the whole result must still come back.
    "large-total": [RNG.randrange(1, 40000) for _ in range(40)],
}


@pytest.mark.parametrize("values", AGREEMENT.values(), ids=AGREEMENT.keys())
def test_service_result_is_every_sum_in_full_capacity(service, monkeypatch, values):
    use_service(monkeypatch, service)
    assert zox.complete_subset_sum(values) == expected_words(values)


def test_wrong_key_is_forbidden(service, monkeypatch):
    use_service(monkeypatch, service, key="not-the-key")
    with pytest.raises(ConnectionError) as e:
        zox.complete_subset_sum([3, 5])
    assert str(e.value) == "Forbidden"


def test_service_limit_reaches_the_caller_as_its_message(small_service, monkeypatch):
    use_service(monkeypatch, small_service)
    with pytest.raises(ConnectionError) as e:
        zox.complete_subset_sum([3000, 3000])
    assert str(e.value) == "Total 6000 exceeds the limit of 5000"


def test_async_solve_through_the_service(service, monkeypatch):
    use_service(monkeypatch, service)
    done = threading.Event()
    got = []
    zox.complete_subset_sum_async([7, 11, 13], lambda r: (got.append(r), done.set()))
    assert done.wait(120)
    assert got == [expected_words([7, 11, 13])]
