"""Milliseconds per small remote solve, through the shipped service and through a keep-alive peer.

    python bench/client_roundtrip.py [--solves N] [--concurrent-solves M]

Prints, per peer, the median time of one solve of [3, 5] at concurrency 1 and the solves per
second with 32 threads solving at once, and the ratio of the two peers. The shipped service closes
every connection after its answer; the keep-alive peer (a plain TLS HTTP/1.1 server that solves
in-process) keeps them open, so the ratio shows what reusing connections saves. Bounded: N solves
one at a time, M solves at concurrency 32, per peer.
"""
import argparse
import http.server
import json
import os
import secrets
import socket
import ssl
import statistics
import tempfile
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from service_process import start_service

REPO = Path(__file__).resolve().parent.parent
VALUES = [3, 5]


class KeepAliveHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    results: dict = {}
    handshakes = 0

    def log_message(self, *args):
        pass

    def _answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        import gzip

        import zox

        values = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        request_id = uuid.uuid4().hex
        total = sum(values)
        words = zox_local(zox, values)
        raw = b"".join(w.to_bytes(8, "little") for w in words)[: total // 8 + 1]
        self.results[request_id] = gzip.compress(raw)
        self._answer(200, json.dumps({"requestId": request_id}).encode(), "application/json")

    def do_GET(self):
        request_id = self.path.split("requestId=", 1)[-1]
        payload = self.results.pop(request_id, None)
        if payload is None:
            self._answer(404, b'{"message":"Unknown requestId"}', "application/json")
        else:
            self._answer(200, payload, "application/octet-stream")


def zox_local(zox, values):
    # The reference solve of the peer, without touching the process environment of the client.
    r = 1
    for v in values:
        r |= r << v
    n = sum(values) // 64 + 1
    return [(r >> (64 * i)) & (2**64 - 1) for i in range(n)]


class KeepAliveServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, cert, key):
        super().__init__(("127.0.0.1", 0), KeepAliveHandler)
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        self.connections = 0

    def get_request(self):
        sock, addr = self.socket.accept()
        # Headers and body go out as separate writes: no Nagle delay between them.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connections += 1
        # The handshake happens on the handler thread, not in the accept loop.
        return self.ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr


def measure(zox, solves, concurrent_solves):
    times = []
    for _ in range(solves):
        t = time.perf_counter()
        assert zox.complete_subset_sum(VALUES) == [297]
        times.append(time.perf_counter() - t)
    t = time.perf_counter()
    with ThreadPoolExecutor(32) as pool:
        for words in pool.map(lambda _: zox.complete_subset_sum(VALUES), range(concurrent_solves)):
            assert words == [297]
    rate = concurrent_solves / (time.perf_counter() - t)
    return statistics.median(times) * 1000, rate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--solves", type=int, default=60)
    parser.add_argument("--concurrent-solves", type=int, default=320)
    args = parser.parse_args()
    key = secrets.token_hex(16)
    with tempfile.TemporaryDirectory() as cert_dir:
        proc, service_url, ca = start_service(REPO, key, cert_dir)
        try:
            peer = KeepAliveServer(ca, str(Path(ca).with_name("key.pem")))
            threading.Thread(target=peer.serve_forever, args=(0.05,), daemon=True).start()
            os.environ.update(ZO_CA_BUNDLE=ca, ZO_API_KEY=key, NO_PROXY="*")
            os.environ.pop("ZO_KILLSWITCH", None)
            import zox

            urls = {"shipped service": service_url,
                    "keep-alive peer": f"https://127.0.0.1:{peer.server_address[1]}"}
            rows = {name: [] for name in urls}
            # Interleaved rounds, so both peers see the same machine load.
            for _ in range(3):
                for name, url in urls.items():
                    os.environ["ZO_SERVICE_URL"] = url
                    rows[name].append(measure(zox, args.solves // 3, args.concurrent_solves // 3))
            print(f"{'peer':18} {'p50 ms (c=1)':>13} {'solves/s (c=32)':>16}")
            summary = {}
            for name, samples in rows.items():
                p50 = statistics.median(s[0] for s in samples)
                rate = statistics.median(s[1] for s in samples)
                summary[name] = (p50, rate)
                print(f"{name:18} {p50:13.2f} {rate:16.1f}")
            (sp, sr), (kp, kr) = summary["shipped service"], summary["keep-alive peer"]
            print(f"keep-alive / shipped: {sp / kp:.2f}x fewer ms per solve, {kr / sr:.2f}x solves/s")
            print(f"keep-alive peer saw {peer.connections} TLS connections")
            peer.shutdown()
        finally:
            proc.terminate()
            proc.wait(timeout=30)


if __name__ == "__main__":
    main()
