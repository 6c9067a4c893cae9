"""Waiting for something with a deadline, on the event loop that serves every request."""
import asyncio
from typing import Awaitable, TypeVar

T = TypeVar("T")
_timeout = getattr(asyncio, "timeout", None)  # Python 3.11 and later


async def within(seconds: float, awaitable: Awaitable[T]) -> T:
    """What `awaitable` gives, or asyncio.TimeoutError after `seconds`. Where the interpreter
    has asyncio.timeout the wait runs in the caller's own task: wait_for runs it in a task of its
    own, which costs three turns of the loop even when the awaited is ready at once (a request
    body already received), on every request."""
    if _timeout is None:
        return await asyncio.wait_for(awaitable, seconds)
    async with _timeout(seconds):
        return await awaitable
