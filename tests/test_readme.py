"""The README's examples run as doctests, so the guide cannot drift from the module: every
```python block with `>>>` prompts is one test. Blocks run in-process (kill switch on) except those
of the remote-solve section, which run against a real service. The first screen's shell example (a
call with no service running) runs in a subprocess against a closed port."""
import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from scripted_peer import closed_port

README = Path(__file__).resolve().parent.parent / "README.md"
REMOTE_SECTION = "Remote solve"
# The shell example of a call with no service running: its command and what it prints.
NO_SERVICE_EXAMPLE = re.compile(
    r'```console\n\$ \.venv/bin/python -c "(?P<code>[^"]+)"\n(?P<want>.*?)```', re.S)
VARIABLES = ("ZO_KILLSWITCH", "ZO_QUIET", "ZO_API_KEY", "ZO_SERVICE_URL", "ZO_CA_BUNDLE")


def readme_examples():
    heading, examples, block, start = None, [], None, 0
    for number, line in enumerate(README.read_text().splitlines(), 1):
        if block is not None:
            if line.startswith("```"):
                if any(l.startswith(">>> ") for l in block):
                    examples.append(pytest.param(heading, start, "\n".join(block) + "\n",
                                                 id=f"{heading}-line{start}"))
                block = None
            else:
                block.append(line)
        elif line == "```python":
            block, start = [], number
        elif re.match(r"#+ ", line):
            heading = line.lstrip("#").strip()
    return examples


@pytest.fixture
def environment():
    """The variables the examples read, cleared before and restored after, whatever an example
    sets itself."""
    saved = {var: os.environ.pop(var, None) for var in VARIABLES}
    yield os.environ
    for var, value in saved.items():
        os.environ.pop(var, None)
        if value is not None:
            os.environ[var] = value


@pytest.mark.parametrize("heading, line, source", readme_examples())
def test_readme_example(request, environment, heading, line, source):
    if heading == REMOTE_SECTION:
        service = request.getfixturevalue("service")
        environment.update(ZO_SERVICE_URL=service.url, ZO_CA_BUNDLE=service.ca_bundle,
                           ZO_API_KEY=service.key)
    else:
        environment["ZO_KILLSWITCH"] = "1"
    test = doctest.DocTestParser().get_doctest(source, {}, heading, str(README), line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_readme_call_without_service(environment, tmp_path):
    match = NO_SERVICE_EXAMPLE.search(README.read_text())
    assert match, "the README lost its example of a call with no service running"
    want = match["want"]
    if sys.version_info < (3, 11):  # tracebacks print an exception's notes from 3.11 on
        want = want[:want.index("\n", want.index("SolveError: ")) + 1]
    environment["ZO_SERVICE_URL"] = f"https://127.0.0.1:{closed_port()}"
    run = subprocess.run([sys.executable, "-c", match["code"]], cwd=tmp_path, env=dict(environment),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    assert doctest.OutputChecker().check_output(want, run.stdout, doctest.ELLIPSIS), run.stdout
