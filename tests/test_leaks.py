"""Every kind of call, many times over, in a child interpreter with leak checking on.

Meaningful only against the sanitizer build (scripts/test-sanitized sets ZO_LEAK_CHECK=1 and
preloads the runtime); skipped otherwise."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(os.environ.get("ZO_LEAK_CHECK") != "1",
                                reason="needs the sanitizer build (scripts/test-sanitized)")

WORKLOAD = textwrap.dedent(
    """
    import array, asyncio, os, ssl, sys, threading
    import zox
    from scripted_peer import (NOT_READY, ScriptedPeer, Reply, closed_port, gzip_reply, json_reply,
                               route, sequence, solving_script)

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.environ["CERT"], os.environ["KEY"])
    os.environ["ZO_CA_BUNDLE"] = os.environ["CA"]
    os.environ["NO_PROXY"] = "*"
    done = threading.Semaphore(0)

    def expect(exc, f, *args):
        try:
            f(*args)
        except exc:
            return
        raise AssertionError(f"{f.__name__}{args} did not raise {exc.__name__}")

    def async_round(values, n, callback=None):
        for i in range(n):
            zox.complete_subset_sum_async(values + [i], callback or (lambda r: done.release()))
        for i in range(n):
            assert done.acquire(timeout=60)

    def aio_round(values, n):
        async def main():
            solves = (zox.complete_subset_sum_aio(values + [i]) for i in range(n))
            await asyncio.gather(*solves, return_exceptions=True)
        asyncio.run(main())

    def raising_callback(result):
        done.release()
        raise ValueError("callback failure")

    sys.unraisablehook = lambda unraisable: None

    os.environ["ZO_KILLSWITCH"] = "1"
    for i in range(300):
        assert zox.complete_subset_sum([3, 5, i])[0] & 1
        zox.subset_sum_result_check([297, 1 << 63], i)
        zox.subset_sum_result_check((297,), 0)
        zox.subset_sum_result_check(array.array("Q", [297]), i)
        expect(TypeError, zox.complete_subset_sum, (3, 5))
        expect(TypeError, zox.complete_subset_sum, [1, "x"])
        expect(OverflowError, zox.complete_subset_sum, [-1])
        expect(OverflowError, zox.complete_subset_sum, [2**64 - 1, 1])
        expect(SystemError, zox.complete_subset_sum)
        expect(TypeError, zox.complete_subset_sum_async, [1], 5)
        expect(TypeError, zox.subset_sum_result_check, [1, "x"], 0)
        assert zox.complete_subset_sum_array(array.array("q", [3, 5, i]))[0] & 1
        assert zox.complete_subset_sum_array(v for v in [3, 5, i])[0] & 1
        expect(TypeError, zox.complete_subset_sum_array, array.array("d", [1.0]))
        expect(OverflowError, zox.complete_subset_sum_array, (v for v in [-1]))
    async_round([3, 5], 200)
    aio_round([3, 5], 100)
    async_round([3, 5], 50, raising_callback)

    os.environ["ZO_KILLSWITCH"] = "0"
    scripts = {
        "solved": solving_script(),
        "not ready once": route(submit=json_reply({"requestId": "r"}),
                                poll=sequence(NOT_READY, gzip_reply(b"\\x29\\x01"))),
        "forbidden": route(submit=json_reply({"message": "Forbidden"}), poll=NOT_READY),
        "no id": route(submit=json_reply({}), poll=NOT_READY),
        "damaged": route(submit=json_reply({"requestId": "r"}), poll=Reply(200, b"\\x1f\\x8bxx")),
        "redirected": route(submit=json_reply({"requestId": "r"}),
                            poll=sequence(Reply(302, b"", {"Location": "/v0/result?requestId=r&x=1"}),
                                          gzip_reply(b"\\x29\\x01"))),
        "redirect loop": route(submit=json_reply({"requestId": "r"}),
                               poll=Reply(302, b"", {"Location": "/v0/result?requestId=r"})),
    }
    for name, script in scripts.items():
        with ScriptedPeer(ctx, script) as peer:
            os.environ["ZO_SERVICE_URL"] = peer.url
            for i in range(5):
                for solve in (zox.complete_subset_sum, zox.complete_subset_sum_array):
                    try:
                        solve([3, 5])
                    except ConnectionError:
                        pass
            async_round([3, 5], 5)
            aio_round([3, 5], 5)
            zox.complete_subset_sum_aio([3, 5])  # never awaited
    os.environ["ZO_SERVICE_URL"] = f"https://127.0.0.1:{closed_port()}"
    for i in range(20):
        expect(ConnectionError, zox.complete_subset_sum, [3, 5])
    async_round([3, 5], 20)
    print("workload done", flush=True)
    """
)


def test_no_leaks_across_every_kind_of_call(server_cert_files, ca_bundle):
    cert, key = server_cert_files
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, CERT=cert, KEY=key, CA=ca_bundle, PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1",
               PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), tests_dir])))
    child = subprocess.run([sys.executable, "-c", WORKLOAD], env=env, capture_output=True,
                           text=True, timeout=600)
    assert "workload done" in child.stdout, child.stderr[-3000:]
    assert "LeakSanitizer" not in child.stderr, child.stderr[-6000:]
    assert child.returncode == 0, child.stderr[-3000:]
