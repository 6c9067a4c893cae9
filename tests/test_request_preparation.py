"""Request preparation: header lines, JSON body, certificate bundle search, transient codes, error
buffer."""
import ctypes
import json
import os
import random

import pytest

from clib import bind, libc, take_c_string

CA_PATHS = [
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/ssl/certs",
    "/system/etc/security/cacerts",
    "/usr/local/share/certs",
    "/etc/pki/tls/certs",
    "/etc/openssl/certs",
    "/var/ssl/certs",
]
U64_MAX = 2**64 - 1


@pytest.fixture(scope="module")
def clib(lib):
    return bind(lib)


def header_lines(clib, mode):
    head = clib._generate_slist(mode)
    assert head, "no header list"
    lines, node = [], head
    while node:
        lines.append(node.contents.data.decode())
        node = node.contents.next
    clib.curl_slist_free_all(head)
    return lines


@pytest.mark.parametrize(
    "key, mode, expected",
    [
        ("secret", 1, ["x-api-key: secret", "Content-Type: application/json"]),
        ("secret", 2, ["x-api-key: secret"]),
        ("secret", 0, ["x-api-key: secret"]),
        ("secret", -1, ["x-api-key: secret"]),
        ("a b=c%s", 2, ["x-api-key: a b=c%s"]),
        ("", 1, ["x-api-key: ", "Content-Type: application/json"]),
        (None, 1, ["x-api-key: ", "Content-Type: application/json"]),
        (None, 2, ["x-api-key: "]),
    ],
    ids=["submit", "poll", "mode-0", "mode-negative", "key-with-format-chars", "empty-key",
         "unset-key-submit", "unset-key-poll"],
)
def test_header_lines(clib, monkeypatch, key, mode, expected):
    if key is None:
        monkeypatch.delenv("ZO_API_KEY", raising=False)
    else:
        monkeypatch.setenv("ZO_API_KEY", key)
    assert header_lines(clib, mode) == expected


def test_header_key_is_read_afresh(clib, monkeypatch):
    monkeypatch.setenv("ZO_API_KEY", "first")
    assert header_lines(clib, 2) == ["x-api-key: first"]
    monkeypatch.setenv("ZO_API_KEY", "second")
    assert header_lines(clib, 2) == ["x-api-key: second"]


def body_of(clib, values):
    arr = (ctypes.c_uint64 * max(len(values), 1))(*values)
    ptr = clib._generate_curl_data(arr, len(values))
    return take_c_string(ptr)


rng = random.Random(7)


@pytest.mark.parametrize(
    "values",
    [
        [3, 5],
        [0],
        [],
        [U64_MAX],
        [U64_MAX] * 3,
        [U64_MAX] * 500,
        [10**19, 9, U64_MAX, 0],
        [rng.randrange(2**64) for _ in range(1000)],
        [rng.randrange(10) for _ in range(1000)],
    ],
    ids=["3-5", "zero", "empty", "max", "three-20-digit", "many-20-digit", "mixed-widths",
         "random-wide", "random-narrow"],
)
def test_body_is_compact_json_array(clib, values):
    assert body_of(clib, values) == json.dumps(values, separators=(",", ":")).encode()


def test_body_count_too_large_for_memory_is_refused(clib):
    arr = (ctypes.c_uint64 * 1)(1)
    assert clib._generate_curl_data(arr, 2**63) is None


def test_ca_location_is_first_existing_path_from_table(clib, lib):
    found = clib._curl_ca_location()
    present = [p for p in CA_PATHS if os.path.exists(p)]
    if not present:
        assert found is None
        return
    assert ctypes.string_at(found).decode() == present[0]
    # Handed out straight from the table, not copied.
    table = (ctypes.c_void_p * 12).in_dll(lib, "zo_curl_ca_locs")
    assert found == table[CA_PATHS.index(present[0])]


@pytest.mark.parametrize(
    "code, transient",
    [(0, False), (6, False), (7, False), (23, False), (28, True), (35, True), (42, False),
     (60, False), (77, False)],
    ids=["ok", "resolve", "connect", "write", "timeout", "tls-connect", "aborted", "peer-cert",
         "ca-file"],
)
def test_transient_codes(clib, code, transient):
    assert bool(clib._curl_transient_err(code)) is transient


@pytest.mark.parametrize(
    "msg",
    ["short", "", "x" * 126, "y" * 127, "z" * 128, "".join(chr(65 + i % 26) for i in range(200))],
    ids=["short", "empty", "126", "127", "128", "200"],
)
def test_error_buffer_copy(clib, capfd, msg):
    # Exactly 128 bytes from malloc, so a write past them is caught under ASan.
    block = libc.malloc(128)
    try:
        ctypes.memset(block, 0xAA, 128)
        clib._safe_copy_to_err_buff(msg.encode(), block)
        raw = ctypes.string_at(block, 128)
    finally:
        libc.free(block)
    kept = msg[:127].encode()
    # The rest of the first 127 bytes is zero and byte 127 always ends the text.
    assert raw == kept + b"\0" * (128 - len(kept))
    assert capfd.readouterr().out == f"Failed with error: {msg}\n"


def test_error_buffer_may_be_absent(clib, capfd):
    clib._safe_copy_to_err_buff(b"no buffer", None)
    assert capfd.readouterr().out == "Failed with error: no buffer\n"
