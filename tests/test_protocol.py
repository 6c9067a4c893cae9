"""One protocol table for both sides: the module is built from the table the service reads, and
neither side keeps a copy of a value of its own where it once wrote them."""
import ast
import re
from pathlib import Path

import pytest

import zox
from zox_service import protocol

REPO = Path(__file__).resolve().parent.parent
CLIENT_FILES = sorted((REPO / "c_library" / "client").glob("*.[ch]*")) + [
    REPO / "c_library" / "zo_internal.h"]
SERVICE_FILES = [REPO / "zox_service" / name for name in (
    "config.py", "limits.py", "wire.py", "jobs.py", "solver.py", "http/routes.py",
    "http/direct.py", "http/service.py")]
# Numbers too common to hunt everywhere (counts, milliseconds, seconds), with the files where a
# literal of them was the protocol's own.
HUNTED_IN = {"poll_attempts": ["c_library/client/poll.cpp"],
             "poll_interval_ms": ["c_library/client/poll.cpp"],
             "poll_wait_max_s": ["zox_service/config.py"]}
_C_TOKENS = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
_C_NUMBER = re.compile(r"\b(0[xX][0-9a-fA-F]+|[0-9]+(?:\.[0-9]+)?)[uUlLfF]*\b")


def c_literals(path):
    """The string literals (unquoted) and the numbers of a C or C++ file, outside comments."""
    source = path.read_text()
    texts = [t[1:-1].replace('\\"', '"') for t in _C_TOKENS.findall(source) if t[0] == '"']
    code = _C_TOKENS.sub(" ", source)
    numbers = [float(n) if "." in n else int(n, 16 if n[:2] in ("0x", "0X") else 10)
               for n in _C_NUMBER.findall(code)]
    return texts, numbers


def python_literals(path):
    """The string constants (docstrings aside) and the numbers of a Python file, constant
    arithmetic such as 2**64 - 1 worked out."""
    tree = ast.parse(path.read_text())
    docs = {id(n.body[0].value) for n in ast.walk(tree)
            if isinstance(n, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef))
            and n.body and isinstance(n.body[0], ast.Expr)}
    texts, numbers = [], []
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and id(node) not in docs:
            if isinstance(node.value, str):
                texts.append(node.value)
            elif type(node.value) in (int, float):
                numbers.append(node.value)
        elif isinstance(node, ast.BinOp) and all(
                isinstance(n, (ast.Constant, ast.BinOp, ast.operator)) for n in ast.walk(node)):
            numbers.append(eval(compile(ast.Expression(node), str(path), "eval")))
    return texts, numbers


def copies_text(literal, value):
    """Whether a string literal holds a protocol text: a word as itself, as a JSON key or as a
    query key; anything else (paths, headers, media types, prefixes) anywhere in it."""
    if not value.isalpha():
        return value in literal
    return literal == value or f'"{value}"' in literal or f"{value}=" in literal


def distinctive(value):
    return type(value) is int and value >= 100 and value & (value - 1) and value % 1000


@pytest.mark.parametrize("path", CLIENT_FILES + SERVICE_FILES,
                         ids=lambda p: str(p.relative_to(REPO)))
def test_no_side_keeps_a_copy_of_a_protocol_value(path):
    texts, numbers = (python_literals if path.suffix == ".py" else c_literals)(path)
    where = str(path.relative_to(REPO))
    for name, value in protocol.TABLE.items():
        if isinstance(value, str):
            copied = [t for t in texts if copies_text(t, value)]
        elif distinctive(value) or where in HUNTED_IN.get(name, []):
            copied = [n for n in numbers if n == value]
        else:
            continue
        assert not copied, f"{where} writes {name} itself ({copied[0]!r}): take it from the table"


def test_the_module_is_built_from_the_table_the_service_reads():
    assert zox._protocol == protocol.TABLE, "the module was built from another protocol table"
