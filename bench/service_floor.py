"""The embedded service against its floor: a bare Starlette app answering the same two requests on
the same stack (uvicorn, httptools, uvloop, TLS), in one run.

    python bench/service_floor.py [--seconds 2] [--rounds 6] [--clients 1,8,64] [--checkout DIR]

Each client is a thread with a kept-alive TLS connection that submits a small problem and polls
for its result in a loop; both servers run throughout and are measured at each number of clients
alternately, in short rounds, so that their ratio is taken under the same conditions. The floor
answers the submit with a request id and the poll with a fixed gzip payload: what any service must
do for a solve, without keys, quotas, a store or a solver. Prints solves/s and server CPU per
solve, and the service's ratio to the floor. --checkout runs the zox_service of another checkout.
"""
import argparse
import gzip
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

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
PROBLEM = b"[3,5,7]"
# The sums of 3, 5 and 7 as the service sends them: one little-endian word, gzipped.
PAYLOAD = gzip.compress(sum(1 << s for s in (0, 3, 5, 7, 8, 10, 12, 15)).to_bytes(8, "little"))


def floor_app():
    """The bare application: the two answers of a solve, nothing else."""
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import Response
    from starlette.routing import Route

    async def submit(request: Request) -> Response:
        await request.body()
        body = json.dumps({"requestId": secrets.token_hex(16)}, separators=(",", ":"))
        return Response(body.encode(), media_type="application/json")

    async def result(request: Request) -> Response:
        return Response(PAYLOAD, media_type="application/gzip")

    return Starlette(routes=[Route("/v0/app/sspu", submit, methods=["POST"]),
                             Route("/v0/result", result, methods=["GET"])])


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start(which: str, key: str, cert: str, keyfile: str, checkout: Path):
    port = free_port()
    if which == "floor":
        cmd = [sys.executable, "-m", "uvicorn", "--factory", "service_floor:floor_app",
               "--http", "httptools", "--loop", "uvloop", "--port", str(port),
               "--ssl-certfile", cert, "--ssl-keyfile", keyfile, "--no-access-log",
               "--no-server-header", "--no-proxy-headers", "--log-level", "warning"]
        path = str(HERE)
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
            time.sleep(0.5)
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


def measure(proc, port: int, ca: str, key: str, count: int, seconds: float) -> dict:
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
    a = ap.parse_args()
    sys.path.insert(0, str(REPO))
    from zox_service.devcert import dev_certificate

    key = secrets.token_hex(16)
    levels = [int(c) for c in a.clients.split(",")]
    runs: dict = {(w, c): [] for w in ("floor", "service") for c in levels}
    with tempfile.TemporaryDirectory() as tmp:
        cert, keyfile = dev_certificate(tmp)
        servers = {which: start(which, key, cert, keyfile, a.checkout)
                   for which in ("floor", "service")}
        try:
            for count in levels:
                for rnd in range(a.rounds):
                    for which in (("floor", "service") if rnd % 2 == 0 else ("service", "floor")):
                        r = measure(*servers[which], cert, key, count, a.seconds)
                        runs[(which, count)].append(r)
                        print(f"{count} clients, round {rnd + 1}, {which}: {r}", flush=True)
        finally:
            for proc, _ in servers.values():
                os.killpg(proc.pid, signal.SIGTERM)
                proc.wait(timeout=60)
    print("| clients | floor solves/s | service solves/s | ratio | floor CPU ms/solve "
          "| service CPU ms/solve | errors |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for count in levels:
        f, s = runs[("floor", count)], runs[("service", count)]

        def mean(rs, k):
            return sum(r[k] for r in rs) / len(rs)
        print(f"| {count} | {mean(f, 'rate'):.0f} | {mean(s, 'rate'):.0f} "
              f"| {mean(s, 'rate') / mean(f, 'rate'):.2f} | {mean(f, 'cpu_ms'):.2f} "
              f"| {mean(s, 'cpu_ms'):.2f} | {sum(r['errors'] for r in f + s)} |")


if __name__ == "__main__":
    main()
