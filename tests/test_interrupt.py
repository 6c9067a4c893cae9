"""Ctrl-C during a remote solve that waits on the service: the call raises KeyboardInterrupt, and
the abandoned solve ends on its own (writing into what it was given, then giving it back) while the
interpreter still runs. A local witness search interrupted so stops working."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from reference import sums_bitset
from scripted_peer import NOT_READY, ScriptedPeer, aim_at, gzip_reply, json_reply, route

CHILD = textwrap.dedent(
    """
    import sys, threading, time, zox
    threading.Thread(target=lambda: None).start()  # some other Python thread, as in real programs
    print("solving", flush=True)
    try:
        getattr(zox, sys.argv[1])([3, 5, 2**20])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()          # the service has answered the abandoned solve
    time.sleep(2)  # the next poll (a second apart) brings the answer
    print("alive", flush=True)
    """
)


@pytest.mark.parametrize("method", ["complete_subset_sum", "complete_subset_sum_array"],
                         ids=["list", "array"])
@pytest.mark.parametrize("phase", ["poll", "submit"])
def test_ctrl_c_interrupts_a_waiting_solve(monkeypatch, server_ssl_context, ca_bundle, phase,
                                           method):
    reached, answer = threading.Event(), threading.Event()

    def held(request):
        reached.set()
        answer.wait(30)
        return json_reply({"requestId": "abc"})

    def ready_once_answered(request):
        reached.set()
        return gzip_reply(sums_bitset([3, 5, 2**20])) if answer.is_set() else NOT_READY

    submit = held if phase == "submit" else json_reply({"requestId": "abc"})
    with ScriptedPeer(server_ssl_context, route(submit=submit, poll=ready_once_answered)) as peer:
        aim_at(monkeypatch, peer, ca_bundle)
        env = dict(os.environ, ZO_QUIET="1")  # no "Result not ready" lines between the child's own
        child = subprocess.Popen([sys.executable, "-c", CHILD, method], env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "solving\n"
            assert reached.wait(20), "the child never reached the peer"
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline() == "interrupted\n"
            answer.set()
            out, err = child.communicate("\n", timeout=60)
        finally:
            answer.set()
            if child.poll() is None:
                child.kill()
                child.wait()
    assert child.returncode == 0, err
    assert out.endswith("alive\n"), out
    assert "Sanitizer" not in err and "Fatal Python error" not in err, err



LOCAL_CHILD = textwrap.dedent(
    """
    import random, time, zox
    r = random.Random(5)
    # Many huge values: no bitset fits, and the exact search in small memory takes minutes.
    values = [r.randrange(10**17, 2 * 10**17) for _ in range(64)]
    print("solving", flush=True)
    try:
        zox.subset_with_sum(values, sum(values) // 3 + 1)
    except KeyboardInterrupt:
        before = time.process_time()
        time.sleep(1)
        print("idle" if time.process_time() - before < 0.5 else "still searching", flush=True)
    """
)


def test_ctrl_c_stops_a_local_witness_search():
    child = subprocess.Popen([sys.executable, "-c", LOCAL_CHILD], env=dict(
        os.environ, ZO_KILLSWITCH="1"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "solving\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert (out, child.returncode) == ("idle\n", 0), err


HANDLED_CHILD = textwrap.dedent(
    """
    import signal, zox
    seen = []
    # A handler that does not raise, and solves itself: the call it lands in goes on.
    signal.signal(signal.SIGUSR1, lambda *a: seen.append(zox.complete_subset_sum([1])))
    print("solving", flush=True)
    words = zox.complete_subset_sum([3, 5, 2**20])
    print(words[0], words[-1], len(words), seen, flush=True)
    """
)


def test_a_handler_that_does_not_raise_leaves_the_solve_going(monkeypatch, server_ssl_context,
                                                             ca_bundle):
    reached, answer = threading.Event(), threading.Event()

    def ready_once_answered(request):
        reached.set()
        return gzip_reply(sums_bitset([3, 5, 2**20])) if answer.is_set() else NOT_READY

    def poll(request):
        return gzip_reply(sums_bitset([1])) if "one" in request.path else ready_once_answered(
            request)

    submit_ids = iter(["abc", "one"] * 4)
    with ScriptedPeer(server_ssl_context, route(
            submit=lambda request: json_reply({"requestId": next(submit_ids)}),
            poll=poll)) as peer:
        aim_at(monkeypatch, peer, ca_bundle)
        child = subprocess.Popen([sys.executable, "-c", HANDLED_CHILD],
                                 env=dict(os.environ, ZO_QUIET="1"), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "solving\n"
            assert reached.wait(20), "the child never reached the peer"
            child.send_signal(signal.SIGUSR1)
            time.sleep(0.5)
            answer.set()
            out, err = child.communicate(timeout=60)
        finally:
            answer.set()
            if child.poll() is None:
                child.kill()
                child.wait()
    assert (out, child.returncode) == ("297 297 16385 [[3]]\n", 0), err
