"""The HTTP routes: submit, result poll, health and metrics. They speak to the store only."""
import asyncio
import contextlib
import hmac
import re
import sys
from typing import AsyncIterator, Awaitable, Callable, List, Optional

from starlette.applications import Starlette
from starlette.requests import ClientDisconnect, Request
from starlette.responses import Response
from starlette.routing import Route

from .config import Limits
from .metrics import Metrics
from .solver import Solvers
from .store import Store, StoreError, owner_of
from .wire import NOT_READY_BODY, RequestError, busy, message_body, parse_values, request_id_body

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
ALL_METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]
_REQUEST_ID = re.compile(r"[0-9a-f]{32}")
_DIGITS = re.compile(rb"[0-9]{1,30}")
# Bodies this small are buffered by the server for any open connection anyway (its read-ahead),
# and are parsed on the event loop; larger ones count against the in-flight budget and are
# parsed on a thread.
SMALL_BODY = 64 * 1024
STORE_DOWN = "Service unavailable: the store cannot be reached; retry in 5 s"


def message(status: int, text: str, retry_after: Optional[int] = None,
            close: bool = False) -> Response:
    headers = {}
    if retry_after is not None:
        headers["Retry-After"] = str(retry_after)
    if close:
        headers["Connection"] = "close"
    return Response(message_body(text), status, headers, media_type="application/json")


class BodyBudget:
    """Bytes of request bodies being received at once; a body that does not fit is refused."""

    def __init__(self, limit: int, metrics: Metrics):
        self.limit = limit
        self.used = 0
        self._metrics = metrics

    def take(self, n: int) -> bool:
        if self.used + n > self.limit:
            return False
        self.used += n
        self._metrics.body_bytes_in_flight.set(self.used)
        return True

    def give(self, n: int) -> None:
        self.used -= n
        self._metrics.body_bytes_in_flight.set(self.used)


class Service:
    """State built once per process and shared by the routes through ``app.state``."""

    def __init__(self, store: Store, limits: Limits, api_keys: List[bytes], metrics: Metrics,
                 solvers: Optional[Solvers]):
        self.store = store
        self.limits = limits
        self.api_keys = api_keys
        self.metrics = metrics
        self.solvers = solvers
        self.budget = BodyBudget(limits.max_body_in_flight, metrics)

    def key_accepted(self, presented: bytes) -> bool:
        if not self.api_keys:
            return True
        ok = False
        for k in self.api_keys:  # no early exit, so the time taken does not tell which key came close
            ok |= hmac.compare_digest(k, presented)
        return ok

    def refused(self, e: RequestError, close: bool = False) -> Response:
        if e.reason is not None:
            self.metrics.refusals.labels(e.reason).inc()
        return message(e.status, e.message, e.retry_after, close)


def _header(request: Request, name: bytes) -> Optional[bytes]:
    for k, v in request.scope["headers"]:
        if k == name:
            return v
    return None


def _presented_key(request: Request) -> bytes:
    return _header(request, b"x-api-key") or b""


def counted(route: str) -> Callable[[Callable[[Request], Awaitable[Response]]],
                                    Callable[[Request], Awaitable[Response]]]:
    def wrap(endpoint: Callable[[Request], Awaitable[Response]]) -> Callable[[Request], Awaitable[Response]]:
        async def counted_endpoint(request: Request) -> Response:
            response = await endpoint(request)
            request.app.state.service.metrics.requests.labels(route, str(response.status_code)).inc()
            return response
        return counted_endpoint
    return wrap


@counted("submit")
async def submit(request: Request) -> Response:
    svc: Service = request.app.state.service
    if request.method != "POST":
        return message(405, "Use POST to submit a problem" if request.method == "GET"
                       else "Method not allowed")
    presented = _presented_key(request)
    if not svc.key_accepted(presented):
        return message(403, "Forbidden")
    length_text = _header(request, b"content-length")
    if _header(request, b"transfer-encoding") is not None or length_text is None \
            or not _DIGITS.fullmatch(length_text):
        return message(411, "Content-Length required")
    length = int(length_text)
    lim = svc.limits
    # A refusal before the body is read: if the client waits for "100 Continue" it never sends
    # the body, and the connection cannot carry another request.
    unsent = _header(request, b"expect") is not None
    if length > lim.max_body_bytes:
        svc.metrics.refusals.labels("body_bytes").inc()
        return message(413, f"Body exceeds {lim.max_body_bytes} bytes", close=unsent)
    counted_bytes = length if length > SMALL_BODY else 0
    if not svc.budget.take(counted_bytes):
        return svc.refused(busy("body_in_flight", f"request bodies of {lim.max_body_in_flight} "
                                "bytes are being received (--max-body-in-flight)", 5), unsent)
    try:
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
        if len(body) != length:
            return message(400, "Body ended early")
        try:
            if length > SMALL_BODY:
                values, total = await asyncio.get_running_loop().run_in_executor(
                    None, parse_values, body, lim)
            else:
                values, total = parse_values(body, lim)
            del body
            request_id = await svc.store.submit(owner_of(presented), values, total)
        except RequestError as e:
            return svc.refused(e)
    except ClientDisconnect:
        return message(400, "Body ended early")
    except StoreError:
        svc.metrics.refusals.labels("store_unreachable").inc()
        return message(503, STORE_DOWN, 5)
    finally:
        svc.budget.give(counted_bytes)
    return Response(request_id_body(request_id), media_type="application/json")


@counted("result")
async def result(request: Request) -> Response:
    svc: Service = request.app.state.service
    if request.method != "GET":
        return message(405, "Use GET for results" if request.method == "POST"
                       else "Method not allowed")
    presented = _presented_key(request)
    if not svc.key_accepted(presented):
        return message(403, "Forbidden")
    ids = request.query_params.getlist("requestId")
    if len(ids) != 1 or not _REQUEST_ID.fullmatch(ids[0]):
        # A message answer, never anything a client could mistake for a result payload.
        return message(404, "Unknown requestId")
    try:
        outcome = await svc.store.result(owner_of(presented), ids[0], svc.limits.poll_wait)
    except StoreError:
        svc.metrics.refusals.labels("store_unreachable").inc()
        return message(503, STORE_DOWN, 5)
    if outcome.state == "unknown":
        return message(404, "Unknown requestId")
    if outcome.state == "pending":
        return Response(NOT_READY_BODY, 202, media_type="application/json")
    if outcome.state == "failed":
        return message(500, outcome.error)
    return Response(outcome.payload, 200, media_type="application/gzip")


@counted("healthz")
async def healthz(request: Request) -> Response:
    svc: Service = request.app.state.service
    if not await svc.store.healthy():
        return message(503, STORE_DOWN, 5)
    return Response(b'{"status":"ok"}', media_type="application/json")


@counted("metrics")
async def metrics(request: Request) -> Response:
    svc: Service = request.app.state.service
    with contextlib.suppress(StoreError):
        svc.metrics.queue_depth.set(await svc.store.queue_depth())
    return Response(svc.metrics.exposition(), media_type=svc.metrics.content_type)


@counted("other")
async def not_found(request: Request) -> Response:
    if request.method == "HEAD":
        return message(405, "Method not allowed")
    return message(404, "Not found")


async def internal_error(request: Request, exc: Exception) -> Response:
    # The client takes any poll answer that is not a message for the payload: never plain text.
    return message(500, "Internal error")


def build_app(service: Service) -> Starlette:
    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            await service.store.start()
        except (StoreError, asyncio.TimeoutError) as e:
            sys.stderr.write(f"zox_service: cannot use the store: {e}\n")
            raise
        if service.solvers is not None:
            service.solvers.start()
        try:
            yield
        finally:
            if service.solvers is not None:
                await service.solvers.stop()
            await service.store.close()

    app = Starlette(routes=[
        Route(SUBMIT_PATH, submit, methods=ALL_METHODS),
        Route(RESULT_PATH, result, methods=ALL_METHODS),
        Route("/healthz", healthz, methods=["GET"]),
        Route("/metrics", metrics, methods=["GET"]),
        Route("/{rest:path}", not_found, methods=ALL_METHODS),
    ], exception_handlers={Exception: internal_error}, lifespan=lifespan)
    app.state.service = service
    return app
