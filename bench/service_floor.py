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
import os
import secrets
import sys
import tempfile
from pathlib import Path

from keepalive import kept_alive
from service_load import cpu_seconds, mean, run_level
from service_process import free_port, serve, start_bare, stop

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def start(which: str, key: str, cert: str, keyfile: str, checkout: Path):
    """The floor, or the service of `checkout`, listening: its process and URL."""
    if which == "floor":
        return start_bare(cert, keyfile)
    port = free_port()
    cmd = [sys.executable, "-m", "zox_service", "--port", str(port), "--api-key", key,
           "--cert", cert, "--key", keyfile, "--workers", "2"]
    proc = serve(cmd, port, dict(os.environ, PYTHONPATH=str(checkout)), HERE, settle=1.5)
    return proc, f"https://localhost:{port}"


def measure(proc, url: str, ca: str, key: str, count: int, seconds: float, client: str) -> dict:
    if client == "real":
        r = run_level((proc, url, ca), key, count, seconds)
        return {"rate": r["solves"] / r["wall"], "errors": r["errors"] + r["wrong"],
                "cpu_ms": 1000 * r["cpu"] / max(1, r["solves"])}
    before = cpu_seconds(proc.pid)
    r = kept_alive(url, ca, key, count, seconds)
    cpu = cpu_seconds(proc.pid) - before
    return {"rate": r["solves"] / seconds, "errors": r["errors"],
            "cpu_ms": 1000 * cpu / max(1, r["solves"])}


def main() -> None:
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
        servers = {}
        try:
            for which, checkout in checkouts.items():
                servers[which] = start(which if which == "floor" else "service", key, cert,
                                       keyfile, checkout)
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
                stop(proc)
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
                print(f"| {count} | {mean(f, 'rate'):.0f} | {mean(s, 'rate'):.0f} "
                      f"| {mean(s, 'rate') / mean(f, 'rate'):.2f} | {mean(f, 'cpu_ms'):.2f} "
                      f"| {mean(s, 'cpu_ms'):.2f} | {sum(r['errors'] for r in f + s)} |")


if __name__ == "__main__":
    main()
