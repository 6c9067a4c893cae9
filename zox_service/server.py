"""The HTTPS front of the service: one thread per connection, TLS negotiated on that thread."""
import hmac
import http.server
import os
import re
import socket
import ssl
import sys
import threading
import time
from http import HTTPStatus
from typing import List, Optional
from urllib.parse import parse_qs, urlsplit

from . import __version__
from .config import Limits
from .jobs import JobStore
from .wire import (NOT_READY_BODY, RequestError, message_body, parse_values,
                   request_id_body)

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
_REQUEST_ID = re.compile(r"[0-9a-f]{32}")
_DIGITS = re.compile(r"[0-9]{1,30}")


def _content_length(headers) -> Optional[int]:
    text = headers.get("Content-Length", "0").strip()
    return int(text) if _DIGITS.fullmatch(text) else None


class Handler(http.server.BaseHTTPRequestHandler):
    # HTTP/1.1 so that a large submit announced with "Expect: 100-continue" is answered at once;
    # every response still closes its connection.
    protocol_version = "HTTP/1.1"
    server_version = f"zox_service/{__version__}"
    sys_version = ""
    server: "ServiceServer"
    body_read = False

    def body_left_unread(self) -> bool:
        if self.body_read or not hasattr(self, "headers"):
            return False
        length = _content_length(self.headers)
        return "Transfer-Encoding" in self.headers or length is None or length > 0

    # --- answers -------------------------------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str = "application/json") -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if self.command != "HEAD":
            self.wfile.write(body)

    def _send_message(self, status: int, text: str) -> None:
        self._send(status, message_body(text))

    def send_error(self, code, message=None, explain=None):
        # Malformed requests get the same JSON message answers as everything else.
        if message is None:
            try:
                message = HTTPStatus(code).phrase
            except ValueError:
                message = "Error"
        self._send_message(code, message)

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.verbose:
            sys.stderr.write(f"zox_service: {self.address_string()} {format % args}\n")

    # --- checks --------------------------------------------------------------------------------

    def _presented_key(self) -> bytes:
        # Header values arrive decoded as latin-1; encoding back gives the bytes on the wire.
        return self.headers.get("x-api-key", "").encode("latin-1", "replace")

    def _key_accepted(self, presented: bytes) -> bool:
        keys = self.server.api_keys
        if not keys:
            return True
        ok = False
        for k in keys:  # no early exit, so the time taken does not tell which key came close
            ok |= hmac.compare_digest(k, presented)
        return ok

    def _submit_refusal(self) -> Optional[RequestError]:
        """Why a submit is refused before its body is read, if it is."""
        if not self._key_accepted(self._presented_key()):
            return RequestError(403, "Forbidden")
        length = _content_length(self.headers)
        if length is None or "Transfer-Encoding" in self.headers:
            return RequestError(411, "Content-Length required")
        limit = self.server.limits.max_body_bytes
        if length > limit:
            return RequestError(413, f"Body exceeds {limit} bytes")
        return None

    def handle_expect_100(self):
        # A refused submit is answered before the client sends its body.
        if urlsplit(self.path).path == SUBMIT_PATH and self.command == "POST":
            refusal = self._submit_refusal()
            if refusal is not None:
                self._send_refusal(refusal)
                return False
        return super().handle_expect_100()

    def _send_refusal(self, e: RequestError) -> None:
        self._send_message(e.status, e.message)

    # --- routes --------------------------------------------------------------------------------

    def do_POST(self):
        path = urlsplit(self.path).path
        if path == RESULT_PATH:
            return self._send_message(405, "Use GET for results")
        if path != SUBMIT_PATH:
            return self._send_message(404, "Not found")
        refusal = self._submit_refusal()
        if refusal is not None:
            return self._send_refusal(refusal)
        length = _content_length(self.headers)
        body = self.rfile.read(length)
        self.body_read = True
        if len(body) != length:
            return self._send_message(400, "Body ended early")
        try:
            values, total = parse_values(body, self.server.limits)
            del body
            request_id = self.server.jobs.submit(self._presented_key(), values, total)
        except RequestError as e:
            return self._send_refusal(e)
        self._send(200, request_id_body(request_id))

    def do_GET(self):
        url = urlsplit(self.path)
        if url.path != RESULT_PATH:
            if url.path == SUBMIT_PATH:
                return self._send_message(405, "Use POST to submit a problem")
            return self._send_message(404, "Not found")
        presented = self._presented_key()
        if not self._key_accepted(presented):
            return self._send_message(403, "Forbidden")
        ids = parse_qs(url.query).get("requestId", [])
        job = None
        if len(ids) == 1 and _REQUEST_ID.fullmatch(ids[0]):
            job = self.server.jobs.find(presented, ids[0])
        if job is None:
            # A message answer, never anything a client could mistake for a result payload: a
            # client takes it as "not ready" and gives up after its last poll, but never reports
            # a wrong result.
            return self._send_message(404, "Unknown requestId")
        if not job.done.wait(self.server.limits.poll_wait):
            return self._send(202, NOT_READY_BODY)
        if job.payload is None:
            return self._send_message(500, job.error or "Solve failed")
        self._send(200, job.payload, "application/gzip")

    def do_HEAD(self):
        self._send_message(405, "Method not allowed")

    do_PUT = do_DELETE = do_PATCH = do_HEAD


class ServiceServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # Waiting connections queue in the kernel while every slot is busy.
    request_queue_size = 128

    def __init__(self, host: str, port: int, ssl_context: ssl.SSLContext, jobs: JobStore,
                 api_keys: List[bytes], limits: Limits, verbose: bool = False):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.ssl_context = ssl_context
        self.jobs = jobs
        self.api_keys = api_keys
        self.limits = limits
        self.verbose = verbose
        self._slots = threading.BoundedSemaphore(limits.max_connections)
        self._active = 0
        self._active_cond = threading.Condition()
        self._stopping = threading.Event()
        super().__init__((host, port), Handler)

    @property
    def port(self) -> int:
        return self.server_address[1]

    def process_request(self, request, client_address):
        while not self._slots.acquire(timeout=0.2):
            if self._stopping.is_set():
                request.close()
                return
        with self._active_cond:
            self._active += 1
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._release_slot()
            request.close()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._release_slot()

    def _release_slot(self):
        self._slots.release()
        with self._active_cond:
            self._active -= 1
            self._active_cond.notify_all()

    def finish_request(self, request, client_address):
        # The handshake runs here, on the connection's own thread and under its time-out, so a
        # client that stalls it holds up nobody else.
        request.settimeout(self.limits.io_timeout)
        try:
            conn = self.ssl_context.wrap_socket(request, server_side=True)
        except (OSError, ValueError) as e:
            self._note(client_address, f"TLS handshake failed: {e}")
            return
        handler = None
        try:
            handler = self.RequestHandlerClass(conn, client_address, self)
        finally:
            try:
                conn.shutdown(socket.SHUT_WR)
                if handler is not None and handler.body_left_unread():
                    _drain(conn)
            except OSError:
                pass
            conn.close()

    def handle_error(self, request, client_address):
        self._note(client_address, f"connection failed: {sys.exc_info()[1]!r}")

    def _note(self, client_address, text: str) -> None:
        if self.verbose:
            sys.stderr.write(f"zox_service: {client_address[0]} {text}\n")

    def stop(self, grace: float = 5.0) -> None:
        """Stops accepting, gives open connections a moment to finish, and closes."""
        self._stopping.set()
        self.shutdown()
        with self._active_cond:
            self._active_cond.wait_for(lambda: self._active == 0, timeout=grace)
        self.server_close()


def _drain(conn: socket.socket, seconds: float = 2.0) -> None:
    """Reads what the client still sends after an answer that refused its body. Closing with
    unread bytes would reset the connection, and the client could lose the answer."""
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        conn.settimeout(left)
        if not conn.recv(65536):
            return


def make_ssl_context(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)
    return ctx


def keys_as_bytes(keys: List[str]) -> List[bytes]:
    # The bytes the client puts on the wire, whatever the locale decoded the argument from.
    return [os.fsencode(k) for k in keys]
