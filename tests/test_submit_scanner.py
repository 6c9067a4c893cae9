"""The submit response scanner: each piece of the service's answer is scanned as a flat object."""
import ctypes

import pytest

from clib import REQUEST_ID_SIZE, CBytes, SubmitResponse, bind, libc

UNSET = b"\x7f" * 4  # what the identifier buffer holds before anything was scanned


@pytest.fixture(scope="module")
def clib(lib):
    return bind(lib)


class Scan:
    """One submit response record, fed piece by piece as libcurl would."""

    def __init__(self, clib):
        self.clib = clib
        # Exactly REQUEST_ID_SIZE bytes from malloc, so a write past it is caught under ASan.
        self.id_buf = libc.malloc(REQUEST_ID_SIZE)
        ctypes.memmove(self.id_buf, UNSET, len(UNSET))
        self.record = SubmitResponse(0, self.id_buf, None)

    def feed(self, piece: bytes):
        data = CBytes(piece)
        try:
            return self.clib.make_request_write_callback(data.ptr, 1, len(piece), self.record)
        finally:
            data.release()

    @property
    def request_id(self):
        raw = ctypes.string_at(self.id_buf, REQUEST_ID_SIZE)
        if raw.startswith(UNSET):
            return None
        assert b"\0" in raw, "identifier not terminated within its buffer"
        return raw.split(b"\0", 1)[0].decode()

    @property
    def err_text(self):
        return ctypes.string_at(self.record.err_str).decode() if self.record.err_str else None

    def close(self):
        libc.free(self.record.err_str)
        libc.free(self.id_buf)


@pytest.fixture
def scan(clib):
    s = Scan(clib)
    yield s
    s.close()


# (piece, bytes consumed, status, identifier, error text, standard output)
ONE_PIECE = [
    pytest.param(b'{"requestId": "abc123"}', None, 0, "abc123", None, "", id="string-id-with-space"),
    pytest.param(b'{"requestId":42}', None, 0, "42", None, "", id="bare-id"),
    pytest.param(b'{"status":"ok","requestId":"r-1"}', None, 0, "r-1", None, "", id="other-key-skipped"),
    pytest.param(b'{"n":7, "requestId":"r-2", "x":true}', None, 0, "r-2", None, "", id="bare-values-around"),
    pytest.param(b"{}", 2, 0, None, None, "", id="empty-object"),
    pytest.param(b'{"requestId":""}', None, 0, "", None, "", id="empty-id"),
    pytest.param(b'{"requestId":"r-1"}\n', -1, 0, "r-1", None, "", id="byte-after-brace"),
    pytest.param(b'{"requestId":"r-1"', None, 0, "r-1", None, "", id="ends-after-value"),
    pytest.param(b'{"requestId":"ab', None, 0, "ab", None,
                 "Ran out of buffer during val scraping", id="ends-inside-id"),
    pytest.param(b'{"requ', None, 0, None, None,
                 "Ran out of buffer during transition to val\n", id="ends-inside-key"),
    pytest.param(b'{"status":"o', None, 0, None, None, "", id="ends-inside-other-value"),
    pytest.param(b'{"a":}', 3, 0, None, None,
                 "Ran out of buffer during transition to val\n", id="too-short-after-key"),
    pytest.param(b'{"' + b"k" * 60 + b'":"v"}', 52, 0, None, None,
                 "Unexpected character after key 0x6b\n", id="key-cut-at-50"),
    pytest.param(b'{"' + b"k" * 50 + b'\xff":"v"}', 52, 0, None, None,
                 "Unexpected character after key 0xffffffff\n", id="high-byte-after-key"),
    pytest.param(b'{"a"x"b"}', 4, 0, None, None,
                 "Unexpected character after key+1 0x78\n", id="no-colon"),
    pytest.param(b'{"a":"b"]', 8, 0, None, None, "Unexpected ending character ]\n", id="bad-end"),
    pytest.param(b'{"message":"Forbidden"}', 0, -1, None, "Forbidden",
                 "Got message Forbidden\nBad API key\nForbidden\n", id="forbidden"),
    pytest.param(b'{"message": "Quota exceeded", "requestId":"r"}', 0, -1, None, "Quota exceeded",
                 "Got message Quota exceeded\nQuota exceeded\n", id="message-stops-scan"),
    pytest.param(b'{"requestId":"r-9","message":"late"}', 0, -1, "r-9", "late",
                 "Got message late\nlate\n", id="message-after-id"),
    pytest.param(b'{"message":"' + b"m" * 600 + b'"}', 0, -1, None, "m" * 511,
                 "Got message " + "m" * 511 + "\n" + "m" * 511 + "\n", id="message-cut-at-511"),
    pytest.param(b'{"message":"Forb', None, 0, None, None,
                 "Ran out of buffer during val scraping", id="ends-inside-message"),
    pytest.param(b"[1]", 0, -1, None, "unexpected opening character to response [",
                 "unexpected opening character to response [\n", id="not-an-object"),
    pytest.param(b"", 0, 0, None, None, "", id="zero-bytes"),
]


@pytest.mark.parametrize("piece, consumed, status, request_id, err_text, out", ONE_PIECE)
def test_one_piece(scan, capfd, piece, consumed, status, request_id, err_text, out):
    # None: the whole piece; negative: that many bytes short of it.
    consumed = len(piece) + (consumed or 0) if consumed is None or consumed < 0 else consumed
    assert scan.feed(piece) == consumed
    assert scan.record.status == status
    assert scan.request_id == request_id
    assert scan.err_text == err_text
    assert capfd.readouterr().out == out


@pytest.mark.parametrize("closed", [True, False], ids=["closed", "body-ends-inside"])
@pytest.mark.parametrize(
    "length, consumed_all",
    [(1998, True), (1999, True), (2000, False), (5000, False)],
    ids=["1998", "1999", "2000-cut", "5000-cut"],
)
def test_long_identifier_stays_in_its_buffer(scan, capfd, length, consumed_all, closed):
    piece = b'{"requestId":"' + b"i" * length + (b'"}' if closed else b"")
    consumed = scan.feed(piece)
    assert (consumed == len(piece)) is consumed_all
    assert scan.request_id == "i" * min(length, REQUEST_ID_SIZE - 1)


def test_split_inside_value_rejects_the_second_piece(scan, capfd):
    first, second = b'{"requestId":"ab', b'c"}'
    assert scan.feed(first) == len(first)
    assert scan.record.status == 0
    assert scan.feed(second) == 0
    assert scan.record.status == -1
    assert scan.err_text == "unexpected opening character to response c"
    assert capfd.readouterr().out == (
        "Ran out of buffer during val scraping" "unexpected opening character to response c\n"
    )


def test_each_piece_is_a_new_object_and_resets_status(scan, capfd):
    assert scan.feed(b'{"message":"busy"}') == 0
    assert scan.record.status == -1
    piece = b'{"requestId":"later"}'
    assert scan.feed(piece) == len(piece)
    assert scan.record.status == 0
    assert scan.request_id == "later"
