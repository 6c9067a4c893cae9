"""The installed type stubs: found by mypy, true to the runtime (stubtest), and signatures that
inspect reads from the methods themselves."""
import doctest
import inspect
import subprocess
import sys
import textwrap

import pytest

import zox

pytest.importorskip("mypy")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def test_mypy_finds_the_stubs(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent(
        """
        import zox
        import asyncio
        reveal_type(zox.complete_subset_sum([3, 5]))
        reveal_type(asyncio.run(zox.complete_subset_sum_aio([3, 5])))
        zox.subset_sum_result_check([297], "8")
        """))
    done = run("mypy", "--no-incremental", "use.py", cwd=tmp_path)
    revealed = (done.stdout.count('Revealed type is "builtins.list[builtins.int]"')
                + done.stdout.count('Revealed type is "list[int]"'))
    assert revealed == 2, "the list form and the awaited form are lists: " + done.stdout + done.stderr
    assert 'Argument 2 to "subset_sum_result_check" has incompatible type "str"' in done.stdout


# What users write beside the README's own examples: NumPy words checked in place, and the
# details of a failed solve read off its exception.
TYPED_USE = """
from typing import Optional
import numpy as np
import zox

words = zox.complete_subset_sum_array(np.array([3, 5], dtype=np.uint64))
in_numpy: Optional[bool] = zox.subset_sum_result_check(np.frombuffer(words, dtype=np.uint64), 8)
in_array: Optional[bool] = zox.subset_sum_result_check(words, 8)
try:
    zox.complete_subset_sum([3, 5])
except zox.SolveError as e:
    phase: Optional[str] = e.phase
    curl_code: Optional[int] = e.curl_code
    polls: int = e.not_ready_polls
"""


# The boundary is 3.12, where NumPy's stubs start to declare the buffer protocol.
@pytest.mark.parametrize("version", [
    pytest.param("3.9", marks=pytest.mark.slow), pytest.param("3.10", marks=pytest.mark.slow),
    "3.11", "3.12", pytest.param("3.13", marks=pytest.mark.slow)])
def test_readme_examples_pass_mypy_strict(tmp_path, version):
    from test_readme import readme_examples

    parser = doctest.DocTestParser()
    for i, example in enumerate(readme_examples()):
        source = "".join(e.source for e in parser.get_examples(example.values[2]))
        (tmp_path / f"readme_{i}.py").write_text(source)
    (tmp_path / "typed_use.py").write_text(TYPED_USE)
    done = run("mypy", "--strict", "--no-incremental", "--python-version", version, ".",
               cwd=tmp_path)
    if "is not supported" in done.stderr:
        pytest.skip(f"this mypy does not check for Python {version}")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest_is_clean(tmp_path):
    done = run("mypy.stubtest", "zox", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize(
    "method, parameters, doc",
    [
        (zox.complete_subset_sum, ["values"], "Run complete subset sum"),
        (zox.complete_subset_sum_async, ["values", "callback"], "Run complete subset sum"),
        (zox.subset_sum_result_check, ["result", "value"],
         "Check for a specific int in the results of subset sum"),
        (zox.complete_subset_sum_array, ["values"],
         "Run complete subset sum; the result as array('Q'), written in place."),
        (zox.complete_subset_sum_aio, ["values"],
         "Run complete subset sum on a worker thread; await it for the result list."),
        (zox.subset_with_sum, ["values", "target"],
         "The ascending indices of values whose sum is exactly target, or None."),
        (zox.subset_with_sum_aio, ["values", "target"],
         "subset_with_sum on a worker thread; await it for the indices or None."),
    ],
    ids=["sync", "async", "check", "array", "aio", "witness", "witness-aio"],
)
def test_signatures_and_documentation(method, parameters, doc):
    signature = inspect.signature(method)
    assert list(signature.parameters) == parameters
    assert all(p.kind is p.POSITIONAL_ONLY for p in signature.parameters.values())
    assert method.__doc__ == doc
