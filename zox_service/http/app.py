"""The application: the routes, and the store and solvers started and stopped with it."""
import asyncio
import contextlib
import sys
from typing import AsyncIterator

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from ..jobs import StoreError
from .delivery import ReaderTooSlow
from .routes import (RESULT_PATH, SUBMIT_PATH, SUBSET_PATH, healthz, internal_error, metrics,
                     not_found, result, submit, subset)
from .service import Service, message

ALL_METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]


class ServiceApp:
    """The Starlette application, with the two routes every solve takes served without its router
    and middleware: those layers cost a quarter of the service's time per request and add
    nothing these endpoints use (they answer every method and failure themselves)."""

    def __init__(self, app: Starlette):
        self.app = app
        self.state = app.state
        self._direct = {SUBMIT_PATH: submit, SUBSET_PATH: subset, RESULT_PATH: result}

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        hosts = sum(k == b"host" for k, _ in scope["headers"])
        if hosts > 1 or (hosts == 0 and scope["http_version"] == "1.1"):
            # A request that does not say which site it is for, or names two.
            text = "one Host header required" if hosts else "Host header required"
            await message(400, text, close=True)(scope, receive, send)
            return
        endpoint = self._direct.get(scope["path"])
        if endpoint is None:
            await self.app(scope, receive, send)
            return
        scope["app"] = self.app
        request = Request(scope, receive)
        try:
            response = await endpoint(request)
        except Exception as e:
            response = await internal_error(request, e)
        try:
            await response(scope, receive, send)
        except ReaderTooSlow:
            pass  # the answer stops short; the server closes its connection


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

    app = Starlette(routes=[
        Route(SUBMIT_PATH, submit, methods=ALL_METHODS),
        Route(SUBSET_PATH, subset, methods=ALL_METHODS),
        Route(RESULT_PATH, result, methods=ALL_METHODS),
        Route("/healthz", healthz, methods=["GET"]),
        Route("/metrics", metrics, methods=["GET"]),
        Route("/{rest:path}", not_found, methods=ALL_METHODS),
    ], exception_handlers={Exception: internal_error}, lifespan=lifespan)
    app.state.service = service
    return ServiceApp(app)
