"""The processes an operator runs, started for a benchmark: redis-server, a front end (embedded or
on Redis), a solver worker; what is read of them from outside (RSS, metrics, raw requests); and a
key that floods a front end with problems, run in a process of its own."""
import gzip
import http.client
import json
import os
import random
import re
import ssl
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from service_process import free_port

REPO = Path(__file__).resolve().parent.parent


def rss_mib(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) / 1024 for line in f if line.startswith("VmRSS"))


def percentile(samples, p: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else float("nan")


class Redis:
    """A redis-server of its own, without persistence unless `args` ask for it."""

    def __init__(self, workdir: str, *args: str):
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.proc = subprocess.Popen(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--dir", workdir, "--loglevel", "warning", *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        import redis
        self.client = redis.Redis(port=self.port)
        deadline = time.monotonic() + 10
        while True:
            try:
                self.client.ping()
                return
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(10)


class Process:
    """`python -m zox_service ...` from this checkout; `ready` is the line that says it serves."""

    def __init__(self, args, ready: str):
        env = dict(os.environ, PYTHONPATH=str(REPO))
        env.pop("ZO_KILLSWITCH", None)
        self.proc = subprocess.Popen([sys.executable, "-m", "zox_service", *args], cwd=REPO,
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        self.url = self.ca = None
        for line in self.proc.stdout:
            if "ZO_CA_BUNDLE=" in line:
                self.ca = line.split("ZO_CA_BUNDLE=", 1)[1].strip()
            if line.startswith(ready):
                found = re.search(r"https://\S+", line)
                self.url = found.group(0) if found else None
                break
        else:
            raise RuntimeError(f"zox_service {args} did not start")
        # Keep reading, so a chatty service never blocks on a full pipe.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    @property
    def pid(self) -> int:
        return self.proc.pid

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


class FrontEnd(Process):
    def __init__(self, cert_dir: str, keys, *args: str):
        key_args = [a for k in keys for a in ("--api-key", k)]
        super().__init__(["--port", "0", "--cert-dir", cert_dir, *key_args, *args],
                         "zox_service listening on ")
        self.port = int(self.url.rsplit(":", 1)[1])
        self.context = ssl.create_default_context(cafile=self.ca)

    def aim_client(self, key: str) -> None:
        """Points the zox client of this process at this front end, with `key`."""
        os.environ.update(ZO_SERVICE_URL=self.url, ZO_CA_BUNDLE=self.ca, ZO_API_KEY=key)

    def connection(self) -> http.client.HTTPSConnection:
        return http.client.HTTPSConnection("localhost", self.port, context=self.context,
                                           timeout=120)

    def request(self, conn, method: str, path: str, key: str, body=None):
        conn.request(method, path, body=body, headers={"x-api-key": key})
        r = conn.getresponse()
        return r.status, r.read()

    def submit(self, conn, key: str, values):
        """(status, request id or the refusal's message)."""
        status, body = self.request(conn, "POST", "/v0/app/sspu", key, json.dumps(values))
        answer = json.loads(body)
        return status, answer.get("requestId", answer.get("message"))

    def fetch(self, conn, key: str, request_id: str) -> bytes:
        """The result's inflated bytes, polled until ready."""
        while True:
            status, body = self.request(conn, "GET", f"/v0/result?requestId={request_id}", key)
            if status == 200:
                return gzip.decompress(body)
            if status != 202:
                raise RuntimeError(f"poll answered {status}: {body[:200]!r}")

    def metric(self, name: str) -> float:
        """The sum of a metric's samples whose line starts with `name` (labels included)."""
        conn = self.connection()
        try:
            _, body = self.request(conn, "GET", "/metrics", "")
        finally:
            conn.close()
        return sum(float(line.rsplit(" ", 1)[1]) for line in body.decode().splitlines()
                   if line.startswith(name))


class Worker(Process):
    def __init__(self, redis_url: str, *args: str):
        super().__init__(["worker", "--redis", redis_url, *args], "zox_service worker solving")


def flood(port: int, ca: str) -> int:
    """Key A submits 2,000 problems of 16 values near 1e5 over 4 connections, coming back after a
    refusal; returns the refusals."""
    rng = random.Random(2)
    problems = [json.dumps([rng.randrange(95_000, 105_000) for _ in range(16)])
                for _ in range(2000)]
    refused = [0]

    def submit_all(part):
        conn = http.client.HTTPSConnection("localhost", port, timeout=120,
                                           context=ssl.create_default_context(cafile=ca))
        for body in part:
            while True:
                conn.request("POST", "/v0/app/sspu", body, {"x-api-key": "A"})
                r = conn.getresponse()
                r.read()
                if r.status == 200:
                    break
                refused[0] += 1
                time.sleep(0.05)
        conn.close()
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(submit_all, [problems[i::4] for i in range(4)]))
    return refused[0]
