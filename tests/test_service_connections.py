"""What a connection holds, and for how long: a closed one leaves nothing behind, and a reader
that takes an answer too slowly, or not at all, is cut and holds no more than its budget."""
import asyncio
import contextlib
import gc
import random
import socket
import ssl
import time

import pytest


def client_ctx(service):
    return ssl.create_default_context(cafile=service.ca_bundle)


def large_result(s):
    """The request id of a fetched 6.8 MB result, past what the kernel buffers."""
    rng = random.Random(3)
    values = [rng.randrange(2**22, 2**23) for _ in range(24)]
    request_id = s.submit(values, key="honest")
    assert len(s.fetch(request_id, key="honest")) == sum(values) // 64 + 1
    return request_id, sum(values) // 64 + 1


@pytest.mark.slow
def test_readers_that_do_not_read_are_bounded_by_the_unsent_budget(start_service):
    # A 6.8 MB result, past what the kernel buffers: each poll of it reserves its window until
    # its reader takes it, or the write deadline cuts the reader.
    s = start_service("--api-key", "honest", "--max-unsent-bytes-per-key", str(2 * 192 * 1024),
                      "--send-timeout", "2")
    request_id, words = large_result(s)
    poll = (f"GET /v0/result?requestId={request_id} HTTP/1.1\r\nHost: localhost\r\n"
            "x-api-key: honest\r\n\r\n").encode()
    idle = []
    for _ in range(2):
        raw = socket.socket()
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        raw.connect(("127.0.0.1", s.port))
        idle.append(client_ctx(s).wrap_socket(raw, server_hostname="localhost"))
        idle[-1].sendall(poll)
    time.sleep(0.5)
    status, headers, body = s.request("GET", f"/v0/result?requestId={request_id}", key="honest")
    assert (status, headers["Retry-After"]) == (503, "1") and b"--max-unsent-bytes" in body
    time.sleep(2 + 48 * 1024 / 16384 + 2)  # the write deadline cuts both
    assert len(s.fetch(request_id, key="honest")) == words
    for sock in idle:
        sock.close()


def test_closed_keep_alive_connections_leave_nothing_behind(tmp_path):
    # The application behind the edge in this process, the collector off: whatever a closed
    # connection leaves in a reference cycle, or holds through a timer, shows up below; a closed
    # connection is no reader that was too slow.
    uvloop = pytest.importorskip("uvloop")
    from zox_service.http.app import build_app
    from zox_service.http.server import make_server, serve
    from zox_service.http.service import Service
    from zox_service.limits import Limits
    from zox_service.metrics import Metrics
    from zox_service.stores.memory import MemoryStore

    class NoEdge:
        def alive(self):
            return True

        def stop_accepting(self):
            pass

    limits = Limits(send_timeout=0.2)
    metrics = Metrics()
    path = str(tmp_path / "service.sock")
    server = make_server(build_app(Service(MemoryStore(limits), limits, [], metrics, None)),
                         limits, False, path)

    def keep_alive_connections(n):
        for _ in range(n):
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(path)
                for _ in range(2):
                    s.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\n"
                              b"X-Forwarded-For: 192.0.2.1\r\n\r\n")
                    answer = b""
                    while not answer.endswith(b"}}"):
                        answer += s.recv(4096)
                    assert answer.startswith(b"HTTP/1.1 200"), answer

    left = []

    async def run():
        loop = asyncio.get_running_loop()
        started = loop.create_future()
        serving = asyncio.ensure_future(serve(server, NoEdge(),
                                              lambda: started.set_result(None)))
        await started
        await loop.run_in_executor(None, keep_alive_connections, 20)  # warm up
        await asyncio.sleep(0.5)
        gc.collect()
        await loop.run_in_executor(None, keep_alive_connections, 500)
        await asyncio.sleep(limits.send_timeout + 0.5)
        left.append(gc.collect())
        server.should_exit = True
        await serving

    gc.disable()
    try:
        uvloop.run(run())  # as the service runs
    finally:
        gc.enable()
    assert left[0] < 50, f"{left[0]} objects in cycles after 500 closed connections"
    assert metrics.registry.get_sample_value("zox_connections_cut_total",
                                             {"reason": "send_timeout"}) in (None, 0.0)


@pytest.mark.slow
def test_reader_below_the_minimum_rate_is_cut(start_service):
    # It takes a little now and then: the edge's write timeout or the application's minimum
    # rate per window ends it long before the answer is out.
    s = start_service("--api-key", "honest", "--send-timeout", "1", "--send-min-rate", "65536")
    request_id, words = large_result(s)
    size = len(s.request("GET", f"/v0/result?requestId={request_id}", key="honest")[2])
    raw = socket.socket()
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    raw.connect(("127.0.0.1", s.port))
    got, t0 = 0, time.monotonic()
    with client_ctx(s).wrap_socket(raw, server_hostname="localhost") as reader:
        reader.sendall(f"GET /v0/result?requestId={request_id} HTTP/1.1\r\nHost: localhost\r\n"
                       "x-api-key: honest\r\n\r\n".encode())
        while time.monotonic() - t0 < 60:
            try:
                chunk = reader.recv(4096)  # 8 KiB/s
            except (ConnectionError, ssl.SSLError):
                break
            if not chunk:
                break
            got += len(chunk)
            time.sleep(0.5)
    assert got < size / 10 and time.monotonic() - t0 < 30, (got, time.monotonic() - t0)


def delivery(**limits):
    """A budget of answers' unsent bytes, how a poll makes a 3-window answer that holds some of
    it, and the metrics."""
    from zox_service.http.delivery import WINDOW, DeliveryBudget, payload_response
    from zox_service.jobs import Outcome
    from zox_service.limits import Limits
    from zox_service.metrics import Metrics

    lim, metrics = Limits(**limits), Metrics()
    budget = DeliveryBudget(lim, metrics)
    outcome = Outcome("done", b"x" * (3 * WINDOW))
    return (lambda owner="k": payload_response(budget, owner, outcome, lim, metrics),
            metrics.registry.get_sample_value)


async def send_to_reader(answer, pause, leaves_after):
    """Sends `answer` as the server does (ASGI 2.3, as uvicorn speaks it) to a reader that takes a
    window every `pause` seconds and is gone after `leaves_after` windows: the windows it took."""
    from zox_service.http.delivery import ReaderTooSlow
    taken, gone = [], asyncio.Event()
    if leaves_after == 0:
        gone.set()

    async def send(message):
        if message.get("body"):
            taken.append(message["body"])
        if len(taken) == leaves_after:
            gone.set()
        await asyncio.sleep(pause)

    async def receive():
        await gone.wait()
        return {"type": "http.disconnect"}

    with contextlib.suppress(ReaderTooSlow):
        await answer({"type": "http", "asgi": {"spec_version": "2.3"}}, receive, send)
    return len(taken)


@pytest.mark.parametrize("pause, leaves_after, windows", [
    (0, None, 3), (0, 1, 1), (0, 0, 0), (0.3, None, 1),
], ids=["read-whole", "gone-mid-answer", "gone-before-its-first-window", "below-the-minimum-rate"])
def test_an_answer_gives_its_unsent_bytes_back_however_it_ends(pause, leaves_after, windows):
    answer, sample = delivery(send_timeout=0.05, send_min_rate=2**20)  # 0.11 s a window

    async def main():
        held = answer()
        assert await send_to_reader(held, pause, leaves_after) == windows
        return sample("zox_unsent_bytes")  # back at once, not when the answer is collected

    assert asyncio.run(main()) == 0.0
    assert sample("zox_connections_cut_total", {"reason": "send_timeout"}) == \
        (1.0 if pause else None)


@pytest.mark.parametrize("option, reason, other_key_refused", [
    ("max_unsent_bytes_per_key", "key_unsent_bytes", False),
    ("max_unsent_bytes", "unsent_bytes", True),
], ids=["per-key", "all-keys"])
def test_a_full_unsent_budget_names_itself_and_a_keys_own_spares_other_keys(option, reason,
                                                                            other_key_refused):
    from zox_service.http.delivery import IN_FLIGHT
    from zox_service.wire import RequestError

    answer, _ = delivery(**{option: 2 * IN_FLIGHT})
    held = [answer() for _ in range(2)]
    with pytest.raises(RequestError) as e:
        answer()
    assert (e.value.status, e.value.reason, e.value.retry_after) == (503, reason, 1)
    assert "(--" + option.replace("_", "-") + ")" in e.value.message
    if other_key_refused:
        with pytest.raises(RequestError):
            answer("other")
    else:
        held.append(answer("other"))

    async def read_all():
        await asyncio.gather(*(send_to_reader(a, 0, None) for a in held))
    asyncio.run(read_all())
    answer()  # answered: there is room again
