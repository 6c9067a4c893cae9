"""The service against a bare Starlette app on the same stack (the nginx edge, uvicorn with uvloop
and httptools on its unix socket, TLS), in one run: memory left by closed keep-alive connections,
and kept-alive throughput.

    python bench/service_edge.py [--connections 10000] [--seconds 5] [--levels 1,8,64]

- memory: RSS of the whole stack (application and nginx processes) before and after
  `--connections` keep-alive connections that each make two /healthz requests and close;
- throughput: clients on kept-alive connections, each submitting a small problem and polling its
  result in a loop; the bare app answers the same two requests with fixed bodies, behind the edge
  and on uvicorn alone (TLS, no edge: what the edge costs). The stacks run back to back at each
  level, so their ratios share the machine's conditions.
"""
import argparse
import http.client
import json
import os
import secrets
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO))
sys.path.insert(0, str(HERE))
from service_process import start_service  # noqa: E402

REQUEST_ID = "0" * 32
PAYLOAD = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xe3d\x04\x00\xd9\xa0\x17\x8b\x02\x00\x00\x00"


def bare_main(port: int, cert: str, key: str, direct: bool) -> None:
    """The bare stack: the same edge, and a Starlette app with the two answers a solve takes;
    `direct`: the same app on uvicorn alone, with TLS, no edge (what the edge costs)."""
    import uvicorn
    from starlette.applications import Starlette
    from starlette.responses import Response
    from starlette.routing import Route

    from zox_service.http.edge import Edge, find_nginx, render
    from zox_service.limits import Limits

    async def submit(request):
        await request.body()
        return Response(b'{"requestId":"%s"}' % REQUEST_ID.encode(),
                        media_type="application/json")

    async def result(request):
        return Response(PAYLOAD, media_type="application/gzip")

    async def healthz(request):
        return Response(b'{"status":"ok"}', media_type="application/json")

    app = Starlette(routes=[Route("/v0/app/sspu", submit, methods=["POST"]),
                            Route("/v0/result", result), Route("/healthz", healthz)])
    if direct:
        print(f"bare listening on https://localhost:{port}", flush=True)
        uvicorn.run(app, host="127.0.0.1", port=port, ssl_certfile=cert, ssl_keyfile=key,
                    loop="uvloop", http="httptools", log_level="warning")
        return
    edge = Edge(find_nginx() or "nginx")
    edge.start(render(Limits(), "127.0.0.1", port, cert, key, edge.run_dir), "127.0.0.1", port)
    print(f"bare listening on https://localhost:{port}", flush=True)
    try:
        uvicorn.run(app, uds=edge.socket_path, loop="uvloop", http="httptools",
                    log_level="warning", timeout_keep_alive=75)
    finally:
        edge.stop(5)


def start_bare(cert: str, key: str, direct: bool = False):
    from zox_service.http.edge import free_port

    port = free_port("127.0.0.1")
    proc = subprocess.Popen([sys.executable, __file__, "--direct" if direct else "--bare",
                             str(port), cert, key],
                            stdout=subprocess.PIPE, text=True, start_new_session=True)
    for line in proc.stdout:
        if line.startswith("bare listening"):
            break
    threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
    time.sleep(1)
    return proc, f"https://localhost:{port}"


def tree_rss_mib(pid: int) -> float:
    """RSS of a process and its descendants (nginx runs in its own session, below the app)."""
    children = {}
    rss = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status") as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        children.setdefault(int(status["PPid"]), []).append(int(entry))
        rss[int(entry)] = int(status.get("VmRSS", "0 kB").split()[0]) / 1024
    total, todo = 0.0, [pid]
    while todo:
        p = todo.pop()
        total += rss.get(p, 0.0)
        todo += children.get(p, [])
    return total


def closed_connections(url: str, ca: str, n: int, threads: int = 4) -> None:
    host, port = url.rsplit("/", 1)[1].split(":")
    ctx = ssl.create_default_context(cafile=ca)

    def run(count: int) -> None:
        for _ in range(count):
            conn = http.client.HTTPSConnection(host, int(port), context=ctx)
            for _ in range(2):
                conn.request("GET", "/healthz")
                conn.getresponse().read()
            conn.close()
    workers = [threading.Thread(target=run, args=(n // threads,)) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def client_main(url: str, ca: str, key: str, clients: int, seconds: float) -> None:
    """Runs in a child process: kept-alive submit-and-poll loops; prints requests answered."""
    host, port = url.rsplit("/", 1)[1].split(":")
    ctx = ssl.create_default_context(cafile=ca)
    counts, errors = [], []

    def run() -> None:
        n = 0
        conn = http.client.HTTPSConnection(host, int(port), context=ctx)
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            conn.request("POST", "/v0/app/sspu", b"[3,5,7]", {"x-api-key": key})
            r = conn.getresponse()
            rid = json.loads(r.read())["requestId"]
            conn.request("GET", f"/v0/result?requestId={rid}", headers={"x-api-key": key})
            r = conn.getresponse()
            r.read()
            if r.status != 200:
                errors.append(r.status)
            n += 1
        counts.append(n)
    workers = [threading.Thread(target=run) for _ in range(clients)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print(json.dumps({"solves": sum(counts), "errors": len(errors)}))


def throughput(url: str, ca: str, key: str, clients: int, seconds: float) -> dict:
    done = subprocess.run([sys.executable, __file__, "--client", url, ca, key, str(clients),
                           str(seconds)], capture_output=True, text=True, check=True, timeout=300)
    r = json.loads(done.stdout)
    return {"rate": r["solves"] / seconds, "errors": r["errors"]}


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] in ("--bare", "--direct"):
        bare_main(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[1] == "--direct")
        return
    if len(sys.argv) == 7 and sys.argv[1] == "--client":
        client_main(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), float(sys.argv[6]))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--connections", type=int, default=10_000)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--levels", default="1,8,64")
    a = ap.parse_args()
    key = secrets.token_hex(16)
    from zox_service.devcert import dev_certificate

    with tempfile.TemporaryDirectory() as tmp:
        cert, keyfile = dev_certificate(tmp)
        service, url, ca = start_service(REPO, key, tmp)
        bare, bare_url = start_bare(cert, keyfile)
        direct, direct_url = start_bare(cert, keyfile, direct=True)
        try:
            closed_connections(url, ca, 200)  # warm up: caches, pools, the allocator's arenas
            before = tree_rss_mib(service.pid)
            t0 = time.monotonic()
            closed_connections(url, ca, a.connections)
            took = time.monotonic() - t0
            time.sleep(2)
            after = tree_rss_mib(service.pid)
            print(f"{a.connections} closed keep-alive connections ({took:.0f} s): service stack "
                  f"RSS {before:.1f} -> {after:.1f} MiB, growth {after - before:+.1f} MiB",
                  flush=True)
            print("| clients | bare app, uvicorn alone | bare app, edge | service, edge "
                  "| service / bare app, edge | edge / uvicorn alone | errors |")
            print("|---:|---:|---:|---:|---:|---:|---:|")
            for clients in (int(x) for x in a.levels.split(",")):
                d = throughput(direct_url, ca, key, clients, a.seconds)
                b = throughput(bare_url, ca, key, clients, a.seconds)
                s = throughput(url, ca, key, clients, a.seconds)
                print(f"| {clients} | {d['rate']:.0f} | {b['rate']:.0f} | {s['rate']:.0f} | "
                      f"{s['rate'] / max(b['rate'], 1e-9):.2f} | "
                      f"{b['rate'] / max(d['rate'], 1e-9):.2f} | "
                      f"{s['errors'] + b['errors'] + d['errors']} |", flush=True)
        finally:
            for proc in (service, bare, direct):
                proc.terminate()
                proc.wait(timeout=60)


if __name__ == "__main__":
    main()
