"""Result payloads: collecting the poll's pieces, inflating the gzip stream, unpacking the words."""
import ctypes
import gzip
import random
import zlib

import pytest

from clib import CBytes, DownloadBuffer, UnpackTarget, bind, libc
from reference import le_words, sums_bitset

SENTINEL = 0xDEADBEEFDEADBEEF


@pytest.fixture(scope="module")
def clib(lib):
    return bind(lib)


# ---------------------------------------------------------------------------------------------
# Collecting


class Download:
    def __init__(self, clib):
        self.clib = clib
        self.buf = DownloadBuffer(libc.malloc(1), 0)

    def feed(self, piece: bytes, size=1):
        data = CBytes(piece)
        try:
            count = len(piece) // size if size else len(piece)
            return self.clib.write_memory_callback(data.ptr, size, count, self.buf)
        finally:
            data.release()

    @property
    def data(self):
        return ctypes.string_at(self.buf.memory, self.buf.size)

    def close(self):
        libc.free(self.buf.memory)


@pytest.fixture
def download(clib):
    d = Download(clib)
    yield d
    d.close()


XML = b'<?xml version="1.0" encoding="UTF-8"?><Error>NoSuchKey</Error>'


@pytest.mark.parametrize(
    "pieces, taken, kept, out",
    [
        ([b"\x1f\x8b", b"abc", b"\x00" * 5], [2, 3, 5], b"\x1f\x8babc\x00\x00\x00\x00\x00", ""),
        ([b'{"message":"Result not ready"}'], [0], b"", ""),
        ([b'{"message"'], [0], b"", ""),
        ([b'{"message'], [9], b'{"message', ""),
        ([XML], [0], b"", "Output is not expected binary, got " + XML.decode()),
        ([b'<?xml version='], [14], b"<?xml version=", ""),
        ([b"ab", b'{"message":"x"}', b"cd"], [2, 0, 2], b"abcd", ""),
        ([b"ab", XML[:20]], [2, 0], b"ab", "Output is not expected binary, got " + XML[:20].decode()),
        ([b'x{"message":"x"}'], [16], b'x{"message":"x"}', ""),
    ],
    ids=["appends-in-order", "not-ready-message", "exactly-10-byte-prefix", "9-bytes-appended",
         "xml-refused", "14-bytes-appended", "later-piece-refused", "later-xml-refused",
         "prefix-not-at-start"],
)
def test_collecting(download, capfd, pieces, taken, kept, out):
    assert [download.feed(p) for p in pieces] == taken
    assert download.data == kept
    assert capfd.readouterr().out == out


def test_collecting_starts_from_an_empty_buffer(clib):
    buf = DownloadBuffer(None, 0)
    data = CBytes(b"xyz")
    try:
        assert clib.write_memory_callback(data.ptr, 1, 3, buf) == 3
        assert ctypes.string_at(buf.memory, buf.size) == b"xyz"
    finally:
        data.release()
        libc.free(buf.memory)


# ---------------------------------------------------------------------------------------------
# Inflating

Z_OK, Z_DATA_ERROR, Z_BUF_ERROR = 0, -3, -5


def damaged_crc(raw: bytes) -> bytes:
    z = bytearray(gzip.compress(raw))
    z[-8] ^= 0xFF
    return bytes(z)


def call_gunzip(clib, payload, capacity):
    src = CBytes(payload)
    dest = ctypes.create_string_buffer(max(capacity, 1))
    dest_len = ctypes.c_size_t(capacity)
    try:
        rc = clib.gunzip(dest, ctypes.byref(dest_len), src.ptr, len(payload))
    finally:
        src.release()
    return rc, dest_len.value, dest.raw[: dest_len.value]


@pytest.mark.parametrize(
    "payload, capacity, rc, produced",
    [
        (gzip.compress(b"\x29\x01"), 100, Z_OK, b"\x29\x01"),
        (gzip.compress(b"x" * 100), 100, Z_OK, b"x" * 100),
        (gzip.compress(b""), 10, Z_OK, b""),
        (gzip.compress(b"x" * 101), 100, Z_BUF_ERROR, None),
        (gzip.compress(b"abc")[:-3], 100, Z_BUF_ERROR, None),
        (b"", 100, Z_BUF_ERROR, None),
        (damaged_crc(b"abcdef"), 100, Z_DATA_ERROR, None),
        (zlib.compress(b"abc"), 100, Z_DATA_ERROR, None),
        (b"definitely not gzip", 100, Z_DATA_ERROR, None),
    ],
    ids=["small", "fills-exactly", "empty-stream", "too-small", "truncated", "no-bytes",
         "bad-crc", "zlib-wrapper", "not-compressed"],
)
def test_gunzip(clib, payload, capacity, rc, produced):
    got_rc, got_len, got = call_gunzip(clib, payload, capacity)
    assert got_rc == rc
    if produced is None:
        assert got_len == capacity  # the length is only reported for a complete stream
    else:
        assert (got_len, got) == (len(produced), produced)


# ---------------------------------------------------------------------------------------------
# Unpacking


def unzip(clib, payload: bytes, capacity: int, fill=0):
    buf = DownloadBuffer(None, 0)
    if payload:
        buf.memory = libc.malloc(len(payload))
        ctypes.memmove(buf.memory, payload, len(payload))
        buf.size = len(payload)
    words = (ctypes.c_uint64 * max(capacity, 1))(*([fill] * max(capacity, 1)))
    size = ctypes.c_size_t(capacity)
    target = UnpackTarget(words, ctypes.pointer(size))
    try:
        rc = clib._unzip_data(ctypes.byref(buf), ctypes.byref(target))
    finally:
        libc.free(buf.memory)
    assert size.value == capacity, "capacity changed"
    return rc, list(words)[:capacity]


rng = random.Random(11)
BIG = bytes(rng.randrange(1, 256) for _ in range(75100))  # no zero byte anywhere


@pytest.mark.parametrize(
    "raw, capacity",
    [
        (b"\x29\x01", 1),
        (b"\x29\x01" + b"\0" * 6, 1),
        (b"\x29\x01" + b"\0" * 100, 1),
        (b"\x01" + b"\0" * 15 + b"\x80", 3),
        (sums_bitset([3, 5, 11, 64, 200]), 283 // 64 + 1),
        (sums_bitset([rng.randrange(1000) for _ in range(30)]), None),
        (BIG[:65536], 8192),
        (BIG[:75001], 9376),
        (BIG[:75008], 9376),
    ],
    ids=["297", "trailing-zero-word", "trailing-zeros-past-capacity", "bits-in-third-word",
         "sums", "random-sums", "exactly-64KiB", "past-64KiB", "fills-large-capacity"],
)
def test_unpacks_little_endian_words(clib, capfd, raw, capacity):
    if capacity is None:
        capacity = len(raw) // 8 + 1
    rc, words = unzip(clib, gzip.compress(raw), capacity)
    assert rc == 0
    assert words == le_words(raw, capacity)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "raw, capacity",
    [
        (b"\xff" * 9, 1),
        (BIG[:75009], 9376),
        (b"\xff" * 10_000_000, 1),
        (b"\xff" * 10_000_000, 9376),
    ],
    ids=["nine-bytes-one-word", "one-byte-past-large-capacity", "far-past-window",
         "far-past-large-capacity"],
)
def test_overrun_keeps_the_words_already_written(clib, capfd, raw, capacity):
    rc, words = unzip(clib, gzip.compress(raw), capacity)
    assert rc == 0
    assert words == le_words(raw, capacity)
    assert capfd.readouterr().out == "Overrun output size\n"


def test_words_beyond_the_payload_are_left_alone(clib):
    rc, words = unzip(clib, gzip.compress(b"\x29\x01"), 3, fill=SENTINEL)
    assert rc == 0
    assert words == [297, SENTINEL, SENTINEL]


@pytest.mark.parametrize(
    "payload",
    [
        b"",
        gzip.compress(b"\x29\x01")[:-4],
        gzip.compress(b"\x29\x01")[:5],
        damaged_crc(b"\x29\x01"),
        damaged_crc(BIG[:60000]),
        zlib.compress(b"\x29\x01"),
        b"\x29\x01",
        b'{"message":"Result not ready"}',
    ],
    ids=["empty", "truncated-trailer", "truncated-header", "bad-crc", "bad-crc-large",
         "zlib-wrapper", "raw-bytes", "json"],
)
def test_undecodable_payload_is_reported_and_output_untouched(clib, capfd, payload):
    rc, words = unzip(clib, payload, 2, fill=SENTINEL)
    assert rc == -1
    assert words == [SENTINEL, SENTINEL]
    assert capfd.readouterr().out == ""


# ---------------------------------------------------------------------------------------------
# Checking: a sum set holds each of its values (those its held words reach)

HOLDS_VALUES = {
    "each-value": (sums_bitset([3, 5]), 1, [3, 5], True),
    "zero-and-total-only": (b"\x01\x01", 1, [3, 5], False),
    "a-zero-value": (b"\x01", 1, [0], True),
    "value-past-the-held-words": (b"\x01", 1, [64, 200], True),
    "last-held-bit": (b"\x01" + b"\0" * 14 + b"\x80", 2, [127], True),
    "last-held-bit-clear": (b"\x01" + b"\0" * 14 + b"\x40", 2, [127], False),
}


@pytest.mark.parametrize("raw, held, values, holds", HOLDS_VALUES.values(), ids=HOLDS_VALUES)
def test_sum_set_holds_its_values(lib, raw, held, values, holds):
    check = lib.zo_sum_set_holds_values
    check.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t,
                      ctypes.POINTER(ctypes.c_uint64), ctypes.c_size_t]
    arr = (ctypes.c_uint64 * max(1, len(values)))(*values)
    assert bool(check(raw, len(raw), held, arr, len(values))) == holds
