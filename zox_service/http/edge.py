"""The connection edge: nginx in front of the application, started and stopped with the service.

nginx terminates TLS and holds every connection to the deadlines, head sizes and connection cap
given by the service's options (edge.conf beside this file, filled in here); the application
listens on a unix socket in a directory only this user can enter, so every request it sees came
through nginx, and the client's address nginx sets is the one to trust.
"""
import ctypes
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Dict, Optional, Sequence

from ..limits import Limits

TEMPLATE = Path(__file__).with_name("edge.conf")
_SEARCHED = ("/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/local/nginx/sbin/nginx")
# The application's deadlines are its own; this only ends an exchange with it that went silent.
UPSTREAM_TIMEOUT = 300.0
START_TIMEOUT = 15.0
_PR_SET_PDEATHSIG = 1


class EdgeError(Exception):
    pass


def find_nginx() -> Optional[str]:
    return shutil.which("nginx") or next((p for p in _SEARCHED if os.access(p, os.X_OK)), None)


def _ms(seconds: float) -> str:
    return f"{max(1, round(seconds * 1000))}ms"


def _path(p: str) -> str:
    return '"' + os.path.abspath(p).replace("\\", "\\\\").replace('"', '\\"') + '"'


def render(limits: Limits, host: str, port: int, cert: str, key: str, run_dir: str,
           trusted_proxies: Sequence[str] = ()) -> str:
    """edge.conf with this service's values."""
    connections = 2 * limits.max_connections + 64  # each client may hold one to the application
    values: Dict[str, str] = {
        # As root, nginx would hand its connections to the user "nobody", who cannot enter the
        # application's directory.
        "user": f"user {pwd.getpwuid(os.geteuid()).pw_name};" if os.geteuid() == 0 else "",
        "files": str(connections + 64),
        "connections": str(connections),
        "run_dir": os.path.abspath(run_dir),
        "listen": f"[{host}]:{port}" if ":" in host else f"{host}:{port}",
        "cert": _path(cert),
        "key": _path(key),
        "header_timeout": _ms(limits.header_timeout),
        "max_header_bytes": str(limits.max_header_bytes),
        "keep_alive_timeout": _ms(limits.keep_alive_timeout),
        "body_timeout": _ms(limits.body_timeout),
        "send_timeout": _ms(limits.send_timeout),
        "max_body_bytes": str(limits.max_body_bytes),
        "upstream_timeout": _ms(UPSTREAM_TIMEOUT),
        # The client's address comes from X-Forwarded-For only when a named proxy sent it.
        "real_ip": "".join(f"set_real_ip_from {p};\n        " for p in trusted_proxies) + (
            "real_ip_header X-Forwarded-For;\n        real_ip_recursive on;"
            if trusted_proxies else ""),
    }
    return re.sub(r"\{\{(\w+)\}\}", lambda m: values[m.group(1)], TEMPLATE.read_text())


def _die_with_parent() -> None:
    # A front end killed outright must not leave nginx holding its port.
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    os.setsid()  # signals for the service's terminal or group are the service's to pass on


_PREFIX = "zox_service-"


def _sweep() -> None:
    """Removes the directories of this user's services that were killed outright."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        path = os.path.join(base, name)
        try:
            if not name.startswith(_PREFIX) or os.stat(path).st_uid != os.geteuid():
                continue
            with open(os.path.join(path, "owner.pid")) as f:
                os.kill(int(f.read()), 0)
        except ProcessLookupError:
            shutil.rmtree(path, ignore_errors=True)
        except (OSError, ValueError):
            pass  # not ours, being made, or its owner lives


class Edge:
    """One nginx master process and the private directory it shares with the application."""

    def __init__(self, nginx: str) -> None:
        self._nginx = nginx
        _sweep()
        self.run_dir = tempfile.mkdtemp(prefix=_PREFIX)
        with open(os.path.join(self.run_dir, "owner.pid"), "w") as f:
            f.write(str(os.getpid()))
        self.socket_path = os.path.join(self.run_dir, "service.sock")
        self._proc: Optional["subprocess.Popen[bytes]"] = None

    def start(self, config: str, host: str, port: int) -> None:
        """Starts nginx and returns once it accepts connections; EdgeError if it cannot."""
        path = os.path.join(self.run_dir, "edge.conf")
        with open(path, "w") as f:
            f.write(config)
        self._proc = subprocess.Popen(
            [self._nginx, "-p", self.run_dir, "-c", path, "-e", "stderr"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        probe = {"0.0.0.0": "127.0.0.1", "::": "::1", "": "127.0.0.1"}.get(host, host)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                raise EdgeError(f"nginx exited with status {self._proc.returncode} (see above)")
            try:
                socket.create_connection((probe, port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.02)
        self.stop(0)
        raise EdgeError(f"nginx did not listen on port {port} within {START_TIMEOUT:g} s")

    def alive(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    @property
    def pid(self) -> Optional[int]:
        return None if self._proc is None else self._proc.pid

    def stop_accepting(self) -> None:
        """Graceful stop: nginx closes its listener and ends once the answers in flight are out."""
        if self._proc is not None and self._proc.poll() is None:
            self._proc.send_signal(signal.SIGQUIT)

    def stop(self, grace: float) -> None:
        """Waits `grace` seconds for a graceful stop, then ends nginx; removes the directory."""
        if self._proc is not None:
            self.stop_accepting()
            try:
                self._proc.wait(grace)
            except subprocess.TimeoutExpired:
                self._proc.terminate()  # its fast stop: workers are ended with it
                try:
                    self._proc.wait(5)
                except subprocess.TimeoutExpired:
                    self._proc.kill()
                    self._proc.wait()
            # Workers outlive a master that was killed outright, holding the port: nginx leads a
            # process group of its own, which goes with it.
            try:
                os.killpg(self._proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        shutil.rmtree(self.run_dir, ignore_errors=True)


def free_port(host: str) -> int:
    """A port nothing listens on now, for --port 0; raises OSError as binding would."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.create_server((host, 0), family=family) as s:
        return int(s.getsockname()[1])


def check_address(host: str, port: int) -> None:
    """OSError when the address cannot be listened on (in use, not local, no permission)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    socket.create_server((host, port), family=family).close()
