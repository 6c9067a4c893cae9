"""Scripted HTTPS peers on loopback: a real TLS server in a thread that answers each request from a
script, and records what it received. For tests of the remote exchange.

    with ScriptedPeer(server_ssl_context, route(submit=json_reply({"requestId": "abc"}),
                                                poll=gzip_reply(b"\\x29\\x01"))) as peer:
        aim_at(monkeypatch, peer, ca_bundle)
        zox.complete_subset_sum([3, 5])
        peer.requests  # [Request(method="POST", path="/v0/app/sspu", ...), ...]
"""
import gzip
import http.server
import json
import random
import select
import socket
import ssl
import struct
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional

import zox
from reference import sums_bitset

SUBMIT_PATH = "/v0/app/sspu"
WITNESS_PATH = "/v0/app/subset"
POLL_PATH = "/v0/result"


@dataclass
class Request:
    method: str
    path: str
    headers: Dict[str, str]  # names in lower case
    body: bytes


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    headers: Dict[str, str] = field(default_factory=dict)
    # When given, the body is sent piece by piece (chunked), with `pause` seconds between pieces.
    chunks: Optional[Iterable[bytes]] = None
    pause: float = 0.0
    # A Content-Length to announce instead of the body's own (for bodies cut short or streamed).
    announce_length: Optional[int] = None


Script = Callable[[Request], Reply]


def json_reply(obj, status=200) -> Reply:
    return Reply(status, json.dumps(obj).encode(), {"Content-Type": "application/json"})


def gzip_reply(raw: bytes) -> Reply:
    return Reply(200, gzip.compress(raw), {"Content-Type": "application/octet-stream"})


NOT_READY = json_reply({"message": "Result not ready"})

# Far more than any result the client may accept: it must hang up long before the end.
FLOOD = 64 * 1024 * 1024


def flood_chunks():
    """FLOOD bytes of noise, in 64 KiB pieces made as they are sent."""
    noise = random.Random(1).randbytes(64 * 1024)
    return (noise for _ in range(FLOOD // len(noise)))


def unanswered(request):
    """A script that hangs up on the request without an answer."""
    raise ConnectionResetError("the peer hangs up without an answer")


def sequence(*replies) -> Script:
    """Answers with the replies (or scripts) in order; the last one keeps answering."""
    items = list(replies)
    lock = threading.Lock()

    def script(request):
        with lock:
            item = items.pop(0) if len(items) > 1 else items[0]
        return item(request) if callable(item) else item

    return script


def route(submit, poll, other: Optional[Reply] = None) -> Script:
    """Dispatches on the path: submit requests to `submit`, result polls to `poll`, the rest to
    `other` (404 by default). Each may be a Reply or a script."""

    def script(request):
        if request.path.split("?", 1)[0] == SUBMIT_PATH:
            item = submit
        elif request.path.split("?", 1)[0] == POLL_PATH:
            item = poll
        else:
            item = other or Reply(404, b"not found")
        return item(request) if callable(item) else item

    return script


def solving_script(request_id="abc") -> Script:
    """A peer that solves what was submitted (every sum, or which values make a target) and hands
    the result over on the first poll."""
    submitted = {}

    def script(request):
        if request.method == "POST" and request.path == SUBMIT_PATH:
            submitted[request_id] = json.loads(request.body)
            return json_reply({"requestId": request_id})
        if request.method == "POST" and request.path.startswith(WITNESS_PATH + "?target="):
            submitted[request_id] = (json.loads(request.body), int(request.path.split("=")[1]))
            return json_reply({"requestId": request_id})
        if request.path.startswith(POLL_PATH + "?"):
            values = submitted.get(request_id)
            if values is None:
                return json_reply({"message": "Unknown request"}, 404)
            if isinstance(values, tuple):  # words 1 (found) or 0, the count, the indices
                found = zox._subset_with_sum_local(*values)
                words = [0, 0] if found is None else [1, len(found), *found]
                return gzip_reply(struct.pack(f"<{len(words)}Q", *words))
            return gzip_reply(sums_bitset(values))
        return Reply(404, b"not found")

    return script


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    peer: "ScriptedPeer"

    def log_message(self, *args):
        pass

    def _serve(self):
        cut = self.peer.cut_on_head
        if cut is not None and cut(Request(self.command, self.path, {}, b"")):
            # Unread, until the client can send no more; then a reset, not a close, so that what
            # it still sends is refused.
            self.peer._record(Request(self.command, self.path, {}, b""))
            with self.peer._lock:
                self.peer.cuts += 1
            time.sleep(0.3)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            return
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        request = Request(self.command, self.path,
                          {k.lower(): v for k, v in self.headers.items()}, body)
        self.peer._record(request)
        reply = self.peer.script(request)
        self.send_response(reply.status)
        for name, value in reply.headers.items():
            self.send_header(name, value)
        if reply.chunks is not None:
            if reply.announce_length is not None:
                self.send_header("Content-Length", str(reply.announce_length))
            else:
                self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            self._stream(reply)
            return
        self.send_header("Content-Length", str(
            reply.announce_length if reply.announce_length is not None else len(reply.body)))
        self.end_headers()
        self.wfile.write(reply.body)
        self.peer._sent(len(reply.body))

    def _stream(self, reply):
        chunked = reply.announce_length is None
        try:
            for i, piece in enumerate(reply.chunks):
                if i and reply.pause:
                    time.sleep(reply.pause)
                if chunked:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                else:
                    self.wfile.write(piece)
                self.wfile.flush()
                self.peer._sent(len(piece))
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
        except (OSError, ValueError):
            self.peer.client_hung_up.set()

    do_GET = do_POST = do_PUT = _serve


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    address_family = socket.AF_INET

    def __init__(self, peer, host, port):
        self.peer = peer
        super().__init__((host, port), type("Handler", (_Handler,), {"peer": peer}))

    def get_request(self):
        sock, addr = self.socket.accept()
        with self.peer._lock:
            self.peer.connections += 1
            drop = self.peer.connections <= self.peer.drop_first
        if drop:
            # Hang up before the TLS handshake: the client sees a TLS connect failure.
            sock.close()
            raise OSError("dropped by script")
        if self.peer.cut_on_head is not None and self.peer.cuts == 0:
            # A small window until a request was cut, so that a body the peer does not read
            # stays with the client.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        tls = self.peer.ssl_context.wrap_socket(sock, server_side=True,
                                                do_handshake_on_connect=False)
        with self.peer._lock:
            self.peer._open.append(tls)
        return tls, addr

    def handle_error(self, request, client_address):
        # Handshakes the client refuses and connections it drops are part of the scripts.
        pass


class ScriptedPeer:
    """A TLS HTTP/1.1 server on a loopback address, answering requests from `script`.

    `drop_first` connections are closed before the TLS handshake; requests for which
    `cut_on_head(request)` is true (it sees the method and path) are reset right after their head,
    before their body is read. Records `requests`,
    `connections` and `bytes_sent`; `client_hung_up` is set when a streamed body was cut off.
    `script` may be replaced while the peer runs (to aim at peers started after it)."""

    def __init__(self, ssl_context: ssl.SSLContext, script: Script, host="127.0.0.1",
                 drop_first=0, port=0):
        self.ssl_context = ssl_context
        self.script = script
        self.host = host
        self.drop_first = drop_first
        self.cut_on_head: Optional[Callable[[Request], bool]] = None
        self.cuts = 0
        self.requests: List[Request] = []
        self.connections = 0
        self.bytes_sent = 0
        self.client_hung_up = threading.Event()
        self._lock = threading.Lock()
        self._open: List[socket.socket] = []  # accepted connections, closed when the peer stops
        self._server = _Server(self, host, port)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    @property
    def url(self):
        return f"https://{self.host}:{self.port}"

    def _record(self, request):
        with self._lock:
            self.requests.append(request)

    def _sent(self, n):
        with self._lock:
            self.bytes_sent += n

    def paths(self, method=None):
        return [r.path for r in self.requests if method is None or r.method == method]

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)
        # A stopped peer answers nothing more, also on the connections the client keeps open.
        with self._lock:
            open_connections, self._open = self._open, []
        for conn in open_connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class PlainListener:
    """A plain TCP listener on a loopback address that hangs up on whoever connects, and counts
    them: for checking that the client never went to an address."""

    def __init__(self, host="127.0.0.1"):
        self.host = host
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind((host, 0))
        self._sock.listen(16)
        self._sock.setblocking(False)
        self.port = self._sock.getsockname()[1]
        self._count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _accept_pending(self):
        while True:
            try:
                conn, _ = self._sock.accept()
            except (BlockingIOError, OSError):
                return
            conn.close()
            self._count += 1

    def _serve(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self._sock], [], [], 0.05)
            if ready:
                self._accept_pending()

    def connections(self) -> int:
        """Connections so far. Stops listening: a connection made before the call is counted
        whether or not it was accepted yet."""
        self._stop.set()
        self._thread.join(timeout=10)
        self._accept_pending()
        return self._count

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=10)
        self._sock.close()


def closed_port(host="127.0.0.1") -> int:
    """A loopback port that nothing listens on (just released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def connection_error(values) -> str:
    """The message of the ConnectionError that solving `values` raises."""
    try:
        zox.complete_subset_sum(values)
    except ConnectionError as e:
        return str(e)
    raise AssertionError(f"solving {values} did not fail")


def aim_at(monkeypatch, url_or_peer, ca_bundle: Optional[str]):
    """Points the client at a peer (or a URL) and trusts `ca_bundle` (None: the system's)."""
    url = url_or_peer.url if isinstance(url_or_peer, ScriptedPeer) else url_or_peer
    monkeypatch.setenv("ZO_SERVICE_URL", url)
    if ca_bundle is None:
        monkeypatch.delenv("ZO_CA_BUNDLE", raising=False)
    else:
        monkeypatch.setenv("ZO_CA_BUNDLE", ca_bundle)
    monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
    # Loopback only: no proxy from the environment may sit in between.
    for var in ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("NO_PROXY", "*")
