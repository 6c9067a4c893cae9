"""The embedded service against its floor: a bare Starlette app answering the same two requests on
the same stack (the nginx edge with TLS, uvicorn with uvloop and httptools on its unix socket:
bench/bare_stack.py), in one run, through a raw kept-alive client and through the real zox client.

    python bench/service_floor.py [--seconds 2] [--rounds 6] [--clients 1,8,64]
                                  [--client raw,real] [--checkout DIR] [--also DIR]

raw: each client is a thread with a kept-alive TLS connection that submits a small problem and
polls for its result in a loop; real: each client is a thread calling zox.complete_subset_sum on a
small problem in a loop (bench/service_load.py). Both servers run throughout and are measured at
each number of clients alternately, in short rounds, so that their ratio is taken under the same
conditions. The floor answers the submit with a request id and the poll with a fixed gzip payload:
what any service must do for a solve, without keys, quotas, a store or a solver. Prints solves/s
and server CPU per solve (the application's process; nginx is the same for both), and the
service's ratio to the floor. --checkout runs the zox_service of another checkout; --also runs
another checkout's service as well, in the same rounds (an earlier commit, say), with its own rows.
"""
import argparse
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from service_load import PROBLEM as VALUES, cpu_seconds, run_level

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
# The problem the floor answers (bench/bare_stack.py), as the real client sends it.
PROBLEM = json.dumps(VALUES, separators=(",", ":")).encode()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(which: str, key: str, cert: str, keyfile: str, checkout: Path):
    """The floor, or the service of `checkout`, listening: its process and port."""
    port = free_port()
    if which == "floor":
        cmd = [sys.executable, str(HERE / "bare_stack.py"), str(port), cert, keyfile]
        path = f"{REPO}{os.pathsep}{HERE}"
    else:
        cmd = [sys.executable, "-m", "zox_service", "--port", str(port), "--api-key", key,
               "--cert", cert, "--key", keyfile, "--workers", "2"]
        path = str(checkout)
    proc = subprocess.Popen(cmd, cwd=str(HERE), env=dict(os.environ, PYTHONPATH=path),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            time.sleep(1.5)  # the edge listens before the application behind it
            return proc, port
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"{which} did not start")


def clients_main(port: int, ca: str, key: str, count: int, seconds: float, out: str) -> None:
    """In a child process: `count` kept-alive clients solving in a loop."""
    import http.client
    import ssl

    ctx = ssl.create_default_context(cafile=ca)
    solves, errors = [0] * count, [0]
    go = threading.Barrier(count + 1)

    def run(i: int) -> None:
        conn = http.client.HTTPSConnection("localhost", port, context=ctx)
        conn.connect()
        go.wait()
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            conn.request("POST", "/v0/app/sspu", PROBLEM,
                         {"x-api-key": key, "Content-Type": "application/json"})
            r = conn.getresponse()
            rid = json.loads(r.read())["requestId"]
            while True:
                conn.request("GET", f"/v0/result?requestId={rid}", headers={"x-api-key": key})
                r = conn.getresponse()
                body = r.read()
                if r.status != 202:
                    break
            if r.status == 200 and body[:2] == b"\x1f\x8b":
                solves[i] += 1
            else:
                errors[0] += 1

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    go.wait()
    for t in threads:
        t.join()
    with open(out, "w") as f:
        json.dump({"solves": sum(solves), "errors": errors[0]}, f)


def measure(proc, port: int, ca: str, key: str, count: int, seconds: float, client: str) -> dict:
    if client == "real":
        r = run_level((proc, f"https://localhost:{port}", ca), key, count, seconds)
        return {"rate": r["solves"] / r["wall"], "errors": r["errors"] + r["wrong"],
                "cpu_ms": 1000 * r["cpu"] / max(1, r["solves"])}
    before = cpu_seconds(proc.pid)
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        subprocess.run([sys.executable, __file__, "--clients-of", str(port), ca, key, str(count),
                        str(seconds), out.name], check=True, timeout=seconds + 120)
        r = json.load(out)
    cpu = cpu_seconds(proc.pid) - before
    return {"rate": r["solves"] / seconds, "errors": r["errors"],
            "cpu_ms": 1000 * cpu / max(1, r["solves"])}


def main() -> None:
    if len(sys.argv) == 8 and sys.argv[1] == "--clients-of":
        clients_main(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]),
                     float(sys.argv[6]), sys.argv[7])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--clients", default="1,8,64")
    ap.add_argument("--checkout", type=Path, default=REPO)
    ap.add_argument("--client", default="raw,real")
    ap.add_argument("--also", type=Path)
    a = ap.parse_args()
    sys.path.insert(0, str(REPO))
    from zox_service.devcert import dev_certificate

    key = secrets.token_hex(16)
    levels = [int(c) for c in a.clients.split(",")]
    kinds = a.client.split(",")
    checkouts = {"floor": a.checkout, "service": a.checkout}
    if a.also is not None:
        checkouts[f"service of {a.also}"] = a.also
    order = list(checkouts)
    runs: dict = {(k, w, c): [] for k in kinds for w in order for c in levels}
    with tempfile.TemporaryDirectory() as tmp:
        cert, keyfile = dev_certificate(tmp)
        servers = {which: start(which if which == "floor" else "service", key, cert, keyfile,
                                checkout) for which, checkout in checkouts.items()}
        try:
            for count in levels:
                for rnd in range(a.rounds):
                    for kind in kinds:
                        for which in (order if rnd % 2 == 0 else order[::-1]):
                            r = measure(*servers[which], cert, key, count, a.seconds, kind)
                            runs[(kind, which, count)].append(r)
                            print(f"{kind} client, {count} clients, round {rnd + 1}, {which}: "
                                  f"{r}", flush=True)
        finally:
            for proc, _ in servers.values():
                os.killpg(proc.pid, signal.SIGTERM)
                proc.wait(timeout=60)
    for kind in kinds:
        print(f"\n{kind} client:\n")
        print("| clients | floor solves/s | service solves/s | ratio | floor CPU ms/solve "
              "| service CPU ms/solve | errors |")
        print("|---:|---:|---:|---:|---:|---:|---:|")
        for which in order[1:]:
            if len(order) > 2:
                print(f"| {which} | | | | | | |")
            for count in levels:
                f, s = runs[(kind, "floor", count)], runs[(kind, which, count)]

                def mean(rs, k):
                    return sum(r[k] for r in rs) / len(rs)
                print(f"| {count} | {mean(f, 'rate'):.0f} | {mean(s, 'rate'):.0f} "
                      f"| {mean(s, 'rate') / mean(f, 'rate'):.2f} | {mean(f, 'cpu_ms'):.2f} "
                      f"| {mean(s, 'cpu_ms'):.2f} | {sum(r['errors'] for r in f + s)} |")


if __name__ == "__main__":
    main()
