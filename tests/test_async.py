"""Background solves: callbacks, their failures and process exit. What the form answers and refuses
is in test_forms, beside the other forms."""
import ctypes
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import zox
from clib import libc
from exit_scenarios import EXIT_SCRIPTS, FORMS, PLACES, run_daemon_case, run_exit_script
from reference import sums_of, words_of_sums
from scripted_peer import closed_port

WAIT = 120  # seconds; a generous bound so a lost callback fails instead of hanging


class Recorder:
    """A callback that records every call with the thread it came on."""

    def __init__(self, expected=1):
        self.calls = []
        self.expected = expected
        self.lock = threading.Lock()
        self.done = threading.Event()

    def __call__(self, result):
        with self.lock:
            self.calls.append((result, threading.get_ident()))
            if len(self.calls) >= self.expected:
                self.done.set()

    def wait(self):
        assert self.done.wait(WAIT), "the callback did not come"
        return self.calls


class Reports(list):
    """What reached sys.unraisablehook, as (type, value, object); `arrived` is set on each."""

    def __init__(self):
        super().__init__()
        self.arrived = threading.Event()


@pytest.fixture
def unraisable(monkeypatch):
    reports = Reports()

    def hook(report):
        reports.append((report.exc_type, report.exc_value, report.object))
        reports.arrived.set()

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return reports


@pytest.fixture
def unreachable_service(monkeypatch, no_killswitch):
    monkeypatch.setenv("ZO_SERVICE_URL", f"https://127.0.0.1:{closed_port()}")


def test_many_solves_each_call_back_once(killswitch):
    rng = random.Random(11)
    inputs = [[rng.randint(0, 5000) for _ in range(rng.randint(0, 40))] for _ in range(200)]
    recorders = [Recorder() for _ in inputs]
    for values, cb in zip(inputs, recorders):
        zox.complete_subset_sum_async(values, cb)
    for i, (values, cb) in enumerate(zip(inputs, recorders)):
        calls = cb.wait()
        assert len(calls) == 1, f"solve {i} called back {len(calls)} times"
        result, thread = calls[0]
        assert thread != threading.get_ident()
        assert result == zox.complete_subset_sum(values), f"solve {i} differs from the synchronous one"


@pytest.mark.parametrize("callback", [5, None, "print", [print]], ids=["int", "none", "str", "list"])
def test_uncallable_callback_refused(killswitch, capfd, callback):
    before = sys.getrefcount(callback)
    with pytest.raises(TypeError, match="callable"):
        zox.complete_subset_sum_async([3, 5], callback)
    assert sys.getrefcount(callback) == before
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("path", ["local", "remote_failure"])
def test_callback_exceptions_reported_as_unraisable(request, monkeypatch, unraisable, path):
    if path == "local":
        monkeypatch.setenv("ZO_KILLSWITCH", "1")
    else:
        request.getfixturevalue("unreachable_service")
    seen = Recorder(expected=20)

    def failing(result):
        seen(result)
        raise ValueError("from the callback")

    for _ in range(20):
        zox.complete_subset_sum_async([3, 5], failing)
    seen.wait()
    while len(unraisable) < 20:
        unraisable.arrived.clear()
        assert unraisable.arrived.wait(WAIT), f"only {len(unraisable)} of 20 errors were reported"
    assert {(t, str(v), o) for t, v, o in unraisable} == {(ValueError, "from the callback", failing)}
    expected = None if path == "remote_failure" else [297]
    assert [r for r, _ in seen.calls] == [expected] * 20


def test_callback_reference_released(killswitch):
    cb = Recorder()
    before = sys.getrefcount(cb)
    zox.complete_subset_sum_async([1, 2], cb)
    cb.wait()
    # The trampoline lets go of its reference just after the callback returns.
    finished = threading.Event()
    zox.complete_subset_sum_async([], lambda _: finished.set())
    assert finished.wait(WAIT)
    for _ in range(WAIT * 100):
        if sys.getrefcount(cb) == before:
            break
        threading.Event().wait(0.01)
    assert sys.getrefcount(cb) == before


def _run_python(code, *args, env=None):
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(zox.__file__), env.get("PYTHONPATH", "")])
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_thread_that_cannot_start_raises():
    # Address space capped just above what the process uses: no room for a thread's stack.
    proc = _run_python("""
        import os, resource, sys, zox
        os.environ["ZO_KILLSWITCH"] = "1"
        def callback(result):
            print("called back", flush=True)
        before = sys.getrefcount(callback)
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), resource.RLIM_INFINITY))
        try:
            zox.complete_subset_sum_async([3, 5], callback)
        except RuntimeError as e:
            error = e
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(type(error).__name__, sys.getrefcount(callback) - before)
    """)
    out, err = proc.communicate(timeout=WAIT)
    assert (proc.returncode, err) == (0, b""), err.decode(errors="replace")[-2000:]
    assert out == b"RuntimeError 0\n"


# ---------------------------------------------------------------------------------------------
# The native worker, driven through its C interface.

COMPLETION = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.POINTER(ctypes.c_uint64), ctypes.c_size_t,
                              ctypes.c_void_p, ctypes.c_void_p)


@pytest.fixture
def solve_async(lib):
    """Runs fetch_complete_subset_sum_async; returns (status, words or None, count, context, text).
    on_thread, if given, is called in the completion, on the solve's thread."""
    lib.fetch_complete_subset_sum_async.argtypes = [ctypes.c_void_p, ctypes.c_size_t, COMPLETION,
                                                     ctypes.c_void_p]
    lib.fetch_complete_subset_sum_async.restype = ctypes.c_int

    def run(values, context, on_thread=None):
        input_ = libc.malloc(8 * max(len(values), 1))
        ctypes.memmove(input_, (ctypes.c_uint64 * len(values))(*values), 8 * len(values))
        got = []
        done = threading.Event()

        def completion(status, output, size, ctx, err):
            words = list(output[:size]) if output else None
            text = ctypes.string_at(err).decode() if err else None
            libc.free(ctypes.cast(output, ctypes.c_void_p))
            libc.free(err)
            got.append((status, words, size, ctx, text))
            if on_thread is not None:
                on_thread()
            done.set()

        keep = COMPLETION(completion)
        assert lib.fetch_complete_subset_sum_async(input_, len(values), keep, context) == 0
        assert done.wait(WAIT), "the completion did not come"
        return got[0]

    return run


@pytest.mark.parametrize("values", [[], [3, 5], [1, 2, 4, 8, 100]], ids=["empty", "three_five", "two_words"])
def test_worker_solves_locally(killswitch, solve_async, values):
    status, words, size, context, text = solve_async(values, 0xC0FFEE)
    assert (status, text, context) == (0, None, 0xC0FFEE)
    assert words == words_of_sums(sums_of(values), sum(values)) and size == len(words)


def test_worker_remote_failure(unreachable_service, solve_async):
    status, words, size, context, text = solve_async([3, 500], 7)
    assert (status, context) == (-1, 7)
    assert 0 < len(text) <= 127
    assert size == 504 // 64 + 1 and words == [0] * size, "unwritten words must arrive zeroed"


@pytest.mark.parametrize("local", [True, False], ids=["local", "remote"])
def test_worker_refuses_wrapping_total(monkeypatch, capfd, solve_async, local):
    monkeypatch.setenv("ZO_KILLSWITCH", "1" if local else "0")
    status, words, size, _, text = solve_async([2**63, 2**63, 5], None)
    assert (status, words, size) == (-1, None, 0)
    assert text.startswith("[Local failure]")
    assert capfd.readouterr().out == f"Failed with error: {text}\n"


@pytest.mark.parametrize("name, kind, value", [("fmss_local_threads", ctypes.c_int64, 7),
                                               ("zo_client_watch", ctypes.c_void_p, 0x1000)],
                         ids=["engine_threads", "exchange_watch"])
def test_worker_threads_start_each_job_afresh(killswitch, lib, solve_async, name, kind, value):
    setter = getattr(lib, name)
    setter.argtypes, setter.restype = [kind], kind
    seen = []  # (what the job found set on its thread, the thread)
    for _ in range(5):
        solve_async([3, 5], None, lambda: seen.append((setter(value) or 0, threading.get_ident())))
        time.sleep(0.05)  # for the thread to wait for the next job
    assert [old for old, _ in seen] == [0] * 5, "a job found what the one before set on its thread"
    assert len({thread for _, thread in seen}) < 5, "no thread was kept for a later job"


def test_forked_child_solves_on_threads_of_its_own():
    # The parent's kept thread does not exist in the child: a job handed to it would never run.
    proc = _run_python("""
        import os, threading, zox
        os.environ["ZO_KILLSWITCH"] = "1"
        def solve():
            done, got = threading.Event(), []
            zox.complete_subset_sum_async([3, 5], lambda r: (got.append(r), done.set()))
            return got[0] if done.wait(20) else "lost"
        solve()
        pid = os.fork()
        if pid == 0:
            os._exit(0 if solve() == [297] else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), solve())
    """)
    out, err = proc.communicate(timeout=WAIT)
    assert (proc.returncode, err, out) == (0, b"", b"0 [297]\n")


def test_trampoline_does_not_end_process_for_uncallable(lib, capfd, unraisable):
    context = object()
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(context))  # the reference the trampoline gives back
    before = sys.getrefcount(context)
    output = libc.malloc(8)
    ctypes.c_uint64.from_address(output).value = 1
    lib._async_callback.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                    ctypes.c_void_p]
    lib._async_callback(0, output, 1, id(context), None)
    assert capfd.readouterr().out == "_async_callback called with uncallable callback"
    assert [(t, o) for t, _, o in unraisable] == [(TypeError, context)]
    unraisable.clear()
    assert sys.getrefcount(context) == before - 1


# ---------------------------------------------------------------------------------------------
# Process exit while solves are still running: each case runs in a fresh interpreter.

@pytest.mark.parametrize("round_", range(4), ids=lambda r: f"round{r}")
@pytest.mark.parametrize("name", EXIT_SCRIPTS)
def test_exit_with_solves_running(name, round_):
    code, out, err = run_exit_script(name, round_, timeout=WAIT)
    assert code is not None, "the process hung at exit"
    assert code == 0, err[-2000:]
    assert err == ""
    after_hooks = out.partition("exit hooks ran\n")[2]
    assert "callback-begin" not in after_hooks, "a callback started once the interpreter exited"
    assert "Failed with error" not in after_hooks, "a solve spoke once the interpreter exited"
    assert out.count("callback-begin") == out.count("callback-end"), "a callback was cut off"

@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("form", FORMS)
def test_exit_with_daemon_threads_solving(form, place, server_cert_files, ca_bundle):
    # The interpreter ends each worker as it asks for the lock back after its solve.
    code, out, err = run_daemon_case(form, place, server_cert_files, ca_bundle, timeout=WAIT)
    assert code is not None, "the process hung at exit"
    assert (code, err) == (0, "")
    assert out.index("main done\n") < out.index("exit hooks ran\n")
