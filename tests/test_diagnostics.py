"""Where diagnostics go: through sys.stdout, so redirection and capture see them in order; nowhere
under ZO_QUIET=1, while the exception still carries the reason; and, for a C caller without
Python, to file descriptor 1, flushed."""
import contextlib
import io
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import zox
from scripted_peer import (NOT_READY, ScriptedPeer, aim_at, closed_port, gzip_reply, json_reply,
                           route, sequence)

REPO = Path(__file__).resolve().parent.parent
REFUSED = "Submit problem curl failed with 7"


@pytest.fixture
def aim(monkeypatch, server_ssl_context, ca_bundle):
    """Aims the client at a scripted peer (or at a closed port when the script is None)."""
    with contextlib.ExitStack() as peers:
        def start(script):
            if script is None:
                aim_at(monkeypatch, f"https://127.0.0.1:{closed_port()}", ca_bundle)
            else:
                aim_at(monkeypatch, peers.enter_context(ScriptedPeer(server_ssl_context, script)),
                       ca_bundle)
        yield start


def solve_async(values):
    results, done = [], threading.Event()
    zox.complete_subset_sum_async(values, lambda r: (results.append(r), done.set()))
    assert done.wait(120), "the callback did not come"
    return results[0]


# (script or None for a refused connection, call, the exception and its text or the result, output)
CASES = {
    "bad-argument": (None, lambda: zox.complete_subset_sum([1, "2"]),
                     (TypeError, "list item 1 is not an int but str"),
                     "Error occured with PyLong_Check\n"),
    "local-failure": (None, lambda: zox.complete_subset_sum([3, 5]), (ConnectionError, REFUSED),
                      f"Failed with error: {REFUSED}\nError occured {REFUSED}\n"),
    "failure-on-worker-thread": (None, lambda: solve_async([3, 5]), None,
                                 f"Failed with error: {REFUSED}\n"),
    "not-ready-poll": (route(submit=json_reply({"requestId": "abc"}),
                             poll=sequence(NOT_READY, gzip_reply(b"\x29\x01"))),
                       lambda: zox.complete_subset_sum([3, 5]), [297], "Result not ready (23)\n"),
    "service-message": (route(submit=json_reply({"message": "Forbidden"}, 403),
                              poll=gzip_reply(b"\x29\x01")),
                        lambda: zox.complete_subset_sum([3, 5]), (ConnectionError, "Forbidden"),
                        "Got message Forbidden\nBad API key\nForbidden\n"
                        "Failed with error: Forbidden\nError occured Forbidden\n"),
    "out-of-bounds-check": (None, lambda: zox.subset_sum_result_check([297], 64), None,
                            "Error occured in result check, entry 1 is out of bounds of input "
                            "of length 1\n"),
}


@pytest.mark.parametrize("quiet", [False, True], ids=["printed", "quiet"])
@pytest.mark.parametrize("script, call, outcome, printed", CASES.values(), ids=CASES.keys())
def test_messages_go_through_sys_stdout(aim, monkeypatch, capfd, quiet, script, call, outcome,
                                        printed):
    aim(script)
    if quiet:
        monkeypatch.setenv("ZO_QUIET", "1")
    seen = io.StringIO()
    with contextlib.redirect_stdout(seen):
        if isinstance(outcome, tuple):
            with pytest.raises(outcome[0]) as raised:
                call()
            assert str(raised.value) == outcome[1], "the reason must reach the exception"
        else:
            assert call() == outcome
    assert seen.getvalue() == ("" if quiet else printed)
    assert capfd.readouterr().out == "", "written past sys.stdout"


def test_a_parse_failure_keeps_its_error_while_printing():
    seen = io.StringIO()
    with contextlib.redirect_stdout(seen), pytest.raises(SystemError) as raised:
        zox.complete_subset_sum()
    assert isinstance(raised.value.__cause__ or raised.value.__context__, TypeError)
    assert seen.getvalue() == "Error occured with parsing tuple 0\n"


def test_messages_still_print_when_sys_stdout_is_unusable(capfd, monkeypatch):
    class Broken:
        def write(self, text):
            raise OSError("gone")

    monkeypatch.setattr("sys.stdout", Broken())
    assert zox.subset_sum_result_check([1], 64) is None
    monkeypatch.undo()
    assert capfd.readouterr().out == (
        "Error occured in result check, entry 1 is out of bounds of input of length 1\n")


C_CALLER = r"""
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>
#include "hdr/zo_lib.h"

int main(void) {
    uint64_t values[] = {3, 5}, out[1] = {0};
    size_t out_size = 1;
    char err[128];
    int status = fetch_complete_subset_sum(values, 2, out, &out_size, err);
    /* No stdio flush at exit: whatever the library did not flush itself is lost. */
    _exit(status == -1 ? 0 : 1);
}
"""


@pytest.fixture(scope="session")
def c_caller(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    work = tmp_path_factory.mktemp("c_caller")
    (work / "main.c").write_text(textwrap.dedent(C_CALLER))
    lib = REPO / "c_library"
    sources = sorted(lib.rglob("*.cpp"))  # the whole library, whatever its units and folders
    # The protocol's header, made from its table as the CMake build makes it.
    subprocess.run([sys.executable, str(REPO / "scripts" / "protocol_header.py"),
                    str(REPO / "zox_service" / "protocol.json"), str(work / "zo_protocol.h")],
                   check=True, timeout=60)
    subprocess.run([compiler, "-std=c++17", "-O0", f"-I{lib}", f"-I{work}", "-x", "c++",
                    str(work / "main.c"),
                    "-x", "none", *map(str, sources), "-lcurl", "-lz", "-lpthread",
                    "-o", str(work / "caller")], check=True, timeout=300)
    return work / "caller"


@pytest.mark.slow  # compiles and links a C program against the library
@pytest.mark.parametrize("quiet", [False, True], ids=["printed", "quiet"])
def test_c_caller_without_python_gets_standard_output(c_caller, ca_bundle, quiet):
    env = {"ZO_SERVICE_URL": f"https://127.0.0.1:{closed_port()}", "ZO_CA_BUNDLE": ca_bundle,
           "NO_PROXY": "*"}
    if quiet:
        env["ZO_QUIET"] = "1"
    run = subprocess.run([str(c_caller)], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, "the solve did not fail as set up"
    assert run.stdout == ("" if quiet else f"Failed with error: {REFUSED}\n")
