"""Writes zo_protocol.h, the client's copy of the protocol table (zox_service/protocol.json).

    python scripts/protocol_header.py zox_service/protocol.json OUT_DIR/zo_protocol.h

Each value becomes a macro ZO_<NAME> (texts as string literals, integers as decimal literals,
numbers with a fraction as double), and the lists ZO_PROTOCOL_TEXTS, ZO_PROTOCOL_INTEGERS and
ZO_PROTOCOL_NUMBERS name them all, so that the module can show what it was built with. The build
runs this (CMakeLists.txt); so do the builds that compile the library without CMake.
"""
import json
import sys
from pathlib import Path
from typing import Dict, List, Tuple


def c_literal(value: object) -> Tuple[str, str]:
    """The value as a C literal, and which list it belongs in."""
    if isinstance(value, bool):
        raise SystemExit("protocol values are texts or numbers, not true or false")
    if isinstance(value, str):
        if not value.isascii():
            raise SystemExit(f"protocol texts are ASCII: {value!r}")
        return json.dumps(value), "TEXTS"  # a JSON string of ASCII is a valid C string literal
    if isinstance(value, int):
        if not 0 <= value < 2**64:
            raise SystemExit(f"protocol integers are unsigned 64-bit: {value}")
        # Decimal literals take the smallest signed type that holds them; only past it unsigned.
        return f"{value}ULL" if value >= 2**63 else str(value), "INTEGERS"
    if isinstance(value, float):
        return repr(value), "NUMBERS"
    raise SystemExit(f"not a text or a number: {value!r}")


def header(table: Dict[str, Dict[str, object]]) -> str:
    lines = ["/* Generated from zox_service/protocol.json by scripts/protocol_header.py: edit the "
             "table, not this. */",
             "#ifndef ZO_PROTOCOL_H", "#define ZO_PROTOCOL_H", ""]
    lists: Dict[str, List[str]] = {"TEXTS": [], "INTEGERS": [], "NUMBERS": []}
    for name, entry in table["values"].items():
        literal, kind = c_literal(entry["value"])
        macro = "ZO_" + name.upper()
        means = str(entry["means"]).replace("*/", "* /")
        lines += [f"/* {means} */", f"#define {macro} {literal}"]
        lists[kind].append(f"X({name}, {macro})")
    for kind, entries in lists.items():
        lines += ["", f"#define ZO_PROTOCOL_{kind}(X) " + " ".join(entries)]
    return "\n".join(lines + ["", "#endif /* ZO_PROTOCOL_H */", ""])


def main(source: str, target: str) -> None:
    text = header(json.loads(Path(source).read_text(encoding="utf-8")))
    out = Path(target)
    out.parent.mkdir(parents=True, exist_ok=True)
    # Left alone when unchanged, so that nothing including it is rebuilt for nothing.
    if not out.exists() or out.read_text(encoding="utf-8") != text:
        out.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
