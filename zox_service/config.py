"""Command-line options and environment variables of the solving service."""
import argparse
import os
from dataclasses import dataclass, field
from typing import List, Mapping, Optional, Sequence

DEFAULT_PORT = 8443
MAX_U64 = 2**64 - 1


@dataclass(frozen=True)
class Limits:
    """What one request, and the service as a whole, may ask for."""

    max_body_bytes: int = 16 * 2**20
    max_values: int = 1_000_000
    # A solve peaks at about one byte per unit of total (the result words as a Python list of
    # ints, beside the bitset itself): about 1.1 GiB at this default.
    max_total: int = 2**30
    # Word operations of the shift-or solver: non-zero values times result words. A solve runs to
    # its end once started, so this bounds how long one request holds a worker (about half a
    # minute at this default), well within the client's minute of polling.
    max_work: int = 2**34
    max_pending: int = 32
    max_results: int = 1024
    max_stored_bytes: int = 2**30
    result_ttl: float = 600.0
    # A poll for an unfinished solve is held this long and answered as soon as the result exists,
    # so a result is not late by the client's pause between polls; well below the minute after
    # which the client gives up on a silent transfer.
    poll_wait: float = 5.0
    io_timeout: float = 30.0
    max_connections: int = 64


@dataclass(frozen=True)
class Settings:
    host: str = "127.0.0.1"
    port: int = DEFAULT_PORT
    api_keys: List[str] = field(default_factory=list)
    cert: Optional[str] = None
    key: Optional[str] = None
    cert_dir: Optional[str] = None
    workers: int = 2
    verbose: bool = False
    limits: Limits = field(default_factory=Limits)


class ConfigError(ValueError):
    pass


def result_reservation(total: int) -> int:
    """Upper bound of the stored payload for a total: the raw bitset plus gzip's worst-case growth."""
    raw = 8 * (total // 64 + 1)
    return raw + raw // 1024 + 64


def _positive_int(text: str) -> int:
    try:
        v = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return v


def _positive_float(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not v > 0:
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


def build_parser(environ: Mapping[str, str]) -> argparse.ArgumentParser:
    d = Limits()
    p = argparse.ArgumentParser(
        prog="python -m zox_service",
        description="HTTPS solving service for zox: accepts complete subset sum problems on "
        '"/v0/app/sspu" and hands out gzip-compressed sum bitsets on "/v0/result".',
        epilog="Environment: ZO_SERVICE_API_KEYS (comma-separated keys), ZO_SERVICE_HOST, "
        "ZO_SERVICE_PORT, ZO_SERVICE_CERT, ZO_SERVICE_KEY, ZO_SERVICE_CERT_DIR; an option wins "
        "over its variable. Without accepted keys every key is accepted. Without a certificate a "
        "self-signed one for localhost is made (needs the openssl command).",
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
    p.add_argument("--workers", type=_positive_int, default=min(4, os.cpu_count() or 1),
                   help="solves running at once (default: cores, at most 4)")
    p.add_argument("--verbose", action="store_true", help="log every request on standard error")
    g = p.add_argument_group("limits")
    g.add_argument("--max-body-bytes", type=_positive_int, default=d.max_body_bytes)
    g.add_argument("--max-values", type=_positive_int, default=d.max_values)
    g.add_argument("--max-total", type=_positive_int, default=d.max_total,
                   help="largest accepted sum of the values")
    g.add_argument("--max-work", type=_positive_int, default=d.max_work,
                   help="largest accepted (non-zero values) x (total / 64 + 1)")
    g.add_argument("--max-pending", type=_positive_int, default=d.max_pending,
                   help="problems queued or being solved")
    g.add_argument("--max-results", type=_positive_int, default=d.max_results,
                   help="problems held, solved or not")
    g.add_argument("--max-stored-bytes", type=_positive_int, default=d.max_stored_bytes,
                   help="bytes of results held (unsolved problems count at their largest size)")
    g.add_argument("--result-ttl", type=_positive_float, default=d.result_ttl,
                   help="seconds a result is kept after it is solved")
    g.add_argument("--poll-wait", type=float, default=d.poll_wait,
                   help="seconds a result poll waits for an unfinished solve before it answers")
    g.add_argument("--io-timeout", type=_positive_float, default=d.io_timeout,
                   help="seconds a connection may stay silent")
    g.add_argument("--max-connections", type=_positive_int, default=d.max_connections,
                   help="connections served at once; more wait to be accepted")
    return p


def parse_settings(argv: Optional[Sequence[str]] = None,
                   environ: Optional[Mapping[str, str]] = None) -> Settings:
    environ = os.environ if environ is None else environ
    parser = build_parser(environ)
    a = parser.parse_args(argv)
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
    limits = Limits(
        max_body_bytes=a.max_body_bytes, max_values=a.max_values, max_total=a.max_total,
        max_work=a.max_work, max_pending=a.max_pending, max_results=a.max_results,
        max_stored_bytes=a.max_stored_bytes, result_ttl=a.result_ttl, poll_wait=a.poll_wait,
        io_timeout=a.io_timeout, max_connections=a.max_connections,
    )
    if result_reservation(limits.max_total) > limits.max_stored_bytes:
        # Otherwise the largest accepted problem could never be admitted.
        parser.error(f"--max-stored-bytes must be at least {result_reservation(limits.max_total)} "
                     "to hold one result of --max-total")
    return Settings(host=a.host, port=a.port, api_keys=keys, cert=a.cert, key=a.key,
                    cert_dir=a.cert_dir, workers=a.workers, verbose=a.verbose, limits=limits)
