"""Complete subset sum.

A result is a sum bitset: a list of unsigned 64-bit ints in which bit ``k % 64`` of word ``k // 64``
is set when ``k`` is the sum of some sub-multiset of the values. Bit 0 (nothing chosen) and the bit of
the total (everything chosen) are always set.

By default the problem is solved by the remote solving service; with the environment variable
``ZO_KILLSWITCH`` set to ``"1"`` it is solved in-process. The environment (``ZO_KILLSWITCH``,
``ZO_API_KEY``, ``ZO_SERVICE_URL``, ``ZO_CA_BUNDLE``, ``ZO_TIMEOUT``) is read once per call, on the
calling thread. Diagnostics are written to ``sys.stdout``; ``ZO_QUIET=1`` silences them.
"""

import array
import sys
from typing import (Any, Callable, Coroutine, Iterable, List, Literal, Optional, Protocol, Union,
                    type_check_only)

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer

    @type_check_only
    class _ArrayExport(Protocol):
        # NumPy arrays, whose own stubs declare their buffer only from Python 3.12 on.
        def __array__(self) -> Any: ...

    _Buffer = Union[Buffer, _ArrayExport]

__version__: str

class ArgumentError(TypeError, SystemError):
    """Arguments a method cannot take: a wrong number of them, or a value of the wrong type."""

class SolveError(ConnectionError):
    """A failed solve: a ConnectionError whose message is the solver's, with what happened in
    phase, curl_code, curl_message, service_message, not_ready_polls and timed_out."""

    phase: Optional[Literal["prepare", "submit", "poll", "payload", "local"]]
    curl_code: Optional[int]
    curl_message: Optional[str]
    service_message: Optional[str]
    not_ready_polls: int
    timed_out: bool

def complete_subset_sum(values: List[int], /) -> List[int]:
    """Run complete subset sum.

    Returns ``total // 64 + 1`` words. Raises ``TypeError`` for a non-list or a non-int item,
    ``OverflowError`` for an int outside ``0 .. 2**64 - 1`` or a total past ``2**64 - 1``,
    ``MemoryError`` (naming the bytes needed) when the result cannot be held, and ``SolveError``
    (a ``ConnectionError``) when the solve fails. The error's message is the solver's; its
    attributes ``phase`` (``"prepare"``, ``"submit"``, ``"poll"``, ``"payload"`` or ``"local"``),
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
    list, or with ``None`` when the solve failed: its ``ConnectionError`` (the one
    ``complete_subset_sum`` raises, attributes and note included) is then the exception being
    handled, ``sys.exc_info()[1]``. Bad arguments raise at call time, as for
    ``complete_subset_sum`` (and ``TypeError`` for a callback that is not callable);
    ``RuntimeError`` when no thread can be started. An exception raised by the callback goes to
    ``sys.unraisablehook``. Once the interpreter runs its exit hooks no callback starts, and one
    that started runs to its end before the interpreter goes on.
    """

def subset_sum_result_check(
    result: Union[List[int], _Buffer], value: int, /
) -> Optional[bool]:
    """Check for a specific int in the results of subset sum.

    ``True`` when ``value`` is a sum in ``result``, ``False`` when it is not, and ``None`` when it
    lies beyond the words of ``result`` (negative values and values of ``2**64`` or more always
    do). ``result`` is a result list, an ``array('Q')`` or any one-dimensional buffer of unsigned
    64-bit words in this machine's byte order (a NumPy ``uint64`` array); anything else has no
    words (a message is printed). A list word that is not an int raises ``TypeError``, one
    outside ``0 .. 2**64 - 1`` ``OverflowError``.
    """

def complete_subset_sum_array(values: Union[Iterable[int], _Buffer], /) -> "array.array[int]":
    """Run complete subset sum; the result as ``array('Q')``, written in place.

    The same words as ``complete_subset_sum``, in an ``array.array('Q')`` that the solve writes
    directly (``numpy.frombuffer(result, numpy.uint64)`` views it without a copy). ``values`` is
    any iterable of ints or any one-dimensional buffer of integers (a NumPy integer array, an
    ``array.array``, ``bytes``); a C-contiguous unsigned 64-bit buffer is taken in one bulk copy,
    other integer types are converted and checked item by item. Raises
    ``TypeError`` for a non-int item, a buffer of anything but integers or a non-iterable,
    ``OverflowError`` for a negative value, one past ``2**64 - 1`` or a total past it,
    ``MemoryError`` when the result cannot be held, and ``ConnectionError`` when the solve fails.
    Other threads run while it solves; a signal (Ctrl-C) interrupts a call that waits on the
    service.
    """

def complete_subset_sum_aio(
    values: Union[Iterable[int], _Buffer], /
) -> Coroutine[Any, Any, List[int]]:
    """Run complete subset sum on a worker thread; await it for the result list.

    The solve starts at the call, which needs no event loop; ``values`` is read then, as for
    ``complete_subset_sum_array``, and bad values raise there. The outcome goes to the event loop
    that awaits it (``await``, ``asyncio.run``, ``create_task``, ``gather``), which the solve never
    blocks: the result list of ``complete_subset_sum``, or its ``ConnectionError`` on ``await``.
    It can be awaited once. Cancelling the task awaiting it abandons the solve: its result is
    dropped when it ends. Nothing is sent to a loop that has been closed meanwhile.
    """

def subset_with_sum(values: Union[Iterable[int], _Buffer], target: int, /) -> Optional[List[int]]:
    """The ascending indices of values whose sum is exactly target, or None.

    ``values`` is read as ``complete_subset_sum_array`` reads it (any iterable of ints or a
    one-dimensional integer buffer), with its errors; ``target`` must be an int (``TypeError``)
    and not negative (``OverflowError``). The result is one choice of positions whose values add
    up to ``target`` (``[]`` for ``0``), or ``None`` when no sub-multiset of the values does. Asked
    of the service, or solved in-process with ``ZO_KILLSWITCH=1``; a failure raises the
    ``ConnectionError`` of ``complete_subset_sum``. Other threads run while it works; a signal
    (Ctrl-C) interrupts it, also a local search, raising what the signal handler raises.
    """

def subset_with_sum_aio(
    values: Union[Iterable[int], _Buffer], target: int, /
) -> Coroutine[Any, Any, Optional[List[int]]]:
    """subset_with_sum on a worker thread; await it for the indices or None.

    Starts at the call and is awaited as ``complete_subset_sum_aio`` is; bad arguments raise at
    the call, a failed solve its ``ConnectionError`` on ``await``.
    """
