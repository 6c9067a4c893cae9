"""The service's routes on three asynchronous server stacks, side by side in one run.

    python bench/service_stacks.py [--seconds 5] [--rounds 2]
                                   [--stacks uvicorn,hypercorn,granian]

The same Starlette application (routes, in-process store, solvers) is served by uvicorn with uvloop
and httptools (as `python -m zox_service` does, behind its nginx edge), by hypercorn on uvloop,
and by granian; each behind TLS with the same certificate. Per stack and round:
- the real zox client, 32 threads solving in a loop (a new TLS connection per request): solves/s
  and the server's CPU per solve;
- 8 threads submitting and polling on kept-alive connections: requests answered per second of
  server CPU.
Stacks are interleaved round by round so that they share the machine's conditions.
"""
import argparse
import os
import secrets
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
import service_load  # noqa: E402
from service_load import mean  # noqa: E402
from keepalive import kept_alive  # noqa: E402
from service_process import free_port, process_tree, serve, stop  # noqa: E402


def app_factory():
    """The application as the front end builds it, for servers that import it by name."""
    from zox_service.http.app import build_app
    from zox_service.http.service import Service
    from zox_service.limits import Limits
    from zox_service.metrics import Metrics
    from zox_service.solver import Solvers
    from zox_service.stores.memory import MemoryStore

    limits = Limits()
    metrics = Metrics()
    store = MemoryStore(limits)
    return build_app(Service(store, limits, [os.environb[b"ZO_STACK_KEY"]], metrics,
                             Solvers(store, 2, metrics, 10.0)))


def tree_cpu(pid: int) -> float:
    """CPU seconds of a stack: the server, its workers and, for uvicorn, the nginx edge."""
    return sum(p["cpu_s"] for p in process_tree(pid).values())


def start(stack: str, key: str, cert: str, keyfile: str):
    port = free_port()
    env = dict(os.environ, ZO_STACK_KEY=key, ZO_KILLSWITCH="1",
               PYTHONPATH=os.pathsep.join([str(REPO), str(HERE)]))
    if stack == "uvicorn":
        cmd = [sys.executable, "-m", "zox_service", "--port", str(port), "--api-key", key,
               "--cert", cert, "--key", keyfile, "--workers", "2"]
    elif stack == "hypercorn":
        cmd = [sys.executable, "-m", "hypercorn", "--worker-class", "uvloop", "--bind",
               f"127.0.0.1:{port}", "--certfile", cert, "--keyfile", keyfile,
               "service_stacks:app_factory()"]
    else:
        cmd = [sys.executable, "-m", "granian", "--interface", "asgi", "--loop", "uvloop",
               "--host", "127.0.0.1", "--port", str(port), "--ssl-certificate", cert,
               "--ssl-keyfile", keyfile, "--factory", "--workers", "1", "--no-log",
               "service_stacks:app_factory"]
    return serve(cmd, port, env, HERE, settle=0.5), f"https://localhost:{port}", cert


def measure(stack, proc, url, ca, key, seconds):
    before = tree_cpu(proc.pid)
    raw = service_load.run_level((proc, url, ca), key, 32, seconds)
    r = service_load.pooled([raw])
    r["cpu_ms_per_solve"] = 1000 * (tree_cpu(proc.pid) - before) / max(1, raw["solves"])
    before = tree_cpu(proc.pid)
    ka = kept_alive(url, ca, key, 8, seconds)
    cpu = tree_cpu(proc.pid) - before
    return {"solves_per_s": r["rate"], "p99": r["p99"],
            "errors": r["errors"] + r["wrong"] + ka["errors"],
            "cpu_ms_per_solve": r["cpu_ms_per_solve"],
            "keep_alive_requests_per_cpu_s": ka["requests"] / max(cpu, 1e-9)}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--stacks", default="uvicorn,hypercorn,granian")
    a = ap.parse_args()
    sys.path.insert(0, str(REPO))
    from zox_service.devcert import dev_certificate

    key = secrets.token_hex(16)
    results = {s: [] for s in a.stacks.split(",")}
    with tempfile.TemporaryDirectory() as tmp:
        cert, keyfile = dev_certificate(tmp)
        for rnd in range(a.rounds):
            for stack in results:
                proc, url, ca = start(stack, key, cert, keyfile)
                try:
                    r = measure(stack, proc, url, ca, key, a.seconds)
                finally:
                    stop(proc)
                results[stack].append(r)
                print(f"round {rnd + 1} {stack}: {r}", flush=True)
    print("| stack | solves/s, 32 clients | server CPU ms/solve | p99 s | errors "
          "| kept-alive requests per server CPU s |")
    print("|---|---:|---:|---:|---:|---:|")
    for stack, rs in results.items():
        print(f"| {stack} | {mean(rs, 'solves_per_s'):.0f} | {mean(rs, 'cpu_ms_per_solve'):.2f} "
              f"| {mean(rs, 'p99'):.3f} | {sum(r['errors'] for r in rs)} "
              f"| {mean(rs, 'keep_alive_requests_per_cpu_s'):.0f} |")


if __name__ == "__main__":
    main()
