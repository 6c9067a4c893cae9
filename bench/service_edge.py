"""The service against a bare Starlette app on the same stack (the nginx edge, uvicorn with uvloop
and httptools on its unix socket, TLS), in one run: memory left by closed keep-alive connections,
and kept-alive throughput.

    python bench/service_edge.py [--connections 10000] [--seconds 5] [--levels 1,8,64]

- memory: RSS of the whole stack (application and nginx processes) before and after
  `--connections` keep-alive connections that each make two /healthz requests and close;
- throughput: clients on kept-alive connections, each submitting a small problem and polling its
  result in a loop; the bare app (bench/bare_stack.py) answers the same two requests with fixed
  bodies, behind the edge and on uvicorn alone (TLS, no edge: what the edge costs). The stacks
  run back to back at each level, so their ratios share the machine's conditions.
"""
import argparse
import http.client
import secrets
import ssl
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO))
sys.path.insert(0, str(HERE))
from keepalive import kept_alive  # noqa: E402
from service_process import process_tree, start_bare, start_service, stop  # noqa: E402


def rss_mib(pid: int) -> float:
    """RSS of the stack: the application and its nginx, which runs below it."""
    return sum(p["rss_mib"] for p in process_tree(pid).values())


def throughput(url: str, ca: str, key: str, clients: int, seconds: float) -> dict:
    r = kept_alive(url, ca, key, clients, seconds)
    return {"rate": r["solves"] / seconds, "errors": r["errors"]}


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


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--connections", type=int, default=10_000)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--levels", default="1,8,64")
    a = ap.parse_args()
    key = secrets.token_hex(16)
    from zox_service.devcert import dev_certificate

    with tempfile.TemporaryDirectory() as tmp:
        cert, keyfile = dev_certificate(tmp)
        procs = []
        try:
            service, url, ca = start_service(REPO, key, tmp)
            procs.append(service)
            bare, bare_url = start_bare(cert, keyfile)
            procs.append(bare)
            direct, direct_url = start_bare(cert, keyfile, direct=True)
            procs.append(direct)
            closed_connections(url, ca, 200)  # warm up: caches, pools, the allocator's arenas
            before = rss_mib(service.pid)
            t0 = time.monotonic()
            closed_connections(url, ca, a.connections)
            took = time.monotonic() - t0
            time.sleep(2)
            after = rss_mib(service.pid)
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
            for proc in procs:
                stop(proc)


if __name__ == "__main__":
    main()
