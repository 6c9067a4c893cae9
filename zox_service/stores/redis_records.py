"""How the Redis store lays out its keys and a job's one record.

A job is one string: a header of its state ("q" waiting or solving, "d" solved, "f" failed), its
owner and what it costs its owner, then what the state needs. A waiting job keeps its attempts,
kind, result time to live, target and values; a solved one its payload, so that a poll reads the
header and the first window with one GETRANGE and a large payload is sent a range at a time; a
failed one its message. Queue entries and claims name a job by a member that carries what a
script must know without reading the record: whether the job is small, its owner and its id.
"""
import sys
from array import array
from typing import Iterator, Optional, Tuple

from ..jobs import KINDS, RESULT_OVERHEAD, Job
from ..protocol import REQUEST_ID_HEX_DIGITS

PREFIX = "zox:"
QUEUE = PREFIX + "queue"  # members by virtual time: keys take turns
CLOCK = PREFIX + "vt"  # the virtual time of the job last taken
# One entry per waiting job: a blocked solver wakes for each. An entry is "1", or a job's member
# and short record (the first of a submit while nothing waits), taken by the solver it wakes.
BELL = PREFIX + "bell"
TOKEN = b"1"
HELD = PREFIX + "held"  # results not yet delivered, by expiry; they count against their key
SOLVERS = PREFIX + "solvers"  # consumers that announced themselves
ALIVE = PREFIX + "alive"  # lives while any solver's heartbeat does
CHANNEL = PREFIX + "done"  # jobs answered: each id, then the length of its record and the record
# (for records up to 4 KiB; none for others)

OWNER_CHARS = 32
# The Lua scripts cut members and held entries at these places (common.lua's HEAD and MEMBER):
# another id length in the protocol table needs them laid out again, so it stops here, not there.
ID_CHARS = 32
if REQUEST_ID_HEX_DIGITS != ID_CHARS:
    raise ImportError(f"the Redis store lays out {ID_CHARS}-digit request ids, "
                      f"the protocol has {REQUEST_ID_HEX_DIGITS}")
MEMBER = 1 + OWNER_CHARS + ID_CHARS  # small flag, owner, request id
HEAD = 1 + OWNER_CHARS + 12  # state, owner, cost
JOB_HEAD = HEAD + 3 + 1 + 12 + 20  # attempts, kind, result ttl ms, target


def record_key(request_id: str) -> str:
    return f"{PREFIX}r:{request_id}"


def cancel_key(request_id: str) -> str:
    return f"{PREFIX}x:{request_id}"


def owner_key(owner: str) -> str:
    return f"{PREFIX}k:{owner}"


def heartbeat_key(consumer: str) -> str:
    return f"{PREFIX}s:{consumer}"


def claims_key(consumer: str) -> str:
    return f"{PREFIX}c:{consumer}"


def hand_key(consumer: str) -> str:
    """The bell entries a consumer took, until their jobs are answered or claimed."""
    return f"{PREFIX}h:{consumer}"


def member(small: bool, owner: str, request_id: str) -> str:
    return ("s" if small else "l") + owner + request_id


def _le_bytes(values: array) -> bytes:
    if sys.byteorder == "big":
        values = array("Q", values)
        values.byteswap()
    return values.tobytes()


def job_record(owner: str, cost: int, kind: str, ttl_ms: int, target: int,
               values: array) -> bytes:
    head = b"q%s%012d000%d%012d%020d" % (owner.encode(), cost, KINDS.index(kind), ttl_ms, target)
    return head + _le_bytes(values)


def answer_record(owner: str, payload: Optional[bytes], error: Optional[str]) -> Tuple[bytes, int]:
    """The record of a solved or failed job, and its cost."""
    if payload is not None:
        cost = len(payload) + RESULT_OVERHEAD
        return b"d%s%012d" % (owner.encode(), cost) + payload, cost
    return b"f%s%012d" % (owner.encode(), RESULT_OVERHEAD) + \
        (error or "Solve failed").encode(), RESULT_OVERHEAD


# A submit as submit.lua takes it: member, cost, record, and the answer record, its cost and time
# to live in ms when the job was solved already (b"", 0, 0 when not).
Entry = Tuple[str, int, bytes, bytes, int, int]


def submit_entry(job: Job, small: bool, cost: int, record: bytes,
                 solved: Optional[Tuple[Optional[bytes], Optional[str]]]) -> Entry:
    if solved is None:
        return member(small, job.owner, job.request_id), cost, record, b"", 0, 0
    answer, answer_cost = answer_record(job.owner, *solved)
    return (member(small, job.owner, job.request_id), cost, record, answer, answer_cost,
            int(job.ttl * 1000))


def job_of(taken: str, record: bytes) -> Optional[Job]:
    """The job a claim took, or None when its record is gone or already answered."""
    if len(record) < JOB_HEAD or record[:1] != b"q":
        return None
    values = array("Q")
    values.frombytes(record[JOB_HEAD:])
    if sys.byteorder == "big":
        values.byteswap()
    return Job(taken[1 + OWNER_CHARS:], taken[1:1 + OWNER_CHARS], values,
               int(record[49:61]) / 1000, KINDS[int(record[48:49])], int(record[61:81]),
               handle=(taken, int(record[33:45])))


def header(record: bytes) -> Tuple[bytes, str, int]:
    """State, owner and cost of a record read from its start."""
    return record[:1], record[1:1 + OWNER_CHARS].decode("ascii", "replace"), int(record[33:45])


def ended(message: bytes) -> Iterator[Tuple[str, bytes]]:
    """The jobs a message on CHANNEL tells of: id and record (empty when not sent along)."""
    at, head = 0, ID_CHARS + 6  # the id, then six digits of the record's length
    while at + head <= len(message):
        digits = message[at + ID_CHARS:at + head]
        if not digits.isdigit():
            return  # not a message of this layout: polls waiting look when their wait ends
        size = int(digits)
        yield (message[at:at + ID_CHARS].decode("ascii", "replace"),
               message[at + head:at + head + size])
        at += head + size
