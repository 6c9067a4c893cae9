"""Ctrl-C during a remote solve that waits on the service."""
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

from scripted_peer import NOT_READY, ScriptedPeer, json_reply, route

CHILD = textwrap.dedent(
    """
    import threading, zox
    threading.Thread(target=lambda: None).start()  # some other Python thread, as in real programs
    print("solving", flush=True)
    zox.complete_subset_sum([3, 5])
    print("returned", flush=True)
    """
)


@pytest.mark.parametrize("phase", ["poll", "submit"])
def test_ctrl_c_interrupts_a_waiting_solve(server_ssl_context, ca_bundle, phase):
    answered = threading.Event()
    hold = threading.Event()

    def stalled_submit(request):
        answered.set()
        hold.wait(20)  # the peer never answers while the child is alive
        return json_reply({"requestId": "abc"})

    def never_ready(request):
        answered.set()
        return NOT_READY

    submit = stalled_submit if phase == "submit" else json_reply({"requestId": "abc"})
    with ScriptedPeer(server_ssl_context, route(submit=submit, poll=never_ready)) as peer:
        env = dict(os.environ, ZO_SERVICE_URL=peer.url, ZO_CA_BUNDLE=ca_bundle, NO_PROXY="*")
        env.pop("ZO_KILLSWITCH", None)
        child = subprocess.Popen([sys.executable, "-c", CHILD], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "solving\n"
            assert answered.wait(20), "the child never reached the peer"
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=10)
        finally:
            hold.set()
            if child.poll() is None:
                child.kill()
                child.wait()
    assert "Traceback" in err and "KeyboardInterrupt" in err, err
    assert "returned" not in out
    assert "Sanitizer" not in err and "Fatal Python error" not in err, err
