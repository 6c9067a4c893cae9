"""Command-line options and environment variables of the solving service."""
import argparse
import ipaddress
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, List, Mapping, Optional, Sequence

from .jobs import SUMS, job_cost
from .limits import HELP, Limits
from .protocol import (API_KEY_HEADER, POLL_WAIT_MAX_S, RESULT_PATH, SUBMIT_PATH, SUBSET_PATH,
                       TARGET_KEY, VALUE_MAX)

DEFAULT_PORT = 8443


@dataclass(frozen=True)
class Settings:
    host: str = "127.0.0.1"
    port: int = DEFAULT_PORT
    api_keys: List[str] = field(default_factory=list)
    cert: Optional[str] = None
    key: Optional[str] = None
    cert_dir: Optional[str] = None
    workers: int = 2
    redis_url: Optional[str] = None
    # True for `python -m zox_service worker`: a solver without a front end.
    solver_only: bool = False
    metrics_address: Optional[str] = None
    verbose: bool = False
    # Proxies whose X-Forwarded-For names the client; none unless an option says so.
    forwarded_allow_ips: List[str] = field(default_factory=list)
    limits: Limits = field(default_factory=Limits)


def _option_value(convert: Callable[[str], Any], not_parsed: str, accepts: Callable[[Any], bool],
                  refusal: str) -> Callable[[str], Any]:
    """An argparse type: `convert`, then `accepts`; each failure names the text it was given."""

    def parse(text: str) -> Any:
        try:
            v = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{not_parsed}: {text!r}") from None
        if not accepts(v):
            raise argparse.ArgumentTypeError(f"{refusal}: {text!r}")
        return v

    return parse


def _int(text: str) -> int:
    return int(text, 0)


_positive_int = _option_value(_int, "not an integer", lambda v: v > 0, "must be positive")
_count = _option_value(_int, "not an integer", lambda v: v >= 0, "cannot be negative")
_positive_float = _option_value(float, "not a number", lambda v: 0 < v < float("inf"),
                                "must be positive")
_port = _option_value(int, "not a port number", lambda v: 0 <= v <= 65535, "not a port number")
# The client polls a fixed number of times: this bounds how long it waits for a job that never
# ends.
_poll_wait = _option_value(float, "not a number", lambda v: 0 <= v <= POLL_WAIT_MAX_S,
                           f"must be from 0 to {POLL_WAIT_MAX_S:g}")


def _option_type(name: str) -> Callable[[str], Any]:
    if name == "poll_wait":
        return _poll_wait
    return _positive_int if isinstance(getattr(Limits(), name), int) else _positive_float


def _add_limits(p: argparse.ArgumentParser, names: Sequence[str]) -> None:
    d = Limits()
    g = p.add_argument_group("limits")
    for name in names:
        g.add_argument("--" + name.replace("_", "-"), type=_option_type(name),
                       default=getattr(d, name), help=f"{HELP[name]} (default {getattr(d, name)})")


def build_parser(environ: Mapping[str, str]) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m zox_service",
        description="HTTPS solving service for zox: accepts complete subset sum problems on "
        f'"{SUBMIT_PATH}" and which values make a target on "{SUBSET_PATH}?{TARGET_KEY}=N", and '
        f'hands out their gzip-compressed answers on "{RESULT_PATH}". '
        "'python -m zox_service worker --redis URL' runs a solver without a front end.",
        epilog="Environment: ZO_SERVICE_API_KEYS (comma-separated keys), ZO_SERVICE_HOST, "
        "ZO_SERVICE_PORT, ZO_SERVICE_CERT, ZO_SERVICE_KEY, ZO_SERVICE_CERT_DIR, "
        "ZO_SERVICE_REDIS; an option wins over its variable. Without accepted keys every key is "
        "accepted. Without a certificate a self-signed one for localhost is made (needs the "
        "openssl command).",
    )
    p.add_argument("--host", default=environ.get("ZO_SERVICE_HOST", "127.0.0.1"),
                   help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=_port, default=environ.get("ZO_SERVICE_PORT", str(DEFAULT_PORT)),
                   help=f"port to listen on, 0 for a free one (default {DEFAULT_PORT})")
    p.add_argument("--api-key", action="append", dest="api_keys", metavar="KEY",
                   help=f"accepted {API_KEY_HEADER} value; repeat for several")
    p.add_argument("--cert", default=environ.get("ZO_SERVICE_CERT"),
                   help="server certificate chain (PEM)")
    p.add_argument("--key", default=environ.get("ZO_SERVICE_KEY"),
                   help="private key of the certificate (PEM)")
    p.add_argument("--cert-dir", default=environ.get("ZO_SERVICE_CERT_DIR"),
                   help="where the development certificate is kept "
                   "(default ~/.cache/zox_service)")
    p.add_argument("--forwarded-allow-ips", metavar="ADDRESSES", default="",
                   help="comma-separated addresses (or networks) of proxies in front of the "
                   "service whose X-Forwarded-For header names the client, for the wrong-key "
                   "throttle and the logs (default: none; the header is ignored)")
    _add_common(p, environ)
    _add_limits(p, list(HELP))
    return p


def build_worker_parser(environ: Mapping[str, str]) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m zox_service worker",
        description="A solver process without a front end: takes problems from Redis, solves "
        "them and stores their results there.")
    _add_common(p, environ)
    p.add_argument("--metrics", metavar="HOST:PORT", dest="metrics_address",
                   help="serve this solver's metrics (Prometheus text, plain HTTP) there")
    _add_limits(p, ["reclaim_after", "max_attempts", "witness_deadline"])
    return p


def _add_common(p: argparse.ArgumentParser, environ: Mapping[str, str]) -> None:
    p.add_argument("--workers", type=_count, default=min(4, os.cpu_count() or 1),
                   help="solves running at once (default: cores, at most 4); 0 runs a front end "
                   "that does not solve (needs --redis)")
    p.add_argument("--redis", dest="redis_url", default=environ.get("ZO_SERVICE_REDIS") or None,
                   metavar="URL", help="keep problems and results in Redis (redis://host:port/db) "
                   "so front ends and solvers on any machines share them")
    p.add_argument("--verbose", action="store_true", help="log every request on standard error")


def parse_settings(argv: Optional[Sequence[str]] = None,
                   environ: Optional[Mapping[str, str]] = None) -> Settings:
    environ = os.environ if environ is None else environ
    argv = list(sys.argv[1:] if argv is None else argv)
    solver_only = bool(argv) and argv[0] == "worker"
    parser = build_worker_parser(environ) if solver_only else build_parser(environ)
    a = parser.parse_args(argv[1:] if solver_only else argv)
    if solver_only:
        if not a.redis_url:
            parser.error("a worker needs --redis (or ZO_SERVICE_REDIS)")
        if a.workers == 0:
            parser.error("a worker needs --workers of at least 1")
        if a.metrics_address is not None:
            host, _, port = a.metrics_address.rpartition(":")
            try:
                _port(port)
            except argparse.ArgumentTypeError:
                parser.error(f"--metrics needs HOST:PORT, not {a.metrics_address!r}")
        limits = Limits(reclaim_after=a.reclaim_after, max_attempts=a.max_attempts,
                        witness_deadline=a.witness_deadline)
        return Settings(workers=a.workers, redis_url=a.redis_url, solver_only=True,
                        verbose=a.verbose, limits=limits, metrics_address=a.metrics_address)
    keys = a.api_keys
    if keys is None:
        keys = [k.strip() for k in environ.get("ZO_SERVICE_API_KEYS", "").split(",")]
    keys = [k for k in keys if k]
    if (a.cert is None) != (a.key is None):
        parser.error("--cert and --key go together")
    if a.max_total > VALUE_MAX:
        parser.error(f"--max-total cannot exceed {VALUE_MAX}")
    if a.workers == 0 and not a.redis_url:
        parser.error("--workers 0 needs --redis: without it nothing would solve")
    limits = Limits(**{name: getattr(a, name) for name in HELP})
    need = job_cost(limits.max_total, SUMS, 1)
    for name in ("max_held_bytes", "max_stored_bytes"):
        if getattr(limits, name) < need:
            # Otherwise the largest accepted problem could never be admitted.
            parser.error(f"--{name.replace('_', '-')} must be at least {need} to hold one result "
                         "of --max-total")
    proxies = [p.strip() for p in a.forwarded_allow_ips.split(",") if p.strip()]
    for proxy in proxies:
        try:
            ipaddress.ip_network(proxy, strict=False)
        except ValueError:
            parser.error(f"--forwarded-allow-ips: not an address or network: {proxy!r}")
    return Settings(host=a.host, port=a.port, api_keys=keys, cert=a.cert, key=a.key,
                    cert_dir=a.cert_dir, workers=a.workers, redis_url=a.redis_url,
                    verbose=a.verbose, forwarded_allow_ips=proxies, limits=limits)
