"""A real redis-server on a free loopback port, for the service's scale-out tests."""
import shutil
import socket
import subprocess
import time

import pytest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

# One database per test for a whole run: a process an earlier test left stopping still sweeps
# its own with its own limits, and with 16 the numbers came round to it.
DATABASES = 1024


class RedisServer:
    def __init__(self, workdir):
        self.proc = None
        self.workdir = workdir
        self.tests = 0
        for _ in range(5):  # another process may take the port between the probe and the start
            self.port = free_port()
            self._launch()
            if self._wait_ready():
                self.url = f"redis://127.0.0.1:{self.port}/0"
                return
            self.stop()
        raise RuntimeError("redis-server did not start")

    def _launch(self):
        self.proc = subprocess.Popen(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--dir", str(self.workdir), "--loglevel", "warning",
             "--databases", str(DATABASES)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def restart(self):
        """A new, empty server on the same port: a Redis restart without persistence."""
        self.stop()
        self._launch()
        assert self._wait_ready()

    def _wait_ready(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        return True
            except OSError:
                time.sleep(0.05)
        return False

    def flush(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"FLUSHALL\r\n")
            assert s.recv(16).startswith(b"+OK")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    if shutil.which("redis-server") is None:
        pytest.skip("needs redis-server (scripts/install-system-deps installs it)")
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture
def redis_url(redis_server):
    """A Redis with nothing in it, in a database of its own: a process an earlier test left
    stopping (a front end or solver sweeping its store) cannot touch this test's jobs."""
    redis_server.flush()
    redis_server.tests += 1
    return redis_server.url.rsplit("/", 1)[0] + f"/{1 + redis_server.tests % (DATABASES - 1)}"
