"""Kept-alive clients for the service benchmarks: threads that each hold one TLS connection,
submit a small problem and poll for its answer in a loop, in a child process of their own so that
the measuring process and the server do not share an interpreter with them.

    python bench/keepalive.py URL CA KEY CLIENTS SECONDS   (prints the counts as JSON)
"""
import http.client
import json
import ssl
import subprocess
import sys
import threading
import time
from urllib.parse import urlsplit

from service_load import PROBLEM

# The problem bench/bare_stack.py answers, as the real client sends it.
BODY = json.dumps(PROBLEM, separators=(",", ":")).encode()


def clients_main(url: str, ca: str, key: str, count: int, seconds: float) -> dict:
    """`count` clients for `seconds`: solves (a gzip answer), requests made and errors."""
    where = urlsplit(url)
    ctx = ssl.create_default_context(cafile=ca)
    headers = {"x-api-key": key, "Content-Type": "application/json"}
    solves, requests, errors = [0] * count, [0] * count, [0] * count
    go = threading.Barrier(count + 1)

    def connect() -> http.client.HTTPSConnection:
        conn = http.client.HTTPSConnection(where.hostname, where.port, context=ctx, timeout=60)
        conn.connect()
        return conn

    def exchange(conn, method: str, path: str, i: int, body=None):
        conn.request(method, path, body, headers)
        r = conn.getresponse()
        requests[i] += 1
        return r, r.read()

    def run(i: int) -> None:
        try:
            conn = connect()
        except OSError:
            go.abort()  # the others and the caller learn at once that a client is missing
            raise
        go.wait()
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            try:
                r, body = exchange(conn, "POST", "/v0/app/sspu", i, BODY)
                if r.status == 200:
                    poll = f"/v0/result?requestId={json.loads(body)['requestId']}"
                    r, body = exchange(conn, "GET", poll, i)
                    while r.status == 202:
                        r, body = exchange(conn, "GET", poll, i)
                ok = r.status == 200 and body[:2] == b"\x1f\x8b"
            except (OSError, http.client.HTTPException, ValueError, KeyError):
                ok = False
                conn.close()
                conn = connect()
            solves[i] += ok
            errors[i] += not ok

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    go.wait()
    for t in threads:
        t.join()
    return {"solves": sum(solves), "requests": sum(requests), "errors": sum(errors)}


def kept_alive(url: str, ca: str, key: str, count: int, seconds: float) -> dict:
    """Runs `clients_main` in a child process and returns what it counted."""
    done = subprocess.run([sys.executable, __file__, url, ca, key, str(count), str(seconds)],
                          capture_output=True, text=True, check=True, timeout=seconds + 120)
    return json.loads(done.stdout)


if __name__ == "__main__":
    url, ca, key, count, seconds = sys.argv[1:6]
    print(json.dumps(clients_main(url, ca, key, int(count), float(seconds))))
