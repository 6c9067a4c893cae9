"""Redis mode against its peers in one run: solves per second through the real zox client for a
front end on Redis with two solver workers, the embedded front end and the bare stack answering the
same two requests behind the same edge (bench/bare_stack.py), alternated round by round; and the Redis commands each
solve costs (INFO commandstats over the run, scripts' own commands included).

    python bench/service_redis.py [--seconds 4] [--rounds 2] [--levels 1,8,64] [--problem tiny]

Writes the output to bench/service_redis.md (service_redis_small.md for --problem small) as well.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from operator_peers import FrontEnd, Redis, Worker
from service_load import pooled, run_level
from service_process import free_port

HERE = Path(__file__).resolve().parent
OUT = HERE / "service_redis.md"
KEY = "bench-key"
LINES = []


def say(text: str = "") -> None:
    print(text, flush=True)
    LINES.append(text)


def commands(redis) -> int:
    stats = redis.client.info("commandstats")
    return sum(v["calls"] for k, v in stats.items() if not k.endswith("_info"))


class Bare:
    def __init__(self, cert_dir: str):
        sys.path.insert(0, str(HERE.parent))
        from zox_service.devcert import dev_certificate

        cert, key = dev_certificate(cert_dir)
        port = free_port()
        env = dict(os.environ, PYTHONPATH=f"{HERE.parent}{os.pathsep}{HERE}")
        self.proc = subprocess.Popen([sys.executable, str(HERE / "bare_stack.py"), str(port),
                                      cert, key], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.proc.stdout.readline()
        self.url, self.ca = f"https://localhost:{port}", cert
        time.sleep(1.5)  # uvicorn binds after its start line

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(10)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=4)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--levels", default="1,8,64")
    ap.add_argument("--problem", choices=["tiny", "small"], default="tiny",
                    help="small: past what a front end solves itself, so Redis mode's workers "
                         "solve it")
    a = ap.parse_args()
    os.environ["ZOX_BENCH_PROBLEM"] = a.problem  # for the client, the bare stack and this run
    levels = [int(x) for x in a.levels.split(",")]
    say("# Redis mode against its peers")
    say()
    say(f"`python bench/service_redis.py --seconds {a.seconds:g} --rounds {a.rounds} --levels "
        f"{a.levels} --problem {a.problem}` on {os.cpu_count()} cores: the real zox client, one "
        f"{a.problem} problem per call, each level's stacks alternated round by round.")
    say()
    with tempfile.TemporaryDirectory() as work:
        cert_dir = str(Path(work) / "certs")
        redis = Redis(work)
        stacks = {"bare": Bare(cert_dir),
                  "embedded": FrontEnd(cert_dir, [KEY]),
                  "redis": FrontEnd(cert_dir, [KEY], "--redis", redis.url, "--workers", "0")}
        workers = [Worker(redis.url, "--workers", "2") for _ in range(2)]
        try:
            say("| clients | bare solves/s | embedded | redis, 2 workers | embedded / bare | "
                "redis / bare | Redis commands per solve |")
            say("|---|---|---|---|---|---|---|")
            for conc in levels:
                runs = {name: [] for name in stacks}
                sent = solved = 0
                for _ in range(a.rounds):
                    for name, s in stacks.items():
                        before = commands(redis) if name == "redis" else 0
                        r = run_level((s.proc, s.url, s.ca), KEY, conc, a.seconds)
                        if name == "redis":
                            sent += commands(redis) - before
                            solved += r["solves"]
                        runs[name].append(r)
                rate = {name: pooled(r) for name, r in runs.items()}
                errors = sum(p["errors"] + p["wrong"] for p in rate.values())
                say(f"| {conc} | {rate['bare']['rate']:.0f} | {rate['embedded']['rate']:.0f} | "
                    f"{rate['redis']['rate']:.0f} | "
                    f"{rate['embedded']['rate'] / rate['bare']['rate']:.2f}x | "
                    f"{rate['redis']['rate'] / rate['bare']['rate']:.2f}x | "
                    f"{sent / max(1, solved):.1f} |" + (f" errors {errors}" if errors else ""))
            say()
            say("Goals: Redis with two workers at least 0.5x bare; at most 15 Redis commands per "
                "small solve, scripts included (heartbeats and sweeps meanwhile count too).")
        finally:
            for p in [*stacks.values(), *workers, redis]:
                p.stop()
    out = OUT if a.problem == "tiny" else OUT.with_name(f"service_redis_{a.problem}.md")
    out.write_text("\n".join(LINES) + "\n")


if __name__ == "__main__":
    main()
