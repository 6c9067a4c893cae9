"""Bad arguments under Debian's debug interpreter, which aborts the process when a method returns a
value with an exception set. The module is built for that interpreter in a scratch directory."""
import os
import shutil
import subprocess
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
DEBUG_PYTHON = "/usr/bin/python3.11-dbg"

CHILD = textwrap.dedent(
    """
    import os, zox
    os.environ["ZO_KILLSWITCH"] = "1"
    calls = [
        (zox.complete_subset_sum, ()), (zox.complete_subset_sum, ([1], [2])),
        (zox.complete_subset_sum_async, ([1],)), (zox.subset_sum_result_check, ([297],)),
        (zox.subset_sum_result_check, ([297], "5")), (zox.subset_sum_result_check, ([297], 5.0)),
    ]
    for method, args in calls:
        try:
            method(*args)
        except zox.ArgumentError as e:
            assert isinstance(e, TypeError) and isinstance(e, SystemError), e
        else:
            raise AssertionError(f"{method.__name__}{args} raised nothing")
    for bad in ((3, 5), [1, "2"], [-1], [2**64], [2**63, 2**63]):
        try:
            zox.complete_subset_sum(bad)
        except (TypeError, OverflowError):
            pass
    assert zox.subset_sum_result_check([297], 2**64 + 3) is None
    assert zox.subset_sum_result_check([297], -1) is None
    assert zox.subset_sum_result_check((297,), 0) is None
    assert zox.complete_subset_sum([3, 5]) == [297]
    print("all returned cleanly")
    """
)


@pytest.fixture(scope="session")
def debug_build(tmp_path_factory):
    if not os.access(DEBUG_PYTHON, os.X_OK):
        pytest.skip(f"{DEBUG_PYTHON} is not installed (Debian package python3-dbg)")
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is needed to build the module for the debug interpreter")
    build = tmp_path_factory.mktemp("debug-build")
    configure = [cmake, "-S", str(REPO), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug",
                 f"-DPython_EXECUTABLE={DEBUG_PYTHON}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    for step in (configure, [cmake, "--build", str(build), "--parallel", "2"]):
        done = subprocess.run(step, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
    return build


@pytest.mark.slow  # builds the module for the debug interpreter
def test_bad_arguments_raise_cleanly_under_the_debug_interpreter(debug_build):
    env = dict(os.environ, PYTHONPATH=str(debug_build))
    env.pop("LD_PRELOAD", None)  # the sanitizer runtimes belong to the other build
    done = subprocess.run([DEBUG_PYTHON, "-X", "dev", "-c", CHILD], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "all returned cleanly" in done.stdout
