"""The routes off the path of a solve, on Starlette: health, metrics, and every other path.
They speak to the store only."""
import contextlib
from typing import Awaitable, Callable

from starlette.requests import Request
from starlette.responses import Response

from ..jobs import StoreError
from ..protocol import JSON_MEDIA_TYPE
from .service import Service, message

Endpoint = Callable[[Request], Awaitable[Response]]


def counted(route: str) -> Callable[[Endpoint], Endpoint]:
    def wrap(endpoint: Endpoint) -> Endpoint:
        async def counted_endpoint(request: Request) -> Response:
            try:
                response = await endpoint(request)
            except Exception as e:  # answered and counted like any other answer
                response = await internal_error(request, e)
            request.app.state.service.metrics.answered(route, response.status_code)
            return response
        return counted_endpoint
    return wrap


@counted("healthz")
async def healthz(request: Request) -> Response:
    svc: Service = request.app.state.service
    health = await svc.store.health()
    body = b'{"status":"%s","store":{"reachable":%s,"writable":%s}}' % (
        b"ok" if all(health.values()) else b"unavailable",
        b"true" if health["reachable"] else b"false", b"true" if health["writable"] else b"false")
    return Response(body, 200 if all(health.values()) else 503, media_type=JSON_MEDIA_TYPE)


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
