"""Calls to the store made together: whatever arrives while one call is on its way goes in the
next, so a busy process makes one round trip (and one script run) for many requests, and an idle
one waits for nobody."""
import asyncio
from typing import Awaitable, Callable, Generic, List, Optional, Tuple, TypeVar

T = TypeVar("T")
R = TypeVar("R")


class Batches(Generic[T, R]):
    def __init__(self, run: Callable[[List[T]], Awaitable[List[R]]], most: int):
        self._run = run
        self._most = most
        self._waiting: List[Tuple[T, "asyncio.Future[R]"]] = []
        self._task: Optional["asyncio.Task[None]"] = None

    def add(self, item: T) -> "asyncio.Future[R]":
        """The item's result, once the batch it goes in has run."""
        fut: "asyncio.Future[R]" = asyncio.get_running_loop().create_future()
        self._waiting.append((item, fut))
        if self._task is None:
            self._task = asyncio.get_running_loop().create_task(self._drain())
        return fut

    def take(self, wanted: Callable[[List[T]], bool]) -> List[Tuple[T, "asyncio.Future[R]"]]:
        """The items not yet on their way, if `wanted` says so of them all: the caller sends them
        itself and sets their results."""
        if not self._waiting or not wanted([item for item, _ in self._waiting]):
            return []
        taken, self._waiting = self._waiting, []
        return taken

    @property
    def busy(self) -> bool:
        return self._task is not None

    async def _drain(self) -> None:
        try:
            while self._waiting:
                batch = self._waiting[:self._most]
                del self._waiting[:self._most]
                try:
                    results = await self._run([item for item, _ in batch])
                except asyncio.CancelledError:
                    for _, fut in batch:
                        fut.cancel()
                    raise
                except Exception as e:
                    for _, fut in batch:
                        if not fut.done():
                            fut.set_exception(e)
                    continue
                for (_, fut), result in zip(batch, results):
                    if not fut.done():
                        fut.set_result(result)
        finally:
            self._task = None

    async def settled(self) -> None:
        """Returns once every item added so far has run."""
        while self._task is not None:
            await asyncio.shield(self._task)

    async def close(self, error: Exception) -> None:
        """Stops running; items still waiting get `error`."""
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
        for _, fut in self._waiting:
            if not fut.done():
                fut.set_exception(error)
        self._waiting.clear()
