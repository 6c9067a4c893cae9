"""The routes of every solve (submit, witness submit, result poll and cancel) as plain ASGI
callables: each reads the few headers it needs from one table and sends answers built here, with
no request or response object, router or middleware between the server and the store."""
import asyncio
import re
import time
from typing import Dict, List, Optional, Sequence, Tuple, Union
from urllib.parse import parse_qsl

from starlette.responses import Response
from starlette.types import Message, Receive, Scope, Send

from ..jobs import SUBSET, SUMS, StoreError, owner_of
from ..protocol import (API_KEY_HEADER, BAD_KEY_MESSAGE, GONE_STATUS, NOT_READY_STATUS,
                        REQUEST_ID_HEX_DIGITS, REQUEST_ID_KEY, TARGET_KEY)
from ..waits import within
from ..wire import NOT_READY_BODY, RequestError, busy, parse_target, parse_values, request_id_body
from .delivery import WINDOW, ReaderTooSlow, payload_response
from .service import Answer, Service, answer, message_answer

Fields = Dict[bytes, Optional[bytes]]
# Streamed answers (large results) stay Starlette responses: they hold a delivery budget.
Sent = Union[Answer, Response]

_API_KEY = API_KEY_HEADER.encode("ascii")
# Set by the edge, the application's only peer, to the client's address (or to the one a proxy it
# trusts forwarded): any value a client sent is replaced there.
_CLIENT = b"x-forwarded-for"
# Names that count only when given once: None in the table when repeated.
_ONCE = (b"host", _API_KEY)
_REQUEST_ID = re.compile(f"[0-9a-f]{{{REQUEST_ID_HEX_DIGITS}}}")
_DIGITS = re.compile(rb"[0-9]{1,30}")
# Bodies this small are buffered by the server for any open connection anyway (its read-ahead),
# and are parsed on the event loop; larger ones count against the in-flight budget and are
# parsed on a thread.
SMALL_BODY = 64 * 1024
STORE_DOWN = "Service unavailable: the store cannot be reached; retry in 5 s"
_UNKNOWN_ID = f"Unknown {REQUEST_ID_KEY}"

# The answers that never change, built once.
_NO_LENGTH = message_answer(411, "Content-Length required")
_UNKNOWN = message_answer(404, _UNKNOWN_ID)
_ONE_KEY = message_answer(400, f"Send one {API_KEY_HEADER} header")
_BAD_KEY = message_answer(403, BAD_KEY_MESSAGE)
_ENDED_EARLY = message_answer(400, "Body ended early")
_TOO_SLOW = message_answer(408, "Request body too slow", close=True)
_STORE_DOWN = message_answer(503, STORE_DOWN, 5)
_NOT_READY = answer(NOT_READY_STATUS, NOT_READY_BODY)
_INTERNAL = message_answer(500, "Internal error")
_NOT_ALLOWED = message_answer(405, "Method not allowed")
_USE_POST = message_answer(405, "Use POST to submit a problem")
_USE_GET = message_answer(405, "Use GET for results")
_GZIP = b"application/gzip"


def header_fields(raw: Sequence[Tuple[bytes, bytes]]) -> Fields:
    """Each header's value by name: the first where a name repeats, None for a repeated name
    that must be given once."""
    fields: Fields = dict(raw)
    if len(fields) == len(raw):
        return fields
    fields = {}
    for name, value in raw:
        if name not in fields:
            fields[name] = value
        elif name in _ONCE:
            fields[name] = None
    return fields


def host_refusal(fields: Fields, http_version: str) -> Optional[Answer]:
    """The answer to a request that does not say which site it is for, or names two."""
    if b"host" not in fields:
        return message_answer(400, "Host header required", close=True) \
            if http_version == "1.1" else None
    return message_answer(400, "one Host header required", close=True) \
        if fields[b"host"] is None else None


async def send_answer(send: Send, sent: Answer) -> None:
    await send({"type": "http.response.start", "status": sent[0], "headers": sent[1]})
    await send({"type": "http.response.body", "body": sent[2]})


def _query(scope: Scope, name: str) -> List[str]:
    """Every value of `name` in the query, decoded as Starlette's query_params decodes them,
    without building the whole multi-dict for the one name a route reads."""
    text = scope["query_string"].decode("latin-1")
    if "&" not in text and "%" not in text and "+" not in text:
        # One field and nothing to decode, as every poll's query is: the same answer, sooner.
        key, _, value = text.partition("=")
        return [value] if key == name and text else []
    return [v for k, v in parse_qsl(text, keep_blank_values=True) if k == name] if text else []


Body = Union[bytes, bytearray, None]


def _joined(body: Body, message: Message) -> Tuple[Body, bool]:
    """The body so far with a message's piece added, and whether that ends it (None and True:
    the client left first)."""
    if message["type"] != "http.request":
        return (None, True) if message["type"] == "http.disconnect" else (body, False)
    chunk = message.get("body", b"")
    if body is None:
        body = chunk  # most bodies come in one piece: no copy
    else:
        if not isinstance(body, bytearray):
            body = bytearray(body)
        body.extend(chunk)
    return body, not message.get("more_body", False)


async def _rest_of_body(receive: Receive, body: Body) -> Body:
    while True:
        body, ended = _joined(body, await receive())
        if ended:
            return body


async def _receive_body(receive: Receive, seconds: float) -> Body:
    """The whole body, or None when the client left first; asyncio.TimeoutError once `seconds`
    have passed. The first piece is awaited without a timer: behind the edge, a body that
    stops is cut after its body timeout, which is never longer than `seconds`; most bodies
    come whole in that piece, and the timer cost a twentieth of a small solve's processor."""
    started = time.monotonic()  # not the loop's clock: finding the loop costs a system call
    body, ended = _joined(None, await receive())
    if ended:
        return body
    return await within(seconds - (time.monotonic() - started), _rest_of_body(receive, body))


class Direct:
    """The routes, bound to the service; each is called with the request's header table."""

    def __init__(self, svc: Service):
        self.svc = svc

    async def serve(self, route: str, scope: Scope, receive: Receive, send: Send,
                    fields: Fields) -> None:
        """Answers the request on `route` ("submit", "subset" or "result"), counted under the
        route that answered it."""
        name = route
        try:
            if route == "result":
                method = scope["method"]
                if method == "DELETE":
                    name = "cancel"
                    sent: Sent = await self._cancel(scope, fields)
                else:
                    sent = await self._poll(scope, fields)
            else:
                sent = await self._submit(scope, receive, fields, SUBSET if route == "subset"
                                          else SUMS)
        except Exception:  # answered and counted like any other answer
            sent = _INTERNAL
        if isinstance(sent, Response):
            self.svc.metrics.answered(name, sent.status_code)
            try:
                await sent(scope, receive, send)
            except ReaderTooSlow:
                pass  # the answer stops short; the server closes its connection
            return
        self.svc.metrics.answered(name, sent[0])
        await send_answer(send, sent)

    def _refused(self, scope: Scope, fields: Fields, method: str, wrong: Answer,
                 other: str) -> Optional[Answer]:
        """The answer to a request with the wrong method or a key that is not accepted, or None;
        the `other` method of the route is answered `wrong`."""
        if scope["method"] != method:
            return wrong if scope["method"] == other else _NOT_ALLOWED
        presented = fields.get(_API_KEY, b"")
        if presented is None:
            return _ONE_KEY
        svc = self.svc
        if not svc.api_keys:
            return None
        verdict = svc.wrong_keys.judge(fields.get(_CLIENT) or b"", presented, svc.key_accepted)
        if verdict is None:
            return svc.refused(busy("wrong_keys", "too many wrong keys from this address",
                                    svc.wrong_keys.window))
        return None if verdict else _BAD_KEY

    async def _submit(self, scope: Scope, receive: Receive, fields: Fields, kind: str) -> Sent:
        svc = self.svc
        refused = self._refused(scope, fields, "POST", _USE_POST, "GET")
        if refused is not None:
            return refused
        # A refusal before the body is read: if the client waits for "100 Continue" it never
        # sends the body, and the connection cannot carry another request.
        unsent = b"expect" in fields
        target = 0
        if kind == SUBSET:
            try:
                target = parse_target(_query(scope, TARGET_KEY))
            except RequestError as e:
                return svc.refused(e, close=unsent)
        length_text = fields.get(b"content-length")
        if b"transfer-encoding" in fields or length_text is None \
                or not _DIGITS.fullmatch(length_text):
            return _NO_LENGTH
        length = int(length_text)
        lim = svc.limits
        if length > lim.max_body_bytes:
            svc.metrics.refusals.labels("body_bytes").inc()
            return message_answer(413, f"Body exceeds {lim.max_body_bytes} bytes", close=unsent)
        counted_bytes = length if length > SMALL_BODY else 0
        if not svc.budget.take(counted_bytes):
            return svc.refused(busy("body_in_flight", f"request bodies of "
                                    f"{lim.max_body_in_flight} bytes are being received "
                                    "(--max-body-in-flight)", 5), unsent)
        try:
            try:
                # Trickling does not extend it: the deadline is fixed by the announced length.
                body = await _receive_body(receive,
                                           lim.body_timeout + length / lim.body_min_rate)
            except asyncio.TimeoutError:
                svc.metrics.connections_cut.labels("body_timeout").inc()
                return _TOO_SLOW
            if body is None or len(body) != length:
                return _ENDED_EARLY
            judged_for = target if kind == SUBSET else None
            if length > SMALL_BODY:
                values, total = await asyncio.get_running_loop().run_in_executor(
                    None, parse_values, body, lim, judged_for)
            else:
                values, total = parse_values(body, lim, judged_for)
            del body
            request_id = await svc.store.submit(owner_of(fields.get(_API_KEY) or b""), values,
                                                total, kind, target)
        except RequestError as e:
            return svc.refused(e)
        except StoreError:
            svc.metrics.refusals.labels("store_unreachable").inc()
            return _STORE_DOWN
        finally:
            svc.budget.give(counted_bytes)
        return answer(200, request_id_body(request_id))

    def _asked(self, scope: Scope, fields: Fields, method: str, wrong: Answer, other: str
               ) -> Tuple[Optional[Answer], str, str]:
        """The answer that refuses the request, or None with the asking key's owner and the
        request id it names."""
        refused = self._refused(scope, fields, method, wrong, other)
        if refused is not None:
            return refused, "", ""
        ids = _query(scope, REQUEST_ID_KEY)
        if len(ids) != 1 or not _REQUEST_ID.fullmatch(ids[0]):
            # A message answer, never anything a client could mistake for a result payload.
            return _UNKNOWN, "", ""
        return None, owner_of(fields.get(_API_KEY) or b""), ids[0]

    async def _poll(self, scope: Scope, fields: Fields) -> Sent:
        svc = self.svc
        refused, owner, request_id = self._asked(scope, fields, "GET", _USE_GET, "POST")
        if refused is not None:
            return refused
        try:
            outcome = await svc.store.result(owner, request_id, svc.limits.poll_wait)
            if outcome.state == "done":
                if outcome.read is None and len(outcome.payload) <= WINDOW:
                    return answer(200, outcome.payload, _GZIP)
                return payload_response(svc.deliveries, owner, outcome, svc.limits, svc.metrics)
        except RequestError as e:
            return svc.refused(e)
        except StoreError:
            svc.metrics.refusals.labels("store_unreachable").inc()
            return _STORE_DOWN
        if outcome.state == "pending":
            return _NOT_READY
        if outcome.state == "unknown":
            return _UNKNOWN
        if outcome.state in ("failed", "gone"):
            # Final: the client stops polling at once and reports this text.
            return message_answer(GONE_STATUS, outcome.error)
        return _INTERNAL

    async def _cancel(self, scope: Scope, fields: Fields) -> Sent:
        svc = self.svc
        refused, owner, request_id = self._asked(scope, fields, "DELETE", _NOT_ALLOWED, "")
        if refused is not None:
            return refused
        try:
            before = await svc.store.cancel(owner, request_id)
        except StoreError:
            svc.metrics.refusals.labels("store_unreachable").inc()
            return _STORE_DOWN
        if before.state == "pending":
            return message_answer(200, "Job cancelled")
        if before.state == "unknown":
            return _UNKNOWN
        if before.state == "gone":
            return message_answer(GONE_STATUS, before.error)
        return message_answer(409, "The job has finished already")
