"""Starting and stopping the service: a front end (with or without solvers), or a solver alone."""
import asyncio
import contextlib
import os
import signal
import ssl
import sys
from typing import Optional, Sequence

from .config import Settings, parse_settings
from .devcert import CertificateError, dev_certificate
from .jobs import StoreError
from .metrics import Metrics
from .stores.base import Store
from .stores.memory import MemoryStore


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


def make_ssl_context(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)
    return ctx


def keys_as_bytes(keys: Sequence[str]) -> list:
    # The bytes the client puts on the wire, whatever the locale decoded the argument from.
    return [os.fsencode(k) for k in keys]


def _make_store(settings: Settings) -> Store:
    if settings.redis_url:
        from .stores.redis import RedisStore

        return RedisStore(settings.redis_url, settings.limits)
    return MemoryStore(settings.limits)


def _redis_problem(url: str) -> Optional[str]:
    """Why Redis cannot be used, checked before the server starts so that the operator reads
    one line instead of a server's traceback."""
    import redis

    try:
        client = redis.Redis.from_url(url, socket_connect_timeout=5, socket_timeout=5)
        try:
            client.ping()
        finally:
            client.close()
    except (redis.RedisError, OSError, ValueError) as e:
        return str(e)
    return None


def _tune_collector() -> None:
    # Every connection holds a few dozen long-lived objects (protocol, transport, timers), and
    # each request makes and drops a few hundred: with the default thresholds the cyclic
    # collector ran a full pass over every open connection's objects many times a second, a
    # twentieth of the CPU with a thousand clients. What is there at start (modules, the app)
    # is never garbage; a higher first threshold makes passes rarer without keeping much longer
    # what reference counting does not free.
    import gc

    gc.collect()
    gc.freeze()
    gc.set_threshold(10_000, 10, 10)


def _ignore_signals() -> None:
    # The server handles SIGINT and SIGTERM itself and raises them again once it has stopped;
    # by then there is nothing left to do but return.
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: None)


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        settings = parse_settings(argv)
    except SystemExit as e:  # --help, or a usage error already explained by argparse
        return e.code if isinstance(e.code, int) else 2

    if settings.workers:
        try:
            import zox  # noqa: F401
        except ImportError as e:
            _say(f"zox_service: cannot import the zox module ({e}); install it with 'pip install .'",
                 sys.stderr)
            return 2
    try:
        import uvloop  # noqa: F401

        from .http.server import make_server  # noqa: F401
    except ImportError as e:
        _say(f"zox_service: a dependency is missing ({e}); install the service with "
             "\"pip install 'zox[service]'\"", sys.stderr)
        return 2
    if settings.solver_only:
        return _run_solver(settings)
    return _run_front_end(settings)


def _run_front_end(settings: Settings) -> int:
    import uvloop

    from .http.app import build_app
    from .http.edge import Edge, EdgeError, check_address, free_port, find_nginx, render
    from .http.server import make_server, serve
    from .http.service import Service
    from .solver import AtOnce, Solvers

    cert, key = settings.cert, settings.key
    if cert is None:
        try:
            cert, key = dev_certificate(settings.cert_dir)
        except (CertificateError, OSError) as e:
            _say(f"zox_service: {e}", sys.stderr)
            return 2
        _say(f"zox_service: self-signed development certificate; clients trust it with "
             f"ZO_CA_BUNDLE={cert}")
    assert key is not None  # --cert and --key go together
    try:
        make_ssl_context(cert, key)  # a clear message here rather than nginx's
    except (ssl.SSLError, OSError) as e:
        _say(f"zox_service: cannot load the certificate {cert} and key {key}: {e}", sys.stderr)
        return 2
    if not settings.api_keys:
        _say("zox_service: warning: no API keys configured (--api-key or ZO_SERVICE_API_KEYS); "
             "every key is accepted", sys.stderr)
    nginx = find_nginx()
    if nginx is None:
        _say("zox_service: nginx is needed in front of the service and was not found; install "
             "it (Debian: apt-get install nginx-light, or scripts/install-system-deps)",
             sys.stderr)
        return 2
    try:
        port = settings.port or free_port(settings.host)
        check_address(settings.host, port)
    except OSError as e:
        _say(f"zox_service: cannot listen on {settings.host}:{settings.port}: {e}", sys.stderr)
        return 2

    if settings.redis_url:
        problem = _redis_problem(settings.redis_url)
        if problem:
            _say(f"zox_service: cannot use Redis at {settings.redis_url}: {problem}", sys.stderr)
            return 2
    limits = settings.limits
    metrics = Metrics()
    store = _make_store(settings)
    solvers = Solvers(store, settings.workers, metrics, limits.reclaim_after / 3,
                      witness_deadline=limits.witness_deadline,
                      witness_bytes=limits.max_witness_bytes) if settings.workers else None
    if solvers is None and settings.redis_url:
        # Tiny problems are answered here all the same: handing one to a worker costs more
        # than solving it.
        store.solve_at_once_with(AtOnce(metrics))
    service = Service(store, limits, keys_as_bytes(settings.api_keys), metrics, solvers)
    edge = Edge(nginx)
    # A free port found for --port 0 may be taken before nginx binds it: then another one.
    for _ in range(1 if settings.port else 3):
        try:
            # Before any thread starts: nginx is forked with a hook. Until the application
            # listens, nginx answers 503 "retry in 5 s".
            edge.start(render(limits, settings.host, port, cert, key, edge.run_dir,
                              settings.forwarded_allow_ips),
                       settings.host, port)
            break
        except (EdgeError, OSError) as e:
            failure = e
            port = free_port(settings.host) if not settings.port else port
    else:
        edge.stop(0)
        _say(f"zox_service: cannot start the edge: {failure}", sys.stderr)
        return 2
    try:
        server = make_server(build_app(service), limits, settings.verbose, edge.socket_path)
        where = f"redis {settings.redis_url}" if settings.redis_url else "in-process store"
        _say(f"zox_service: {where}, {settings.workers} solvers")
        _ignore_signals()
        _tune_collector()
        # Scripts read the address as the last word of this line.
        status = uvloop.run(serve(server, edge, lambda: _say(
            f"zox_service listening on {_url(settings.host, port)}")))
    finally:
        edge.stop(limits.poll_wait + 5)
    if status == 0:
        _say("zox_service stopping")
    return status


def _run_solver(settings: Settings) -> int:
    import uvloop

    from .stores.redis import RedisStore
    from .solver import Solvers

    async def run() -> int:
        store = RedisStore(settings.redis_url or "", settings.limits)
        try:
            await store.start(listen=False)
        except (StoreError, asyncio.TimeoutError) as e:
            _say(f"zox_service: cannot use Redis at {settings.redis_url}: {e}", sys.stderr)
            return 2
        metrics = Metrics()
        if settings.metrics_address:
            from prometheus_client import start_http_server

            host, _, port = settings.metrics_address.rpartition(":")
            try:
                start_http_server(int(port), host.strip("[]") or "127.0.0.1",
                                  registry=metrics.registry)
            except OSError as e:
                _say(f"zox_service: cannot serve metrics on {settings.metrics_address}: {e}",
                     sys.stderr)
                await store.close()
                return 2
        solvers = Solvers(store, settings.workers, metrics, settings.limits.reclaim_after / 3,
                          witness_deadline=settings.limits.witness_deadline,
                          witness_bytes=settings.limits.max_witness_bytes)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stop.set)
        await solvers.start()

        async def watch_queue() -> None:
            while True:
                with contextlib.suppress(StoreError):
                    metrics.queue_depth.set(await store.queue_depth())
                await asyncio.sleep(5)
        watcher = loop.create_task(watch_queue())
        _say(f"zox_service worker solving for redis {settings.redis_url} "
             f"({settings.workers} solvers)")
        await stop.wait()
        _say("zox_service stopping")
        # Jobs not yet claimed stay in Redis for the other solvers.
        watcher.cancel()
        await solvers.stop()
        await store.close()
        return 0

    return uvloop.run(run())
