"""Starts a solving service for a benchmark and reads where it listens and which certificate to trust."""
import os
import subprocess
import sys
import threading
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
