"""Processes that exit while solves still run: daemon threads looping on every form, locally or
against a scripted peer in a process of its own (which may be killed mid-transfer). Shared by the
exit suite and by scripts/exit-runs, which runs each case a hundred times."""
import os
import signal
import subprocess
import sys
import textwrap

import zox

HERE = os.path.dirname(os.path.abspath(__file__))
FORMS = ("list", "array", "witness", "callback", "awaitable")
PLACES = ("local", "remote", "service_killed")

# The hook registered before zox's runs after zox's own.
EXIT_PRELUDE = """
import atexit, os, random, sys, threading, time
atexit.register(lambda: print("exit hooks ran", flush=True))
import zox
os.environ["ZO_KILLSWITCH"] = "1"
rng = random.Random(int(sys.argv[1]))
def slow_solve(callback):
    # Totals of a few million over hundreds of values: tenths of a second each.
    zox.complete_subset_sum_async([rng.randint(1, 1 << 14) for _ in range(rng.randint(500, 2000))],
                                  callback)
"""

EXIT_SCRIPTS = {
    # Callbacks print while the interpreter exits, giving the lock away in between.
    "callbacks_printing": """
        def callback(result):
            print("callback-begin", flush=True)
            time.sleep(0.02)
            print("callback-end", flush=True)
        for _ in range(30):
            zox.complete_subset_sum_async(
                [rng.randint(1, 1 << 14) for _ in range(rng.randint(1, 1500))], callback)
    """,
    # The interpreter shuts down while a solve's awaitable waits for it.
    "awaitable_solving": """
        import asyncio
        async def main():
            zox.complete_subset_sum_aio([2**k for k in range(30)])
        asyncio.run(main())
    """,
    # The interpreter shuts down while every worker is still solving.
    "while_solving": """
        for _ in range(50):
            slow_solve(lambda result: None)
    """,
    # Workers print their failures through sys.stdout while the interpreter shuts down.
    "printing_at_exit": """
        import socket
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        del os.environ["ZO_KILLSWITCH"]
        os.environ.update(ZO_SERVICE_URL=f"https://127.0.0.1:{port}", ZO_CA_BUNDLE=sys.executable)
        for _ in range(60):
            zox.complete_subset_sum_async([3, 5], lambda result: None)
    """,
    # Workers are mid-transfer with a service that never answers when the process exits: their
    # transfers must end before the TLS library is torn down.
    "talking_to_a_silent_service": """
        import socket
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(64)
        del os.environ["ZO_KILLSWITCH"]
        os.environ["ZO_SERVICE_URL"] = f"https://127.0.0.1:{silent.getsockname()[1]}"
        for _ in range(20):
            zox.complete_subset_sum_async([3, 5], lambda result: None)
        time.sleep(0.3)
    """,
    # Workers finish after the interpreter is gone, while the process is still flushing C's
    # standard output into a full pipe.
    "after_interpreter_gone": """
        import ctypes
        for _ in range(40):
            slow_solve(lambda result: None)
        os.write(1, b"." * 65536)
        ctypes.CDLL(None).printf(b"end")
    """,
}

# argv: form, place, peer pid (or 0). The main thread ends while every worker is inside a call.
DAEMON_SCRIPT = """
import asyncio, atexit, os, signal, sys, threading, time
atexit.register(lambda: print("exit hooks ran", flush=True))
import zox
form, place, peer = sys.argv[1], sys.argv[2], int(sys.argv[3])
values = list(range(1, 300)) if place == "local" else [3, 5, 7, 11, 13]
target = sum(values) // 3

def call():
    if form == "list":
        zox.complete_subset_sum(values)
    elif form == "array":
        zox.complete_subset_sum_array(values)
    elif form == "witness":
        zox.subset_with_sum(values, target)
    else:
        called = threading.Event()
        zox.complete_subset_sum_async(values, lambda result: called.set())
        called.wait()

async def awaiting():
    while True:
        try:
            await zox.complete_subset_sum_aio(values)
        except ConnectionError:
            pass

def loop():
    if form == "awaitable":
        asyncio.run(awaiting())
    while True:
        try:
            call()
        except ConnectionError:
            pass

for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
if place == "service_killed":
    os.kill(peer, signal.SIGKILL)
    time.sleep(0.02)
print("main done", flush=True)
"""

# A peer that solves what it is sent, in a process the scenario can kill; prints its port.
PEER_SCRIPT = """
import ssl, sys, time
from scripted_peer import ScriptedPeer, solving_script
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
with ScriptedPeer(ctx, solving_script()) as peer:
    print(peer.port, flush=True)
    time.sleep(3600)
"""


def python_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONUNBUFFERED", "ZO_KILLSWITCH", "ZO_SERVICE_URL")}
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(zox.__file__), HERE,
                                         env.get("PYTHONPATH", "")])
    env["NO_PROXY"] = "*"
    env.update(extra)
    return env


def run_daemon_case(form, place, server_cert_files, ca_bundle, timeout=120):
    """Runs one exit of DAEMON_SCRIPT: (return code, stdout, stderr); return code None on a hang."""
    peer = None
    env = python_env(ZO_KILLSWITCH="1")
    if place != "local":
        peer = subprocess.Popen([sys.executable, "-c", PEER_SCRIPT, *server_cert_files],
                                env=python_env(), stdout=subprocess.PIPE, text=True)
        port = int(peer.stdout.readline())
        env = python_env(ZO_SERVICE_URL=f"https://127.0.0.1:{port}", ZO_CA_BUNDLE=ca_bundle)
    try:
        proc = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(DAEMON_SCRIPT), form, place,
             str(peer.pid if peer else 0)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return _outcome(proc, timeout)
    finally:
        if peer is not None:
            if peer.poll() is None:
                peer.send_signal(signal.SIGKILL)
            peer.wait()
            peer.stdout.close()


def run_exit_script(name, seed, timeout=120):
    """Runs EXIT_PRELUDE and one of EXIT_SCRIPTS: (return code, stdout, stderr); None on a hang."""
    proc = subprocess.Popen(
        [sys.executable, "-c", EXIT_PRELUDE + textwrap.dedent(EXIT_SCRIPTS[name]), str(seed)],
        env=python_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if name == "after_interpreter_gone":
        try:
            # Read nothing for a while: the process stays in its exit meanwhile.
            proc.wait(timeout=1)
        except subprocess.TimeoutExpired:
            pass
    return _outcome(proc, timeout)


def _outcome(proc, timeout):
    """(return code, stdout, stderr) of a finished process; None for one killed for hanging."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return None, "", ""
    return proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")
