"""Starting and stopping the service."""
import os
import signal
import ssl
import sys
import threading
from typing import Optional, Sequence

from .config import parse_settings
from .devcert import CertificateError, dev_certificate
from .jobs import JobStore
from .server import ServiceServer, keys_as_bytes, make_ssl_context


def _say(text: str, stream=None) -> None:
    stream = stream or sys.stdout
    stream.write(text + "\n")
    stream.flush()


def _url(host: str, port: int) -> str:
    if host in ("", "0.0.0.0", "::"):
        host = "localhost"
    elif ":" in host:
        host = f"[{host}]"
    return f"https://{host}:{port}"


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        settings = parse_settings(argv)
    except SystemExit as e:  # --help, or a usage error already explained by argparse
        return e.code if isinstance(e.code, int) else 2

    # Solves run in this process; the switch lives in the service's own environment only.
    os.environ["ZO_KILLSWITCH"] = "1"
    try:
        import zox  # noqa: F401
    except ImportError as e:
        _say(f"zox_service: cannot import the zox module ({e}); install it with 'pip install .'",
             sys.stderr)
        return 2

    cert, key = settings.cert, settings.key
    if cert is None:
        try:
            cert, key = dev_certificate(settings.cert_dir)
        except (CertificateError, OSError) as e:
            _say(f"zox_service: {e}", sys.stderr)
            return 2
        _say(f"zox_service: self-signed development certificate; clients trust it with "
             f"ZO_CA_BUNDLE={cert}")
    try:
        ctx = make_ssl_context(cert, key)
    except (ssl.SSLError, OSError) as e:
        _say(f"zox_service: cannot load the certificate {cert} and key {key}: {e}", sys.stderr)
        return 2

    if not settings.api_keys:
        _say("zox_service: warning: no API keys configured (--api-key or ZO_SERVICE_API_KEYS); "
             "every key is accepted", sys.stderr)

    jobs = JobStore(settings.limits, settings.workers)
    try:
        server = ServiceServer(settings.host, settings.port, ctx, jobs,
                               keys_as_bytes(settings.api_keys), settings.limits,
                               verbose=settings.verbose)
    except OSError as e:
        _say(f"zox_service: cannot listen on {settings.host}:{settings.port}: {e}", sys.stderr)
        return 2
    jobs.start()

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, name="zox-accept", daemon=True).start()
    _say(f"zox_service listening on {_url(settings.host, server.port)}")
    while not stop.wait(1.0):
        pass
    _say("zox_service stopping")
    server.stop()
    jobs.stop()
    return 0
