"""What travels on the wire: the submitted values, the answers, and the result payload."""
import json
import re
import sys
import zlib
from array import array
from typing import Iterable, List, Optional, Tuple, Union

from .limits import Limits
from .protocol import (MESSAGE_KEY, MESSAGE_MAX_CHARS, REQUEST_ID_KEY, TARGET_KEY, VALUE_MAX,
                       WITNESS_HEADER_WORDS)

# The client's scanner ends a message at a double quote, a comma or a closing brace, and its error
# buffer keeps MESSAGE_MAX_CHARS: messages stay short, plain and free of those characters.
_MESSAGE_FORBIDDEN_CHARS = set('",}\\')


class RequestError(Exception):
    """A request the service answers with a status and a message instead of a result."""

    def __init__(self, status: int, message: str, retry_after: Optional[int] = None,
                 reason: Optional[str] = None):
        super().__init__(message)
        self.status = status
        self.message = message
        # Busy answers carry when to come back, and a short name for the metrics.
        self.retry_after = retry_after
        self.reason = reason


def busy(reason: str, what: str, retry_after: int) -> RequestError:
    """A 503 that names the limit and when to retry."""
    return RequestError(503, f"Service busy: {what}; retry in {retry_after} s",
                        retry_after=retry_after, reason=reason)


def message_body(text: str) -> bytes:
    text = "".join(c if c not in _MESSAGE_FORBIDDEN_CHARS and " " <= c <= "~" else " " for c in text)
    return json.dumps({MESSAGE_KEY: text[:MESSAGE_MAX_CHARS]}, separators=(",", ":")).encode()


def request_id_body(request_id: str) -> bytes:
    # Compact and without a trailing newline: the client takes each received piece as the whole
    # object and rejects anything after the closing brace. Ids are hex: nothing to escape.
    return b'{"%s":"%s"}' % (_REQUEST_ID_KEY, request_id.encode("ascii"))


_REQUEST_ID_KEY = REQUEST_ID_KEY.encode("ascii")


NOT_READY_BODY = message_body("Result not ready")

_NOT_VALUES = "Body must be a JSON array of non-negative integers"


def _reject_float(text: str):
    raise RequestError(400, f"Values must be integers: got {text[:30]}")


def _reject_constant(text: str):
    raise RequestError(400, f"Values must be integers: got {text}")


_MOST_DIGITS = 30
_LONG_DIGITS = re.compile(rb"[0-9]{%d}" % (_MOST_DIGITS + 1))


def _parse_int(text: str) -> int:
    # Far past any accepted total; also spares the interpreter converting huge digit strings.
    if len(text.lstrip("-")) > _MOST_DIGITS:
        raise RequestError(413, f"A value has {len(text)} digits: too large")
    return int(text)


def parse_values(body: Union[bytes, bytearray], limits: Limits,
                 target: Optional[int] = None) -> Tuple[array, int]:
    """The submitted values as unsigned 64-bit words, and their total; RequestError when refused.
    Without a target they are judged as a complete solve, with one as a search for the values
    that make it."""
    # Refused before parsing: a body of many values costs far more memory parsed than as text.
    if body.count(b",") >= limits.max_values:
        raise RequestError(413, f"Too many values (limit {limits.max_values})")
    data = _decode(body)
    if not isinstance(data, list):
        raise RequestError(400, _NOT_VALUES)
    if len(data) > limits.max_values:
        raise RequestError(413, f"Too many values: {len(data)} (limit {limits.max_values})")
    words = _words(body, data)
    if words is None:
        _refuse_long_digits(body)
        # bool is an int subtype in Python, but true and false are not numbers in JSON.
        if not all(type(v) is int and v >= 0 for v in data):
            i = next(i for i, v in enumerate(data) if not (type(v) is int and v >= 0))
            raise RequestError(400, f"Value at index {i} is not a non-negative integer")
    total = sum(data)
    nonzero = len(data) - data.count(0)
    if target is not None:
        if total > MAX_TARGET:
            raise RequestError(413, f"The values add up to more than {MAX_TARGET}")
        need = witness_bytes(nonzero)
        if need > limits.max_witness_bytes:
            raise RequestError(413, f"The search needs {need} bytes: more than the limit of "
                               f"{limits.max_witness_bytes} (--max-witness-bytes)")
        return words if words is not None else array("Q", data), total
    if total > limits.max_total:
        raise RequestError(413, f"Total {total} exceeds the limit of {limits.max_total}")
    if sums_work(nonzero, total) > limits.max_work:
        raise RequestError(413, f"Problem too large: {len(data)} values ({nonzero} non-zero) with "
                           f"total {total} exceed the work limit of {limits.max_work}")
    return words if words is not None else array("Q", data), total


# Each integer is judged by its digits only when some value did not fit a word (or the body
# did not parse) and some run of digits is that long: the parser's own integers are several
# times faster than a call per value, and looking for long runs first cost a quarter of a small
# body's parse. The interpreter converts at most a few thousand digits a literal meanwhile. Made
# once: a decoder per body costs as much as decoding a small one.
_DECODER = json.JSONDecoder(parse_float=_reject_float, parse_constant=_reject_constant)
_LONG_DECODER = json.JSONDecoder(parse_float=_reject_float, parse_constant=_reject_constant,
                                 parse_int=_parse_int)


def _refuse_long_digits(body: Union[bytes, bytearray]) -> None:
    """RequestError (413) when a value of the body has too many digits."""
    if _LONG_DIGITS.search(body):
        _decode(body, _LONG_DECODER)


def _decode(body: Union[bytes, bytearray], decoder: json.JSONDecoder = _DECODER) -> object:
    try:
        if body[:1] == b"[" and body[1:2] != b"\0":
            # What json.loads takes for UTF-8 (no BOM, no zero byte of UTF-16 or UTF-32 first).
            return decoder.decode(body.decode("utf-8", "surrogatepass"))
        return json.loads(body, parse_float=_reject_float, parse_constant=_reject_constant,
                          parse_int=decoder.parse_int)
    except RequestError:
        raise
    except (ValueError, RecursionError):
        if decoder is _DECODER:  # a literal past the interpreter's own limit is not JSON's fault
            _refuse_long_digits(body)
        raise RequestError(400, "Body is not valid JSON") from None


def _words(body: Union[bytes, bytearray], data: list) -> Optional[array]:
    """The values as words when each is an integer in range, or None when some is not (or
    may be a true or false, which the array would take for 1 and 0)."""
    if b"e" in body:
        return None
    try:
        return array("Q", data)
    except (TypeError, OverflowError):
        return None


def sums_work(nonzero: int, total: int) -> int:
    """Word operations of a complete solve: its non-zero values (zeros add no sum) times the
    words of its bitset. The work limit and the solvers' batching both count this."""
    return nonzero * (total // 64 + 1)


# What one search for which values make a target holds: words per value (the values, their
# order, bundles and positions, the indices found), and what its steps may hold at once, which
# its solver bounds by the rest of the limit (a step that would need more is refused there).
WITNESS_BYTES_PER_VALUE = 96
WITNESS_LEAST_STEP = 8 * 2**20  # the engine's own floor: smaller inputs use it freely


def witness_bytes(count: int) -> int:
    """The least memory a search of `count` non-zero values needs."""
    return WITNESS_BYTES_PER_VALUE * count + WITNESS_LEAST_STEP


def witness_step_budget(limit: int, count: int) -> int:
    """What each step of a search of `count` values may hold within `limit` bytes in all."""
    return max(WITNESS_LEAST_STEP, limit - WITNESS_BYTES_PER_VALUE * count)


MAX_TARGET = VALUE_MAX
_TARGET_USAGE = f"{TARGET_KEY}=<a non-negative integer>"


def parse_target(given: List[str]) -> int:
    """The target of a witness request, from the values its query gave; RequestError otherwise."""
    if len(given) != 1:
        raise _bad_target(f"Give one {_TARGET_USAGE} in the query" if given else
                          f"Missing target: add ?{_TARGET_USAGE} to the address")
    text = given[0]
    if not (text.isascii() and text.isdigit()):
        raise _bad_target(f"Target must be a non-negative integer: got {text[:30]}")
    # Judged by its length first: the interpreter refuses to convert thousands of digits.
    if len(text) > len(str(MAX_TARGET)) or int(text) > MAX_TARGET:
        raise _bad_target(f"Target exceeds {MAX_TARGET}")
    return int(text)


def _bad_target(text: str) -> RequestError:
    return RequestError(400, text, reason="bad_target")


# Compression is most of a solve's time: level 1 takes a quarter of the default level's time on
# bitsets (a 29 MB result: 1.2 s instead of 4.8 s), its sparse payloads a few per cent larger (dense
# ones, tiny either way, a few times), so a key's large solves hold the solvers and the processor
# for a quarter of the time.
GZIP_LEVEL = 1


def encode_result(words: Union[array, Iterable[int]]) -> bytes:
    """The gzip stream of the sum bitset in little-endian byte order."""
    raw = words if isinstance(words, array) and words.typecode == "Q" else array("Q", words)
    if sys.byteorder == "big":
        raw = array("Q", raw)
        raw.byteswap()
    # A gzip wrapper with a zero time stamp; zlib works without the interpreter lock.
    data = memoryview(raw).cast("B")
    if len(data) > SMALL_RESULT_BYTES:
        return zlib.compress(data, GZIP_LEVEL, 31)
    # A window and a symbol buffer just large enough for a small result: a few KiB instead of the
    # 256 KiB of the defaults, whose fresh mapping cost up to a hundred times the compression. The
    # buffer holds the whole result, so it is one block, within the bound its reservation counts.
    window = max(9, (len(data) - 1).bit_length())
    buffer = min(9, max(1, len(data).bit_length() - 6))
    small = zlib.compressobj(GZIP_LEVEL, zlib.DEFLATED, 16 + window, buffer)
    return small.compress(data) + small.flush()


SMALL_RESULT_BYTES = 1 << 15

# A search's answer opens with these words, as the client reads it: encode_witness writes them.
assert WITNESS_HEADER_WORDS == 2, "a witness payload's header is the found flag and the count"


def encode_witness(found: Optional[List[int]]) -> bytes:
    """The gzip stream of a search's answer: 1, the count and the indices (ascending) of the
    values found, or 0 and 0 when none add up to the target."""
    return encode_result(array("Q", [0, 0] if found is None else [1, len(found), *found]))
