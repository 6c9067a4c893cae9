"""Complete subset sum.

A result is a sum bitset: a list of unsigned 64-bit ints in which bit ``k % 64`` of word ``k // 64``
is set when ``k`` is the sum of some sub-multiset of the values. Bit 0 (nothing chosen) and the bit of
the total (everything chosen) are always set.

By default the problem is solved by the remote solving service; with the environment variable
``ZO_KILLSWITCH`` set to ``"1"`` it is solved in-process. The environment (``ZO_KILLSWITCH``,
``ZO_API_KEY``, ``ZO_SERVICE_URL``, ``ZO_CA_BUNDLE``, ``ZO_TIMEOUT``) is read once per call, on the
calling thread. Diagnostics are written to ``sys.stdout``; ``ZO_QUIET=1`` silences them.
"""

from typing import Callable, List, Optional

__version__: str

class ArgumentError(TypeError, SystemError):
    """Arguments a method cannot take: a wrong number of them, or a value of the wrong type."""

def complete_subset_sum(values: List[int], /) -> List[int]:
    """Run complete subset sum.

    Returns ``total // 64 + 1`` words. Raises ``TypeError`` for a non-list or a non-int item,
    ``OverflowError`` for an int outside ``0 .. 2**64 - 1`` or a total past ``2**64 - 1``,
    ``MemoryError`` (naming the bytes needed) when the result cannot be held, and
    ``ConnectionError`` when the solve fails. The error's message is the solver's; its attributes
    ``phase`` (``"prepare"``, ``"submit"``, ``"poll"``, ``"payload"`` or ``"local"``),
    ``curl_code``, ``curl_message``, ``service_message``, ``not_ready_polls`` and ``timed_out``,
    and a note (``__notes__``), say what happened. A remote solve takes at most ``ZO_TIMEOUT``
    seconds (default 300). Other threads run while it solves; a signal (Ctrl-C) interrupts a call
    that waits on the service, raising what the signal handler raises (``KeyboardInterrupt``).
    """

def complete_subset_sum_async(
    values: List[int], callback: Callable[[Optional[List[int]]], object], /
) -> None:
    """Run complete subset sum.

    Returns at once; later calls ``callback(result)`` once, on a worker thread, with the result
    list or with ``None`` when the solve failed (its message is printed). Bad arguments raise at
    call time, as for ``complete_subset_sum`` (and ``TypeError`` for a callback that is not
    callable); ``RuntimeError`` when no thread can be started. An exception raised by the callback
    goes to ``sys.unraisablehook``. Solves that end once the interpreter has begun to shut down
    call nothing.
    """

def subset_sum_result_check(result: List[int], value: int, /) -> Optional[bool]:
    """Check for a specific int in the results of subset sum.

    ``True`` when ``value`` is a sum in ``result``, ``False`` when it is not, and ``None`` when it
    lies beyond the words of ``result`` (negative values and values of ``2**64`` or more always
    do) or ``result`` is not a list (a message is printed). A word that is not an int raises
    ``TypeError``, one outside ``0 .. 2**64 - 1`` ``OverflowError``.
    """
