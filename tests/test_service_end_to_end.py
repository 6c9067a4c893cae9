"""The module's default path against the service shipped in this repository."""
import random
import threading

import pytest

import zox
from service_fixture import SERVICE_KEY
from reference import bits_of, sums_of


@pytest.fixture
def solve_local(monkeypatch):
    def solve(values):
        with monkeypatch.context() as m:
            m.setenv("ZO_KILLSWITCH", "1")
            return zox.complete_subset_sum(values)
    return solve


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


def _problem(seed):
    rng = random.Random(seed)
    return [rng.randrange(0, 1000) for _ in range(rng.randrange(1, 14))]


@pytest.mark.parametrize("values", [_problem(s) for s in range(6)] + [[1] * 64, [2**19, 1, 5]],
                         ids=[f"random{s}" for s in range(6)] + ["one-word-full", "past-524288"])
def test_service_agrees_with_kill_switch_and_brute_force(service, monkeypatch, solve_local,
                                                         values):
    use_service(monkeypatch, service)
    remote = zox.complete_subset_sum(values)
    assert remote == solve_local(values)
    assert bits_of(remote) == sums_of(values)


def test_large_total_comes_back_whole(service, monkeypatch, solve_local):
    rng = random.Random(5)
    values = [rng.randrange(1, 40000) for _ in range(40)]
    assert sum(values) >= 524288
    use_service(monkeypatch, service)
    remote = zox.complete_subset_sum(values)
    assert len(remote) == sum(values) // 64 + 1
    assert remote == solve_local(values)


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


def test_async_solve_through_the_service(service, monkeypatch, solve_local):
    use_service(monkeypatch, service)
    done = threading.Event()
    got = []
    try:
        zox.complete_subset_sum_async([7, 11, 13], lambda r: (got.append(r), done.set()))
    except NotImplementedError:
        pytest.skip("the asynchronous solve is not built yet")
    assert done.wait(120)
    assert got == [solve_local([7, 11, 13])]
