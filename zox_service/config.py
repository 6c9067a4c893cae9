"""Command-line options and environment variables of the solving service."""
import argparse
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, List, Mapping, Optional, Sequence, Tuple

DEFAULT_PORT = 8443
MAX_U64 = 2**64 - 1
MiB = 2**20
# What a held result costs beyond its payload (its record, its id, its place in the expiry order),
# so that many tiny results are not free.
RESULT_OVERHEAD = 512


@dataclass(frozen=True)
class Limits:
    """Every limit of the service, each one named setting with its default, enforced in one place.

    Per request: ``max_body_bytes``, ``max_values``, ``max_total``, ``max_work``.
    Per API key: ``max_pending`` (problems queued or being solved), ``max_held_bytes`` (result
    bytes held, unsolved problems counted at their largest size).
    Per process or store: ``max_stored_bytes`` (all results the in-process store holds),
    ``max_queued`` (problems waiting in the store, far past what one key may queue),
    ``max_body_in_flight`` (request bodies being received at once).
    Per connection: ``header_timeout`` (TLS handshake plus request line and headers, from accept;
    trickling cannot extend it), ``body_timeout`` + Content-Length / ``body_min_rate``,
    ``max_header_bytes``, ``keep_alive_timeout`` (idle between requests).
    """

    max_body_bytes: int = 16 * MiB
    max_values: int = 1_000_000
    # A solve peaks at about one byte per unit of total: about 1.1 GiB at this default.
    max_total: int = 2**30
    # Word operations of a plain shift-or solve: non-zero values times result words. A solve runs
    # to its end once started, so this bounds how long one request holds a solver.
    max_work: int = 2**34
    max_pending: int = 1024
    max_held_bytes: int = 256 * MiB
    max_stored_bytes: int = 1024 * MiB
    max_queued: int = 10_000
    max_body_in_flight: int = 256 * MiB
    result_ttl: float = 600.0
    # A delivered result stays this long for a repeated poll, then its memory is freed.
    delivered_ttl: float = 60.0
    # A poll for an unfinished solve is held this long and answered as soon as the result exists.
    poll_wait: float = 5.0
    header_timeout: float = 30.0
    body_timeout: float = 10.0
    body_min_rate: int = 64 * 1024
    max_header_bytes: int = 64 * 1024
    keep_alive_timeout: float = 15.0
    # Redis only: a job whose solver has been silent this long is taken over by another solver
    # (a live solver renews its claim at a third of this), and after this many deliveries a job
    # that keeps killing its solvers is answered with a failure.
    reclaim_after: float = 30.0
    max_attempts: int = 3


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
    limits: Limits = field(default_factory=Limits)


def result_reservation(total: int) -> int:
    """Upper bound of the stored payload for a total: the raw bitset plus gzip's worst-case growth,
    plus what holding a result costs."""
    raw = 8 * (total // 64 + 1)
    return raw + raw // 1024 + 64 + RESULT_OVERHEAD


def _positive_int(text: str) -> int:
    try:
        v = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return v


def _count(text: str) -> int:
    try:
        v = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"cannot be negative: {text!r}")
    return v


def _positive_float(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < v < float("inf"):
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return v


def _port(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= v <= 65535:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}")
    return v


# (option, type, help); the default comes from Limits.
_LIMIT_OPTIONS: List[Tuple[str, Callable[[str], Any], str]] = [
    ("max_body_bytes", _positive_int, "largest request body"),
    ("max_values", _positive_int, "most values in one problem"),
    ("max_total", _positive_int, "largest accepted sum of the values"),
    ("max_work", _positive_int, "largest accepted (non-zero values) x (total / 64 + 1)"),
    ("max_pending", _positive_int, "problems one API key may have queued or being solved"),
    ("max_held_bytes", _positive_int,
     "result bytes one API key may hold (unsolved problems count at their largest size)"),
    ("max_stored_bytes", _positive_int, "result bytes the in-process store holds for all keys"),
    ("max_queued", _positive_int, "problems waiting in the store for all keys"),
    ("max_body_in_flight", _positive_int,
     "bytes of request bodies received at once (bodies up to 64 KiB are not counted)"),
    ("result_ttl", _positive_float, "seconds a result is kept after it is solved"),
    ("delivered_ttl", _positive_float, "seconds a result is kept after it was delivered"),
    ("poll_wait", float, "seconds a result poll waits for an unfinished solve"),
    ("header_timeout", _positive_float,
     "seconds from accepting a connection to the end of its first request's headers (TLS "
     "handshake included); for a later request, from its first byte"),
    ("body_timeout", _positive_float,
     "seconds a request body may take, plus its length over --body-min-rate"),
    ("body_min_rate", _positive_int, "slowest accepted upload, bytes per second"),
    ("max_header_bytes", _positive_int, "largest request line plus headers"),
    ("keep_alive_timeout", _positive_float, "seconds an idle connection is kept open"),
    ("reclaim_after", _positive_float,
     "Redis: seconds after which a silent solver's job is taken over"),
    ("max_attempts", _positive_int, "Redis: deliveries of a job before it is failed"),
]


def _add_limits(p: argparse.ArgumentParser, names: Sequence[str]) -> None:
    d = Limits()
    g = p.add_argument_group("limits")
    for name, kind, text in _LIMIT_OPTIONS:
        if name in names:
            g.add_argument("--" + name.replace("_", "-"), type=kind, default=getattr(d, name),
                           help=f"{text} (default {getattr(d, name)})")


def build_parser(environ: Mapping[str, str]) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m zox_service",
        description="HTTPS solving service for zox: accepts complete subset sum problems on "
        '"/v0/app/sspu" and hands out gzip-compressed sum bitsets on "/v0/result". '
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
                   help="accepted x-api-key value; repeat for several")
    p.add_argument("--cert", default=environ.get("ZO_SERVICE_CERT"),
                   help="server certificate chain (PEM)")
    p.add_argument("--key", default=environ.get("ZO_SERVICE_KEY"),
                   help="private key of the certificate (PEM)")
    p.add_argument("--cert-dir", default=environ.get("ZO_SERVICE_CERT_DIR"),
                   help="where the development certificate is kept "
                   "(default ~/.cache/zox_service)")
    _add_common(p, environ)
    _add_limits(p, [name for name, _, _ in _LIMIT_OPTIONS])
    return p


def build_worker_parser(environ: Mapping[str, str]) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m zox_service worker",
        description="A solver process without a front end: takes problems from Redis, solves "
        "them and stores their results there.")
    _add_common(p, environ)
    p.add_argument("--metrics", metavar="HOST:PORT", dest="metrics_address",
                   help="serve this solver's metrics (Prometheus text, plain HTTP) there")
    _add_limits(p, ["reclaim_after", "max_attempts"])
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
        limits = Limits(reclaim_after=a.reclaim_after, max_attempts=a.max_attempts)
        return Settings(workers=a.workers, redis_url=a.redis_url, solver_only=True,
                        verbose=a.verbose, limits=limits, metrics_address=a.metrics_address)
    keys = a.api_keys
    if keys is None:
        keys = [k.strip() for k in environ.get("ZO_SERVICE_API_KEYS", "").split(",")]
    keys = [k for k in keys if k]
    if (a.cert is None) != (a.key is None):
        parser.error("--cert and --key go together")
    if a.max_total > MAX_U64:
        parser.error(f"--max-total cannot exceed {MAX_U64}")
    if a.poll_wait < 0:
        parser.error("--poll-wait cannot be negative")
    if a.workers == 0 and not a.redis_url:
        parser.error("--workers 0 needs --redis: without it nothing would solve")
    limits = Limits(**{name: getattr(a, name) for name, _, _ in _LIMIT_OPTIONS})
    need = result_reservation(limits.max_total)
    for name in ("max_held_bytes", "max_stored_bytes"):
        if getattr(limits, name) < need:
            # Otherwise the largest accepted problem could never be admitted.
            parser.error(f"--{name.replace('_', '-')} must be at least {need} to hold one result "
                         "of --max-total")
    return Settings(host=a.host, port=a.port, api_keys=keys, cert=a.cert, key=a.key,
                    cert_dir=a.cert_dir, workers=a.workers, redis_url=a.redis_url,
                    verbose=a.verbose, limits=limits)
