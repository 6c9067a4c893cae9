"""Every limit of the service: one named setting each, with its default and its option's help."""
from dataclasses import dataclass, fields
from typing import Dict

from .protocol import POLL_WAIT_MAX_S

MiB = 2**20


@dataclass(frozen=True)
class Limits:
    """Per request: ``max_body_bytes``, ``max_values``, ``max_total``, ``max_work`` (a complete
    solve), ``max_witness_bytes``, ``witness_deadline`` (which values make a target).
    Per API key: ``max_pending`` (problems queued or being solved), ``max_held_bytes`` (result
    bytes held: a solved problem at its payload's size, an unsolved one at the most it can take).
    Per process or store: ``max_stored_bytes`` (all results the in-process store holds),
    ``max_queued`` (problems waiting in the store, far past what one key may queue),
    ``max_body_in_flight`` (request bodies being received at once).
    Per connection (held by the edge, and by the application for bodies and answers):
    ``max_connections`` (clients connected at once), ``header_timeout`` (TLS handshake plus
    request line and headers, from accept;
    trickling cannot extend it), ``body_timeout`` + Content-Length / ``body_min_rate``,
    ``max_header_bytes``, ``keep_alive_timeout`` (idle between requests), ``send_timeout`` +
    the buffered answer / ``send_min_rate``.
    Per delivery: ``max_unsent_bytes`` and ``max_unsent_bytes_per_key`` (answers being sent).
    """

    max_body_bytes: int = 16 * MiB
    max_values: int = 1_000_000
    # A solve peaks at about one byte per unit of total: about 1.1 GiB at this default.
    max_total: int = 2**30
    # Word operations of a plain shift-or solve: non-zero values times result words. A solve runs
    # to its end once started, so this bounds how long one request holds a solver.
    max_work: int = 2**34
    # Which values make a target needs no bitset of the total: its search holds a few words per
    # value, and each of its steps holds at most the rest of this limit (one that would need more
    # fails the job); it runs until it answers or passes its deadline.
    max_witness_bytes: int = 1536 * MiB
    witness_deadline: float = 60.0
    max_pending: int = 1024
    # Three problems of the largest total (about 128 MiB each unsolved) at once, or many more that
    # are solved: their compressed results are usually far smaller.
    max_held_bytes: int = 512 * MiB
    max_stored_bytes: int = 1024 * MiB
    max_queued: int = 10_000
    max_body_in_flight: int = 256 * MiB
    result_ttl: float = 600.0
    # A delivered result stays this long for a repeated poll, then its memory is freed.
    delivered_ttl: float = 60.0
    # A poll for an unfinished solve is held this long and answered as soon as the result exists;
    # with the client's polls (their number and spacing fixed by the protocol) this bounds the
    # wait for a stuck job.
    poll_wait: float = POLL_WAIT_MAX_S
    max_connections: int = 4096
    header_timeout: float = 30.0
    body_timeout: float = 10.0
    body_min_rate: int = 64 * 1024
    max_header_bytes: int = 64 * 1024
    keep_alive_timeout: float = 15.0
    # An answer must leave at this rate: a reader that keeps it waiting longer than send_timeout
    # plus its buffer over send_min_rate is cut.
    send_timeout: float = 10.0
    send_min_rate: int = 16 * 1024
    # Answers are sent from the one copy the store holds, a window at a time; the windows of
    # answers not yet taken by their readers count against these (per API key and in all).
    max_unsent_bytes: int = 64 * MiB
    max_unsent_bytes_per_key: int = 16 * MiB
    # Redis only: a solver process whose heartbeat (every second) has been silent this long is
    # taken for dead: its jobs go to another solver, or fail when none is alive, and after this
    # many deliveries a job that keeps killing its solvers is answered with a failure.
    reclaim_after: float = 5.0
    max_attempts: int = 3


HELP: Dict[str, str] = {
    "max_body_bytes": "largest request body",
    "max_values": "most values in one problem",
    "max_total": "largest accepted sum of the values",
    "max_work": "largest accepted (non-zero values) x (total / 64 + 1)",
    "max_witness_bytes": "most memory a search for which values make a target may hold: 96 per "
                         "value, and the rest for each of its steps",
    "witness_deadline": "seconds a search for which values make a target may run; past it the "
                        "job fails",
    "max_pending": "problems one API key may have queued or being solved",
    "max_held_bytes":
        "result bytes one API key may hold (an unsolved problem counts at the most its result "
        "can take, a solved one at its real size)",
    "max_stored_bytes": "result bytes the in-process store holds for all keys",
    "max_queued": "problems waiting in the store for all keys",
    "max_body_in_flight":
        "bytes of request bodies received at once (bodies up to 64 KiB are not counted)",
    "result_ttl": "seconds a result is kept after it is solved",
    "delivered_ttl": "seconds a result is kept after it was delivered",
    "poll_wait": "seconds a result poll waits for an unfinished solve "
                 f"(at most {POLL_WAIT_MAX_S:g})",
    "max_connections": "client connections open at once; past it new ones wait to be accepted",
    "header_timeout": "seconds from accepting a connection to the end of its first request's "
                      "headers (TLS handshake included); for a later request, from its first byte",
    "body_timeout": "seconds a request body may take, plus its length over --body-min-rate",
    "body_min_rate": "slowest accepted upload, bytes per second",
    "max_header_bytes": "largest request line or header line (a head may take four of these)",
    "keep_alive_timeout": "seconds an idle connection is kept open",
    "send_timeout": "seconds a reader may take nothing of an answer; each 64 KiB of it must "
                    "leave within this plus 64 KiB over --send-min-rate",
    "send_min_rate": "slowest accepted download, bytes per second",
    "max_unsent_bytes": "bytes of answers being sent to readers that have not taken them, for "
                        "all keys",
    "max_unsent_bytes_per_key": "bytes of answers being sent to one API key's readers",
    "reclaim_after": "Redis: seconds after which a silent solver's jobs are taken over (or fail "
                     "when no solver is left); at least 3",
    "max_attempts": "Redis: deliveries of a job before it is failed",
}
assert set(HELP) == {f.name for f in fields(Limits)}
