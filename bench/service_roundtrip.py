"""Time of a solve through the shipped service against the same solve in-process, same run.

    python bench/service_roundtrip.py

Prints, per problem, both times, their ratio and the service's peak memory so far. The ratio is
the price of the default path: TLS, JSON, gzip and the poll on top of the solver itself.
"""
import os
import random
import secrets
import tempfile
import time
from pathlib import Path

from service_process import start_service

REPO = Path(__file__).resolve().parent.parent


def peak_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) // 1024 for line in f if line.startswith("VmHWM"))


def timed(zox, values, local):
    if local:
        os.environ["ZO_KILLSWITCH"] = "1"
    else:
        os.environ.pop("ZO_KILLSWITCH", None)
    t = time.perf_counter()
    words = zox.complete_subset_sum(values)
    return time.perf_counter() - t, words


def main():
    rng = random.Random(1)
    problems = {
        "[3, 5]": [3, 5],
        "100 values, total ~50k": [rng.randrange(1, 1000) for _ in range(100)],
        "200 values, total ~2M": [rng.randrange(1, 20000) for _ in range(200)],
        "1000 values, total ~100M": [rng.randrange(1, 200000) for _ in range(1000)],
        "100k values, total ~5M": [rng.randrange(1, 100) for _ in range(100000)],
    }
    key = secrets.token_hex(16)
    with tempfile.TemporaryDirectory() as cert_dir:
        proc, url, ca = start_service(REPO, key, cert_dir)
        try:
            os.environ.update(ZO_SERVICE_URL=url, ZO_CA_BUNDLE=ca)
            os.environ["ZO_API_KEY"] = key
            import zox

            print(f"{'problem':28} {'service s':>10} {'local s':>10} {'ratio':>8} {'svc MiB':>8}")
            for name, values in problems.items():
                remote_s, remote = timed(zox, values, local=False)
                local_s, local = timed(zox, values, local=True)
                assert remote == local, name
                print(f"{name:28} {remote_s:10.3f} {local_s:10.3f} {remote_s / local_s:8.1f} "
                      f"{peak_mib(proc.pid):8d}", flush=True)
        finally:
            proc.terminate()
            proc.wait(timeout=30)


if __name__ == "__main__":
    main()
