"""The protocol the service shares with the client: the table in protocol.json, read on import.

The client's build makes its header from the same file, so a value changed there changes on both
sides; what each value means is written beside it in the table.
"""
import json
from pathlib import Path
from typing import Dict, Union

Value = Union[str, int, float]


def load_table(path: Path = Path(__file__).with_name("protocol.json")) -> Dict[str, Value]:
    """Every value of the table by name."""
    table = json.loads(path.read_text(encoding="utf-8"))
    return {name: entry["value"] for name, entry in table["values"].items()}


TABLE = load_table()


def _text(name: str) -> str:
    value = TABLE[name]
    if not isinstance(value, str):
        raise TypeError(f"protocol value {name} must be a text, not {value!r}")
    return value


def _integer(name: str) -> int:
    value = TABLE[name]
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"protocol value {name} must be an integer, not {value!r}")
    return value


def _number(name: str) -> float:
    value = TABLE[name]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"protocol value {name} must be a number, not {value!r}")
    return float(value)


SUBMIT_PATH = _text("submit_path")
SUBSET_PATH = _text("subset_path")
RESULT_PATH = _text("result_path")
REQUEST_ID_KEY = _text("request_id_key")
TARGET_KEY = _text("target_key")
MESSAGE_KEY = _text("message_key")
API_KEY_HEADER = _text("api_key_header")
JSON_MEDIA_TYPE = _text("json_media_type")
BAD_KEY_MESSAGE = _text("bad_key_message")
NOT_READY_STATUS = _integer("not_ready_status")
GONE_STATUS = _integer("gone_status")
MESSAGE_MAX_CHARS = _integer("message_max_chars")
REQUEST_ID_HEX_DIGITS = _integer("request_id_hex_digits")
REQUEST_ID_MAX_CHARS = _integer("request_id_max_chars")
SUBMIT_ANSWER_MAX_BYTES = _integer("submit_answer_max_bytes")
VALUE_MAX = _integer("value_max")
POLL_ATTEMPTS = _integer("poll_attempts")
POLL_INTERVAL_MS = _integer("poll_interval_ms")
POLL_WAIT_MAX_S = _number("poll_wait_max_s")
WITNESS_HEADER_WORDS = _integer("witness_header_words")
