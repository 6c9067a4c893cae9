"""The server processes of the service benchmarks: starting them, knowing when they listen,
stopping them, and reading what their process trees use."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path


def start_service(cwd: Path, key: str, cert_dir: str, extra=()):
    """Runs `python -m zox_service` from `cwd` on a free port. Returns (process, url, ca_bundle)."""
    env = dict(os.environ, PYTHONPATH=str(cwd))
    proc = subprocess.Popen(
        [sys.executable, "-m", "zox_service", "--port", "0", "--api-key", key,
         "--cert-dir", cert_dir, *extra], cwd=cwd, env=env, stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL, text=True)
    url = ca = None
    for line in proc.stdout:
        if "ZO_CA_BUNDLE=" in line:
            ca = line.split("ZO_CA_BUNDLE=", 1)[1].strip()
        if line.startswith("zox_service listening on "):
            url = next(w for w in line.split() if w.startswith("https://"))
            break
    # Keep reading, so a chatty service never blocks on a full pipe.
    threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
    return proc, url, ca


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(cmd, port: int, env: dict, cwd: Path, settle: float = 1.0) -> subprocess.Popen:
    """Starts `cmd` in a session of its own (so `stop` reaches the processes it starts) and
    returns once something accepts on `port`, `settle` seconds later: an edge listens before
    the application behind it."""
    proc = subprocess.Popen(cmd, env=env, cwd=str(cwd), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            time.sleep(settle)
            return proc
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.1)
    stop(proc)
    raise RuntimeError(f"{cmd} did not listen on port {port}")


def stop(proc: subprocess.Popen) -> None:
    """Ends the session `serve` started (or just `proc`, if it leads none) and waits for it."""
    try:
        if os.getpgid(proc.pid) == proc.pid:
            os.killpg(proc.pid, signal.SIGTERM)
        else:  # its group is the caller's own
            proc.terminate()
    except ProcessLookupError:
        pass
    proc.wait(timeout=60)


def start_bare(cert: str, keyfile: str, direct: bool = False):
    """bench/bare_stack.py behind the edge, or on uvicorn alone (`direct`): (process, url)."""
    here = Path(__file__).resolve().parent
    port = free_port()
    cmd = [sys.executable, str(here / "bare_stack.py"), str(port), cert, keyfile]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(here.parent), str(here)]))
    proc = serve(cmd + ["--direct"] * direct, port, env, here, settle=1.5)
    return proc, f"https://localhost:{port}"


def process_tree(pid: int) -> dict:
    """`pid` and all its descendants, by pid: {"name", "rss_mib", "cpu_s"}."""
    children, found = {}, {}
    page_mib = os.sysconf("SC_PAGE_SIZE") / 2**20
    tick = os.sysconf("SC_CLK_TCK")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                text = f.read()
        except OSError:
            continue
        # The name is in parentheses and may hold spaces; the fields after it are numbers.
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        children.setdefault(int(fields[1]), []).append(int(entry))
        found[int(entry)] = {"name": name, "rss_mib": int(fields[21]) * page_mib,
                             "cpu_s": (int(fields[11]) + int(fields[12])) / tick}
    tree, todo = {}, [pid]
    while todo:
        p = todo.pop()
        if p in found:
            tree[p] = found[p]
        todo += children.get(p, [])
    return tree
