"""The application: the routes, and the store and solvers started and stopped with it."""
import asyncio
import contextlib
import sys
from typing import AsyncIterator

from starlette.applications import Starlette
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from ..jobs import StoreError
from ..protocol import RESULT_PATH, SUBMIT_PATH, SUBSET_PATH
from .direct import Direct, header_fields, host_refusal, send_answer
from .routes import healthz, internal_error, metrics, not_found
from .service import Service

ALL_METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]


class ServiceApp:
    """The Starlette application, with the routes every solve takes served before its router and
    middleware: those layers, and the request and response objects, cost more than the service's
    own work per request and add nothing these routes use (they answer every method and failure
    themselves)."""

    def __init__(self, app: Starlette, service: Service):
        self.app = app
        self.state = app.state
        self._direct = Direct(service)
        self._routes = {SUBMIT_PATH: "submit", SUBSET_PATH: "subset", RESULT_PATH: "result"}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        fields = header_fields(scope["headers"])
        refused = host_refusal(fields, scope["http_version"])
        if refused is not None:
            await send_answer(send, refused)
            return
        route = self._routes.get(scope["path"])
        if route is None:
            await self.app(scope, receive, send)
        else:
            await self._direct.serve(route, scope, receive, send, fields)


def build_app(service: Service) -> ServiceApp:
    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            await service.store.start()
        except (StoreError, asyncio.TimeoutError) as e:
            sys.stderr.write(f"zox_service: cannot use the store: {e}\n")
            raise
        if service.solvers is not None:
            await service.solvers.start()
        try:
            yield
        finally:
            if service.solvers is not None:
                await service.solvers.stop()
            await service.store.close()

    # The submit, witness and result paths never reach this router (ServiceApp answers them).
    app = Starlette(routes=[
        Route("/healthz", healthz, methods=["GET"]),
        Route("/metrics", metrics, methods=["GET"]),
        Route("/{rest:path}", not_found, methods=ALL_METHODS),
    ], exception_handlers={Exception: internal_error}, lifespan=lifespan)
    app.state.service = service
    return ServiceApp(app, service)
