"""The solving service as a real subprocess on loopback, and a small HTTPS client for it."""
import gzip
import http.client
import json
import os
import queue
import re
import signal
import ssl
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import zox

REPO = Path(__file__).resolve().parent.parent
# The tests exercise the service in this checkout, whatever else is installed.
sys.path.insert(0, str(REPO))
SERVICE_KEY = "service-test-key"
STARTUP_TIMEOUT = 60


class RunningService:
    """One service process; its output lines are collected as they come."""

    def __init__(self, args, env=None, ca_bundle=None, key=SERVICE_KEY, worker=False):
        self.key = key
        self.ca_bundle = ca_bundle
        self.stdout, self.stderr = [], []
        self._lines = queue.Queue()
        proc_env = dict(os.environ if env is None else env)
        # The service must solve with the same zox build as the tests.
        proc_env["PYTHONPATH"] = os.pathsep.join(
            p for p in (os.path.dirname(zox.__file__), str(REPO), proc_env.get("PYTHONPATH")) if p)
        where = ["worker"] if worker else ["--host", "127.0.0.1", "--port", "0"]
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "zox_service", *where, *args],
            cwd=REPO, env=proc_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        for stream, sink in ((self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)):
            threading.Thread(target=self._drain, args=(stream, sink), daemon=True).start()
        self.url = None
        while self.url is None:
            try:
                line = self._lines.get(timeout=STARTUP_TIMEOUT)
            except queue.Empty:
                self.stop()
                raise RuntimeError(f"service did not start; stderr: {self.stderr}")
            if line is None:
                self.proc.wait(timeout=10)
                raise RuntimeError(f"service exited with {self.proc.returncode}; "
                                   f"stderr: {''.join(self.stderr)}")
            if line.startswith("zox_service listening on "):
                self.url = re.search(r"https://\S+", line).group(0)
            elif worker and line.startswith("zox_service worker solving"):
                return
        self.port = int(self.url.rsplit(":", 1)[1])
        if self.ca_bundle is None:
            self.ca_bundle = next(line.split("ZO_CA_BUNDLE=", 1)[1].strip()
                                  for line in self.stdout if "ZO_CA_BUNDLE=" in line)

    def _drain(self, stream, sink):
        for line in stream:
            sink.append(line)
            if sink is self.stdout:
                self._lines.put(line)
        if sink is self.stdout:
            self._lines.put(None)

    def connection(self, host="localhost"):
        ctx = ssl.create_default_context(cafile=self.ca_bundle)
        return http.client.HTTPSConnection(host, self.port, context=ctx, timeout=60)

    def request(self, method, path, body=None, key=None, headers=None, host="localhost"):
        """(status, response headers, body bytes). key=None sends the service's key; key=False
        sends no key header."""
        h = {} if headers is None else dict(headers)
        key = self.key if key is None else key
        if key is not False:
            h["x-api-key"] = key
        conn = self.connection(host)
        try:
            conn.request(method, path, body=body, headers=h)
            r = conn.getresponse()
            return r.status, r.headers, r.read()
        finally:
            conn.close()

    def submit(self, values, key=None, host="localhost"):
        status, _, body = self.request("POST", "/v0/app/sspu", json.dumps(values).encode(),
                                       key=key, host=host)
        assert status == 200, body
        return json.loads(body)["requestId"]

    def fetch(self, request_id, key=None, seconds=60):
        """The result's words, polling as the client does (the service holds each poll a while)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            status, headers, body = self.request("GET", f"/v0/result?requestId={request_id}",
                                                 key=key)
            if status != 202:
                assert (status, headers["Content-Type"]) == (200, "application/gzip"), body
                raw = gzip.decompress(body)
                return list(struct.unpack(f"<{len(raw) // 8}Q", raw))
        raise AssertionError(f"{request_id} never became ready")

    def aim_client(self, monkeypatch, key=None, host=None):
        """Points the zox client of this process at this service."""
        monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
        monkeypatch.setenv("ZO_SERVICE_URL", self.url if host is None else
                           f"https://{host}:{self.port}")
        monkeypatch.setenv("ZO_CA_BUNDLE", self.ca_bundle)
        monkeypatch.setenv("ZO_API_KEY", self.key if key is None else key)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=15)


@pytest.fixture(scope="session")
def start_service(server_cert_files, ca_bundle):
    """start_service(*args, env=None, dev_cert=False, worker=False) -> RunningService, stopped at
    the end of the session. Without dev_cert the service uses the test authority's certificate;
    worker=True starts `python -m zox_service worker`."""
    started = []

    def start(*args, env=None, dev_cert=False, key=SERVICE_KEY, worker=False):
        if worker:
            s = RunningService(args, env=env, worker=True)
        elif dev_cert:
            s = RunningService(args, env=env, key=key)
        else:
            cert, cert_key = server_cert_files
            s = RunningService(("--cert", cert, "--key", cert_key, *args), env=env,
                               ca_bundle=ca_bundle, key=key)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


@pytest.fixture(scope="session")
def service(start_service):
    """A service accepting SERVICE_KEY, with the default limits."""
    return start_service("--api-key", SERVICE_KEY)


@pytest.fixture(scope="session")
def small_service(start_service):
    """A service accepting SERVICE_KEY, with small limits: at most 8 values, a total of 5000,
    200 word operations and a 300-byte body."""
    return start_service("--api-key", SERVICE_KEY, "--max-values", "8", "--max-total", "5000",
                         "--max-work", "200", "--max-body-bytes", "300")
