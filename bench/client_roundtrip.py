"""Milliseconds the client adds per small remote solve, over a raw keep-alive client, same service.

    python bench/client_roundtrip.py [--rounds R] [--solves N] [--threads T]

Both clients ask the shipped service the same submit and poll for [3, 5] over one kept-alive TLS
connection each: zox through `complete_subset_sum`, the raw client as prepared bytes on a plain
`ssl` socket (one write per request, a minimal reader of the answer). Rounds alternate between
them, so both see the same machine load; each round times N calls one at a time (or, with
--threads, N calls from each of T threads at once). Prints the median per call of each and the
milliseconds zox adds per call (the median of the rounds' differences). Target: at most 0.05 ms.
"""
import argparse
import gzip
import json
import os
import secrets
import socket
import ssl
import statistics
import tempfile
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

from service_process import start_service

REPO = Path(__file__).resolve().parent.parent
VALUES = [3, 5]
TARGET_MS = 0.05


class RawClient:
    """One kept-alive connection; the same two requests the module sends, nothing else."""

    def __init__(self, url, ca, key):
        parts = urlsplit(url)
        self.host, self.port = parts.hostname, parts.port
        self.ctx = ssl.create_default_context(cafile=ca)
        self.sock = None
        self.key = key
        self.pending = b""
        body = json.dumps(VALUES, separators=(",", ":")).encode()
        self.submit = (f"POST /v0/app/sspu HTTP/1.1\r\nHost: {self.host}:{self.port}\r\n"
                       f"Accept: */*\r\nx-api-key: {key}\r\nContent-Type: application/json\r\n"
                       f"Content-Length: {len(body)}\r\n\r\n").encode() + body

    def _send(self, request):
        if self.sock is None:
            raw = socket.create_connection((self.host, self.port))
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.sock = self.ctx.wrap_socket(raw, server_hostname=self.host)
            self.pending = b""
        self.sock.sendall(request)

    def _read(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("the service closed the connection before its answer")
        return data

    def _answer(self):
        while b"\r\n\r\n" not in self.pending:
            self.pending += self._read()
        head, _, rest = self.pending.partition(b"\r\n\r\n")
        status = int(head[9:12])
        length, close = 0, False
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            name = name.strip().lower()
            if name == b"content-length":
                length = int(value)
            elif name == b"connection":
                close = value.strip().lower() == b"close"
        while len(rest) < length:
            rest += self._read()
        self.pending = rest[length:]
        if close:  # the service ends a connection after so many requests: the next one reconnects
            self.close()
        return status, rest[:length]

    def solve(self):
        self._send(self.submit)
        status, body = self._answer()
        assert status == 200, body
        request_id = json.loads(body)["requestId"]
        self._send((f"GET /v0/result?requestId={request_id} HTTP/1.1\r\n"
                           f"Host: {self.host}:{self.port}\r\nAccept: */*\r\n"
                           f"x-api-key: {self.key}\r\n\r\n").encode())
        status, body = self._answer()
        assert status == 200, (status, body)
        raw = gzip.decompress(body)
        return [int.from_bytes(raw.ljust(8, b"\0")[:8], "little")]

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock = None


def call_times_ms(solve, solves, threads):
    """Milliseconds per call: each call one at a time, or the wall time of T threads making N calls
    each, divided by their number."""
    if threads <= 1:
        times = []
        for _ in range(solves):
            t = time.perf_counter()
            assert solve() == [297]
            times.append((time.perf_counter() - t) * 1000)
        return times
    barrier = threading.Barrier(threads + 1)

    def loop():
        barrier.wait()
        for _ in range(solves):
            assert solve() == [297]

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    t = time.perf_counter()
    for w in workers:
        w.join()
    return [(time.perf_counter() - t) * 1000 / (solves * threads)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--solves", type=int, default=10)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    key = secrets.token_hex(16)
    with tempfile.TemporaryDirectory() as cert_dir:
        proc, url, ca = start_service(REPO, key, cert_dir)
        try:
            os.environ.update(ZO_CA_BUNDLE=ca, ZO_API_KEY=key, ZO_SERVICE_URL=url, NO_PROXY="*")
            os.environ.pop("ZO_KILLSWITCH", None)
            import zox

            local = threading.local()

            def raw_solve():
                if not hasattr(local, "client"):
                    local.client = RawClient(url, ca, key)
                return local.client.solve()

            clients = {"raw": raw_solve, "zox": lambda: zox.complete_subset_sum(VALUES)}
            for solve in clients.values():  # connections open, handshakes done
                call_times_ms(solve, 20, args.threads)
            times = {name: [] for name in clients}
            cpu = {name: 0.0 for name in clients}
            added = []
            # Short rounds, taking turns, so that a burst of load on the machine hits both alike.
            for r in range(args.rounds):
                order = list(clients) if r % 2 == 0 else list(reversed(clients))
                round_ms = {}
                for name in order:
                    before = time.process_time()
                    sample = call_times_ms(clients[name], args.solves, args.threads)
                    cpu[name] += time.process_time() - before
                    times[name] += sample
                    round_ms[name] = statistics.median(sample)
                added.append(round_ms["zox"] - round_ms["raw"])
            raw, ours = (statistics.median(times[name]) for name in ("raw", "zox"))
            print(f"{args.rounds} alternated rounds of {args.solves} calls"
                  + (f" from each of {args.threads} threads" if args.threads > 1 else "")
                  + f": raw client {raw:.3f} ms, zox {ours:.3f} ms per call (medians)")
            calls = args.rounds * args.solves * max(1, args.threads)
            print("client CPU per call (this process, both clients in it): "
                  + ", ".join(f"{name} {cpu[name] * 1000 / calls:.3f} ms" for name in clients))
            print(f"zox adds {statistics.median(added):.3f} ms per call (median of the rounds' "
                  f"differences; quartiles {statistics.quantiles(added, n=4)[0]:.3f} .. "
                  f"{statistics.quantiles(added, n=4)[2]:.3f}); target <= {TARGET_MS} ms; "
                  f"zox / raw {ours / raw:.2f}x")
        finally:
            proc.terminate()
            proc.wait(timeout=30)


if __name__ == "__main__":
    main()
