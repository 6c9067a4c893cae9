"""Front ends and solvers sharing one real redis-server: any front end answers any poll, and no job
is lost when a front end or a solver is killed."""
import json
import random
import signal
import time
import urllib.request

import pytest

from reference import le_words, sums_bitset
from redis_fixture import free_port
from service_fixture import SERVICE_KEY

redis = pytest.importorskip("redis")


def expected(values):
    return le_words(sums_bitset(values), sum(values) // 64 + 1)


@pytest.fixture
def cluster(start_service, redis_url):
    """(start a front end, start a solver, a Redis client); all stopped when the test ends."""
    started = []

    def front_end():
        started.append(start_service("--api-key", SERVICE_KEY, "--redis", redis_url,
                                     "--workers", "0"))
        return started[-1]

    def solver(*args):
        started.append(start_service("--redis", redis_url, "--reclaim-after", "1", *args,
                                     worker=True))
        return started[-1]
    yield front_end, solver, redis.Redis.from_url(redis_url)
    for s in started:
        s.stop()


def test_any_front_end_serves_any_poll_and_a_killed_one_loses_nothing(cluster):
    front_end, solver, _ = cluster
    a, b = front_end(), front_end()
    metrics_port = free_port()
    solver("--workers", "1", "--metrics", f"127.0.0.1:{metrics_port}")
    values = [3, 5, 700, 1024]  # tiny: answered by the front end in its submit
    assert b.fetch(a.submit(values)) == expected(values)
    larger = list(range(1, 400))  # past tiny: a worker's
    request_id = a.submit(larger)
    a.proc.kill()
    a.proc.wait(10)
    assert front_end().fetch(request_id) == expected(larger)
    with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=10) as r:
        assert 'zox_solves_total{outcome="done"} 1.0' in r.read().decode()


@pytest.mark.slow
def test_jobs_of_a_killed_solver_are_delivered_by_another(cluster):
    front_end, solver, r = cluster
    front = front_end()
    doomed = solver("--workers", "2")
    # Solves of about a quarter of a second each, so the solver is caught holding jobs.
    problems = [[random.Random(seed).randrange(1, 2**21) for _ in range(200)] for seed in range(6)]
    ids = [front.submit(p) for p in problems]
    deadline = time.monotonic() + 10
    while claimed(r) < 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    doomed.signal(signal.SIGSTOP)
    held = claimed(r)
    doomed.proc.kill()
    doomed.proc.wait(10)
    assert held >= 1
    solver("--workers", "1")
    assert [front.fetch(i) for i in ids] == [expected(p) for p in problems]
    assert (claimed(r), r.zcard("zox:queue")) == (0, 0)


def claimed(r):
    """Jobs solvers hold: claimed, or taken in their hands with their bell entries."""
    return sum(r.scard(k) for k in r.keys("zox:c:*")) + sum(r.llen(k) for k in r.keys("zox:h:*"))


def test_jobs_of_the_only_solver_killed_fail_within_seconds(cluster):
    front_end, solver, r = cluster
    front = front_end()
    doomed = solver("--workers", "1")
    rng = random.Random(5)
    request_id = front.submit([rng.randrange(2**24, 2**25) for _ in range(30)])  # seconds
    deadline = time.monotonic() + 10
    while claimed(r) < 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    doomed.proc.kill()
    killed = time.monotonic()
    status, _, body = front.request("GET", f"/v0/result?requestId={request_id}")
    while status == 202:
        status, _, body = front.request("GET", f"/v0/result?requestId={request_id}")
    assert (status, body) == (410, b'{"message":"Solve failed: no solver is running"}')
    assert time.monotonic() - killed < 10


def test_stopped_front_end_leaves_queued_jobs_for_the_solvers(cluster):
    front_end, solver, r = cluster
    first = front_end()
    r.sadd("zox:solvers", "stand-in")  # a solver alive to the front end, solving nothing
    r.set("zox:s:stand-in", 1, px=60_000)
    r.set("zox:alive", 1, px=60_000)
    problems = [list(range(i, i + 400)) for i in range(1, 4)]  # past tiny: queued for a solver
    ids = [first.submit(p) for p in problems]
    first.signal(signal.SIGTERM)
    assert first.proc.wait(30) == 0
    assert r.llen("zox:bell") == 3  # an entry for each job waiting
    second = front_end()
    solver("--workers", "1")
    assert [second.fetch(i) for i in ids] == [expected(p) for p in problems]


def test_redis_restart_is_a_503_that_names_the_store_then_service_resumes(cluster, redis_server):
    front_end, solver, _ = cluster
    front = front_end()
    solver("--workers", "1")
    assert front.fetch(front.submit([4, 6])) == expected([4, 6])
    lost = front.submit([4, 6])
    redis_server.stop()
    status, headers, body = front.request("POST", "/v0/app/sspu", b"[1]")
    assert (status, headers["Retry-After"]) == (503, "5") and b"store" in body, body
    status, _, _ = front.request("GET", "/healthz", key=False)
    assert status == 503
    redis_server.restart()
    deadline = time.monotonic() + 20
    while front.request("GET", "/healthz", key=False)[0] != 200:
        assert time.monotonic() < deadline
        time.sleep(0.2)
    # The solver announces itself again within a second of the restart.
    while (answer := front.request("POST", "/v0/app/sspu", b"[5,8]"))[0] != 200:
        assert answer[2] == b'{"message":"no solver is running"}' and time.monotonic() < deadline
        time.sleep(0.2)
    assert front.fetch(json.loads(answer[2])["requestId"]) == expected([5, 8])
    # Any front end, even one that never knew the store before, tells a lost job.
    for asking in (front, front_end()):
        status, _, body = asking.request("GET", f"/v0/result?requestId={lost}")
        assert status == 410 and b"lost" in body, body
