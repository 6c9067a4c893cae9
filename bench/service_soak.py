"""The service held under mixed load for minutes: RSS of every service process through the run, and
the errors of the clients that fetch every result, for the embedded store and for Redis (one front
end, two solver workers), one after the other.

    python bench/service_soak.py [--minutes 5] [--stores embedded,redis] [--sample 10]

32 clients on kept-alive connections, each class with a key of its own:
- 8 solve small problems and 4 medium ones through the real zox client, and check every answer
  against the in-process solve;
- 4 ask the real client which values make a target, and check the indices;
- 8 submit and fetch small problems over a raw kept-alive connection;
- 8 submit small and medium problems over a raw connection and never fetch them.
Results live for --result-ttl 60 s (an operator's setting), so what the abandoning clients leave
is freed during the run and memory reaches its steady state within the first minute; the end is
compared with the highest RSS of that first minute (goal: at most 1.2x), and the fetching
clients' errors with 0. Writes nothing: bench/service_soak.md holds a run.
"""
import argparse
import http.client
import json
import os
import random
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from operator_peers import FrontEnd, Redis, Worker  # noqa: E402
from service_process import process_tree  # noqa: E402

TTL = ["--result-ttl", "60", "--delivered-ttl", "10"]
# Class: (clients, key); the fetching classes' errors are the goal's.
CLASSES = {"small": (8, "soak-small"), "medium": (4, "soak-medium"),
           "witness": (4, "soak-witness"), "raw": (8, "soak-raw"), "abandon": (8, "soak-abandon")}
FETCHING = ("small", "medium", "witness", "raw")


def problem(rng: random.Random, kind: str) -> list:
    if kind == "medium":  # a few hundred KB of bitset: sent in windows, compressed on a thread
        return [rng.randrange(1, 200_000) for _ in range(rng.randrange(20, 60))]
    return [rng.randrange(1, 1000) for _ in range(rng.randrange(5, 25))]


def client_main(kind: str, count: int, seconds: float, out: str) -> None:
    """In a child process, with the service's address, CA and this class's key in the environment:
    `count` clients of `kind` until `seconds` pass; writes what they saw to `out`."""
    import zox

    url, ca, key = (os.environ[k] for k in ("ZO_SERVICE_URL", "ZO_CA_BUNDLE", "ZO_API_KEY"))
    host, port = url.rsplit("/", 1)[1].rsplit(":", 1)
    stop = time.monotonic() + seconds
    lock = threading.Lock()
    seen = {"calls": 0, "errors": 0, "refused": 0, "first_errors": [], "first_refusals": []}

    def note(error=None, refused=None) -> None:
        with lock:
            seen["calls"] += 1
            if refused is not None:
                seen["refused"] += 1
                if len(seen["first_refusals"]) < 3 and refused not in seen["first_refusals"]:
                    seen["first_refusals"].append(refused)
            if error is not None:
                seen["errors"] += 1
                if len(seen["first_errors"]) < 5:
                    seen["first_errors"].append(str(error)[:200])

    def real(i: int) -> None:
        rng = random.Random(i)
        while time.monotonic() < stop:
            values = problem(rng, "medium" if kind == "medium" else "small")
            try:
                if kind == "witness":
                    values = [rng.randrange(1, 10**6) for _ in range(40)]
                    picked = [v for v in values if rng.random() < 0.5]
                    found = zox.subset_with_sum(values, sum(picked))
                    ok = found is not None and sum(values[j] for j in found) == sum(picked)
                else:
                    words = zox.complete_subset_sum(values)
                    ok = words == list(zox._solve_local_array(array("Q", values), 1))
                note(None if ok else f"wrong answer for {values}")
            except Exception as e:
                note(f"{type(e).__name__}: {e}")

    def raw(i: int) -> None:
        rng = random.Random(100 + i)
        ctx = ssl.create_default_context(cafile=ca)
        conn = http.client.HTTPSConnection(host, int(port), context=ctx, timeout=60)
        headers = {"x-api-key": key, "Content-Type": "application/json"}
        while time.monotonic() < stop:
            medium = kind == "abandon" and rng.random() < 0.2
            values = problem(rng, "medium" if medium else "small")
            try:
                conn.request("POST", "/v0/app/sspu", json.dumps(values), headers)
                r = conn.getresponse()
                answer = json.loads(r.read())
                if r.status != 200:
                    text = str(answer.get("message"))[:120]
                    note(None if kind == "abandon" else text, refused=text)
                    time.sleep(1.0)
                    continue
                if kind == "abandon":
                    note()
                    time.sleep(0.05)
                    continue
                while True:
                    conn.request("GET", f"/v0/result?requestId={answer['requestId']}",
                                 headers=headers)
                    r = conn.getresponse()
                    body = r.read()
                    if r.status != 202:
                        break
                ok = r.status == 200 and body[:2] == b"\x1f\x8b"
                note(None if ok else f"poll answered {r.status}: {body[:100]!r}")
            except (OSError, http.client.HTTPException, ValueError) as e:
                note(f"{type(e).__name__}: {e}")
                conn.close()
                conn = http.client.HTTPSConnection(host, int(port), context=ctx, timeout=60)

    run = raw if kind in ("raw", "abandon") else real
    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    with open(out, "w") as f:
        json.dump(seen, f)


def rss_by_process(pid: int) -> dict:
    """RSS in MiB of `pid` and each of its descendants, by "name pid"."""
    return {f"{p['name']} {n}": p["rss_mib"] for n, p in process_tree(pid).items()}


def soak(store: str, minutes: float, every: float, work: str) -> dict:
    cert_dir = str(Path(work) / "certs")
    keys = [key for _, key in CLASSES.values()]
    roles = {}
    redis = front = None
    workers = []
    try:
        if store == "redis":
            redis = Redis(work)
            front = FrontEnd(cert_dir, keys, "--redis", redis.url, "--workers", "0", *TTL)
            workers = [Worker(redis.url, "--workers", "2") for _ in range(2)]
            roles = {"redis": redis.proc.pid, "front end": front.pid,
                     **{f"worker {i + 1}": w.pid for i, w in enumerate(workers)}}
        else:
            front = FrontEnd(cert_dir, keys, *TTL)
            roles = {"front end": front.pid}
        seconds = 60 * minutes
        clients = []
        outs = {}
        for kind, (count, key) in CLASSES.items():
            outs[kind] = tempfile.NamedTemporaryFile("r", suffix=".json", dir=work, delete=False)
            env = dict(os.environ, ZO_SERVICE_URL=front.url, ZO_CA_BUNDLE=front.ca,
                       ZO_API_KEY=key)
            env.pop("ZO_KILLSWITCH", None)
            clients.append(subprocess.Popen(
                [sys.executable, __file__, "--client", kind, str(count), str(seconds),
                 outs[kind].name], env=env, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL))
        started = time.monotonic()
        samples = []
        print(f"## {store}: RSS MiB of every service process, every {every:g} s", flush=True)
        while any(c.poll() is None for c in clients):
            t = time.monotonic() - started
            row = {f"{role}: {name}": mib for role, pid in roles.items()
                   for name, mib in rss_by_process(pid).items()}
            samples.append((t, row))
            print(f"{t:6.0f} s  total {sum(row.values()):7.1f}  " + ", ".join(
                f"{name} {mib:.1f}" for name, mib in row.items()), flush=True)
            time.sleep(every if t + every < seconds else max(1.0, seconds - t))
        seen = {kind: json.load(open(outs[kind].name)) if os.path.getsize(outs[kind].name)
                else {"calls": 0, "errors": -1, "refused": 0, "first_errors": ["no report"],
                      "first_refusals": []}
                for kind in CLASSES}
        return {"samples": samples, "seen": seen}
    finally:
        for p in [front, *workers, redis]:
            if p is not None:
                p.stop()


def report(store: str, got: dict) -> None:
    samples = got["samples"]
    first = [row for t, row in samples if t <= 60] or [samples[0][1]]
    end = samples[-1][1]
    print(f"\n| {store}: process | first minute's highest RSS MiB | end RSS MiB | end / first "
          "minute |")
    print("|---|---:|---:|---:|")
    for name in end:
        peak = max(row.get(name, 0.0) for row in first)
        print(f"| {name} | {peak:.1f} | {end[name]:.1f} | {end[name] / max(peak, 1e-9):.2f} |")
    peak = max(sum(row.values()) for row in first)
    total = sum(end.values())
    print(f"| all | {peak:.1f} | {total:.1f} | {total / peak:.2f} |")
    print(f"\n| {store}: clients | calls | errors | refused | first errors or refusals |")
    print("|---|---:|---:|---:|---|")
    for kind, seen in got["seen"].items():
        errors = seen["errors"] if kind in FETCHING else "-"
        print(f"| {kind} ({CLASSES[kind][0]}) | {seen['calls']} | {errors} | {seen['refused']} "
              f"| {'; '.join((seen['first_errors'] or seen['first_refusals'])[:2])} |")
    fetch_errors = sum(got["seen"][k]["errors"] for k in FETCHING)
    print(f"\nGoals: end RSS at most 1.2x the first minute's ({total / peak:.2f}x); 0 errors for "
          f"the clients that fetch every result ({fetch_errors}).", flush=True)


def main() -> None:
    if len(sys.argv) == 6 and sys.argv[1] == "--client":
        client_main(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), sys.argv[5])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=5.0)
    ap.add_argument("--stores", default="embedded,redis")
    ap.add_argument("--sample", type=float, default=10.0, help="seconds between RSS samples")
    a = ap.parse_args()
    for store in a.stores.split(","):
        with tempfile.TemporaryDirectory() as work:
            report(store, soak(store, a.minutes, a.sample, work))


if __name__ == "__main__":
    main()
