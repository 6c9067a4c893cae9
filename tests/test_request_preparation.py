"""Request preparation: header lines, JSON body, certificate bundle search, transient codes, error
buffer."""
import ctypes
import json
import os
import random
import shutil
import subprocess

import pytest

from clib import bind, libc, take_c_string

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


def ca_table(lib):
    """The module's certificate search table, as the lookup reads it: (addresses, paths)."""
    count = ctypes.c_int.in_dll(lib, "zo_curl_ca_loc_max").value
    table = (ctypes.c_void_p * count).in_dll(lib, "zo_curl_ca_locs")
    return list(table), [ctypes.string_at(a).decode() for a in table]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm to read the symbol's size")
def test_ca_table_holds_as_many_entries_as_its_count(lib):
    import zox

    listing = subprocess.run(["nm", "-D", "-S", "--defined-only", zox.__file__],
                             capture_output=True, text=True, check=True).stdout
    size = next(int(line.split()[1], 16) for line in listing.splitlines()
                if line.split()[-1] == "zo_curl_ca_locs")
    assert size == ctypes.c_int.in_dll(lib, "zo_curl_ca_loc_max").value * ctypes.sizeof(
        ctypes.c_void_p)


def test_ca_table_entries_are_distinct_absolute_paths_debian_bundle_first(lib):
    _, paths = ca_table(lib)
    assert paths[0] == "/etc/ssl/certs/ca-certificates.crt"
    assert all(os.path.isabs(p) and os.path.normpath(p) == p for p in paths)
    assert len(set(paths)) == len(paths)


def test_ca_location_is_first_existing_path_from_table(clib, lib):
    found = clib._curl_ca_location()
    addresses, paths = ca_table(lib)
    present = [i for i, p in enumerate(paths) if os.path.exists(p)]
    # Handed out straight from the table, not copied.
    assert found == (addresses[present[0]] if present else None)


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
