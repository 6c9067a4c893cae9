"""The HTTP routes: submit (every sum, or which values make one), result poll, health and
metrics. They speak to the store only."""
import asyncio
import contextlib
import re
from typing import Awaitable, Callable, List, Optional, Tuple, Union
from urllib.parse import parse_qsl

from starlette.requests import ClientDisconnect, Request
from starlette.responses import Response

from ..jobs import SUBSET, SUMS, StoreError, owner_of
from ..protocol import (API_KEY_HEADER, BAD_KEY_MESSAGE, GONE_STATUS, JSON_MEDIA_TYPE,
                        NOT_READY_STATUS, REQUEST_ID_HEX_DIGITS, REQUEST_ID_KEY, RESULT_PATH,
                        SUBMIT_PATH, SUBSET_PATH, TARGET_KEY)
from ..waits import within
from ..wire import (NOT_READY_BODY, RequestError, busy, parse_target, parse_values,
                    request_id_body)
from .delivery import payload_response
from .service import Service, message

_REQUEST_ID = re.compile(f"[0-9a-f]{{{REQUEST_ID_HEX_DIGITS}}}")
_API_KEY = API_KEY_HEADER.encode("ascii")
_UNKNOWN_ID = f"Unknown {REQUEST_ID_KEY}"
_DIGITS = re.compile(rb"[0-9]{1,30}")
# Bodies this small are buffered by the server for any open connection anyway (its read-ahead),
# and are parsed on the event loop; larger ones count against the in-flight budget and are
# parsed on a thread.
SMALL_BODY = 64 * 1024
STORE_DOWN = "Service unavailable: the store cannot be reached; retry in 5 s"
Endpoint = Callable[[Request], Awaitable[Response]]


def _header(request: Request, name: bytes) -> Optional[bytes]:
    for k, v in request.scope["headers"]:
        if k == name:
            return v
    return None


def _query(request: Request, name: str) -> List[str]:
    """Every value of `name` in the query, decoded as Starlette's query_params decodes them,
    without building the whole multi-dict for the one name a route reads."""
    text = request.scope["query_string"].decode("latin-1")
    if "&" not in text and "%" not in text and "+" not in text:
        # One field and nothing to decode, as every poll's query is: the same answer, sooner.
        key, _, value = text.partition("=")
        return [value] if key == name and text else []
    return [v for k, v in parse_qsl(text, keep_blank_values=True) if k == name] if text else []


def _presented_key(request: Request) -> Optional[bytes]:
    """The one x-api-key header's value; None when it is given more than once (which of two keys
    counts is not a question to answer)."""
    found = [v for k, v in request.scope["headers"] if k == _API_KEY]
    return found[0] if len(found) == 1 else b"" if not found else None


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


def _refused(svc: Service, request: Request, method: str, other: str,
             hint: str) -> Optional[Response]:
    """The answer to a request with the wrong method or a key that is not accepted, or None;
    the `other` method of the two routes is answered with the `hint`."""
    if request.method != method:
        return message(405, hint if request.method == other else "Method not allowed")
    presented = _presented_key(request)
    if presented is None:
        return message(400, f"Send one {API_KEY_HEADER} header")
    if not svc.api_keys:
        return None
    # The peer's address, or the one a trusted proxy forwarded (--forwarded-allow-ips).
    client = request.scope.get("client")
    address = client[0] if client else ""
    verdict = svc.wrong_keys.judge(address, presented, svc.key_accepted)
    if verdict is None:
        return svc.refused(busy("wrong_keys", "too many wrong keys from this address",
                                svc.wrong_keys.window))
    return None if verdict else message(403, BAD_KEY_MESSAGE)


@counted("submit")
async def submit(request: Request) -> Response:
    return await _submit(request, SUMS)


@counted("subset")
async def subset(request: Request) -> Response:
    return await _submit(request, SUBSET)


async def _submit(request: Request, kind: str) -> Response:
    svc: Service = request.app.state.service
    refused = _refused(svc, request, "POST", "GET", "Use POST to submit a problem")
    if refused is not None:
        return refused
    target = 0
    if kind == SUBSET:
        try:
            target = parse_target(_query(request, TARGET_KEY))
        except RequestError as e:
            return svc.refused(e, close=_header(request, b"expect") is not None)
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

        async def receive_body() -> None:
            async for chunk in request.stream():
                body.extend(chunk)
        try:
            # Trickling does not extend it: the deadline is fixed by the announced length.
            await within(lim.body_timeout + length / lim.body_min_rate, receive_body())
        except asyncio.TimeoutError:
            svc.metrics.connections_cut.labels("body_timeout").inc()
            return message(408, "Request body too slow", close=True)
        if len(body) != length:
            return message(400, "Body ended early")
        judged_for = target if kind == SUBSET else None
        if length > SMALL_BODY:
            values, total = await asyncio.get_running_loop().run_in_executor(
                None, parse_values, body, lim, judged_for)
        else:
            values, total = parse_values(body, lim, judged_for)
        del body
        request_id = await svc.store.submit(owner_of(_presented_key(request) or b""), values,
                                            total, kind, target)
    except RequestError as e:
        return svc.refused(e)
    except ClientDisconnect:
        return message(400, "Body ended early")
    except StoreError:
        svc.metrics.refusals.labels("store_unreachable").inc()
        return message(503, STORE_DOWN, 5)
    finally:
        svc.budget.give(counted_bytes)
    return Response(request_id_body(request_id), media_type=JSON_MEDIA_TYPE)


async def result(request: Request) -> Response:
    """GET polls for a job's result; DELETE cancels the job."""
    if request.method == "DELETE":
        return await cancel(request)
    return await poll(request)


def _job_asked(svc: Service, request: Request, method: str, other: str, wrong: str
               ) -> Union[Response, Tuple[str, str]]:
    """The asking key's owner and the request id it names, or the answer that refuses it."""
    refused = _refused(svc, request, method, other, wrong)
    if refused is not None:
        return refused
    ids = _query(request, REQUEST_ID_KEY)
    if len(ids) != 1 or not _REQUEST_ID.fullmatch(ids[0]):
        # A message answer, never anything a client could mistake for a result payload.
        return message(404, _UNKNOWN_ID)
    return owner_of(_presented_key(request) or b""), ids[0]


@counted("cancel")
async def cancel(request: Request) -> Response:
    svc: Service = request.app.state.service
    asked = _job_asked(svc, request, "DELETE", "", "")
    if isinstance(asked, Response):
        return asked
    try:
        before = await svc.store.cancel(*asked)
    except StoreError:
        svc.metrics.refusals.labels("store_unreachable").inc()
        return message(503, STORE_DOWN, 5)
    if before.state == "pending":
        return message(200, "Job cancelled")
    if before.state == "unknown":
        return message(404, _UNKNOWN_ID)
    if before.state == "gone":
        return message(GONE_STATUS, before.error)
    return message(409, "The job has finished already")


@counted("result")
async def poll(request: Request) -> Response:
    svc: Service = request.app.state.service
    asked = _job_asked(svc, request, "GET", "POST", "Use GET for results")
    if isinstance(asked, Response):
        return asked
    owner, request_id = asked
    try:
        outcome = await svc.store.result(owner, request_id, svc.limits.poll_wait)
        if outcome.state == "done":
            return payload_response(svc.deliveries, owner, outcome, svc.limits, svc.metrics)
    except RequestError as e:
        return svc.refused(e)
    except StoreError:
        svc.metrics.refusals.labels("store_unreachable").inc()
        return message(503, STORE_DOWN, 5)
    if outcome.state == "unknown":
        return message(404, _UNKNOWN_ID)
    if outcome.state == "pending":
        return Response(NOT_READY_BODY, NOT_READY_STATUS, media_type=JSON_MEDIA_TYPE)
    if outcome.state in ("failed", "gone"):
        # Final: the client stops polling at once and reports this text.
        return message(GONE_STATUS, outcome.error)
    return message(500, "Internal error")


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
