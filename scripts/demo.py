"""Starts the solving service on a free port, solves problems through it (the default path), solves
them again in-process with the kill switch, and shows that both agree."""
import os
import random
import secrets
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def sums_of(words):
    return [64 * i + b for i, w in enumerate(words) for b in range(64) if w >> b & 1]


def start_service(cert_dir, key):
    proc = subprocess.Popen(
        [sys.executable, "-m", "zox_service", "--port", "0", "--api-key", key,
         "--cert-dir", cert_dir],
        cwd=REPO, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    url = bundle = None
    for line in proc.stdout:
        print(line, end="")
        if "ZO_CA_BUNDLE=" in line:
            bundle = line.split("ZO_CA_BUNDLE=", 1)[1].strip()
        if line.startswith("zox_service listening on "):
            url = line.split()[-1]
            break
    if url is None or bundle is None:
        proc.wait()
        sys.exit(f"the solving service did not start (exit code {proc.returncode})")
    return proc, url, bundle


def solve_both(zox, values):
    os.environ.pop("ZO_KILLSWITCH", None)
    try:
        remote = zox.complete_subset_sum(values)
    except ConnectionError as e:
        print(f"NOTE: the solve through the service failed: {e}")
        remote = None
    os.environ["ZO_KILLSWITCH"] = "1"
    local = zox.complete_subset_sum(values)
    return remote, local


def main():
    key = secrets.token_hex(16)
    with tempfile.TemporaryDirectory(prefix="zox-demo-") as cert_dir:
        proc, url, bundle = start_service(cert_dir, key)
        try:
            # What a client of the service sets; the module reads them on every solve.
            os.environ.update(ZO_SERVICE_URL=url, ZO_CA_BUNDLE=bundle, ZO_API_KEY=key)
            import zox

            rng = random.Random(7)
            problems = [[3, 5, 11, 64], [rng.randrange(1, 30000) for _ in range(48)]]
            agree = True
            for values in problems:
                remote, local = solve_both(zox, values)
                shown = values if len(values) <= 8 else f"{len(values)} values"
                print(f"\nvalues: {shown} (total {sum(values)})")
                if len(local) <= 2:
                    print(f"through the service: {remote}")
                    print(f"in-process:          {local}")
                    print(f"sums:                {sums_of(local)}")
                else:
                    count = len(sums_of(local))
                    print(f"through the service: {'failed' if remote is None else f'{len(remote)} words'}")
                    print(f"in-process:          {len(local)} words, {count} sums")
                same = remote == local
                agree &= same
                if remote is None:
                    print("no comparison: the solve through the service failed")
                else:
                    print("both agree" if same else "THEY DIFFER")
        finally:
            proc.terminate()
            proc.wait(timeout=30)
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
