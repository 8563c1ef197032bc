"""Changes as iterators: ``Monitor`` (blocking) and ``AsyncMonitor``
(asyncio), both over one subscription of the extension module.

Threads: the subscription's callback runs on the library's dispatcher
thread and only hands the change over -- into a ``queue.SimpleQueue`` for
``Monitor``, to the event loop through ``call_soon_threadsafe`` for
``AsyncMonitor`` (no polling). The iterators themselves belong to the
thread (or loop) that iterates them; ``close`` may come from anywhere.
"""

from __future__ import annotations

import asyncio
import queue
import time
from typing import Any, List, Optional


class Monitor:
    """Iterator of ``varnek.Change`` objects; ends after its timeout or when
    closed (also by leaving a ``with`` block)."""

    def __init__(self, impl: Any, paths: List[str],
                 timeout: Optional[float]) -> None:
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._sub: Any = impl.subscribe(paths, self._queue.put)

    def __iter__(self) -> "Monitor":
        return self

    def __next__(self) -> Any:
        while self._sub is not None:
            try:
                if self._deadline is None:
                    # Waits in slices so that Ctrl-C gets through.
                    return self._queue.get(timeout=0.5)
                left = self._deadline - time.monotonic()
                if left <= 0:
                    break
                return self._queue.get(timeout=left)
            except queue.Empty:
                continue
        self.close()
        raise StopIteration

    def close(self) -> None:
        """Unsubscribes; the iteration ends."""
        sub, self._sub = self._sub, None
        if sub is not None:
            sub.close()

    def __enter__(self) -> "Monitor":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class AsyncMonitor:
    """Async iterator of ``varnek.Change`` objects for the running event
    loop; subscribes on the first ``__anext__`` and ends after its timeout
    or on ``aclose()`` (also by leaving an ``async with`` block)."""

    def __init__(self, impl: Any, paths: List[str],
                 timeout: Optional[float]) -> None:
        self._impl = impl
        self._paths = paths
        self._timeout = timeout
        self._deadline: Optional[float] = None
        self._queue: "Optional[asyncio.Queue[Any]]" = None
        self._sub: Any = None
        self._done = False

    def __aiter__(self) -> "AsyncMonitor":
        return self

    async def _start(self) -> None:
        loop = asyncio.get_running_loop()
        changes: "asyncio.Queue[Any]" = asyncio.Queue()

        def deliver(change: Any) -> None:
            try:
                loop.call_soon_threadsafe(changes.put_nowait, change)
            except RuntimeError:
                pass  # the loop is closed: nobody waits any more

        self._queue = changes
        if self._timeout is not None:
            self._deadline = loop.time() + self._timeout
        # Subscribing makes remote calls: off the loop's thread.
        self._sub = await loop.run_in_executor(
            None, self._impl.subscribe, self._paths, deliver)

    async def __anext__(self) -> Any:
        if self._done:
            raise StopAsyncIteration
        if self._sub is None:
            await self._start()
        assert self._queue is not None
        try:
            if self._deadline is None:
                return await self._queue.get()
            left = self._deadline - asyncio.get_running_loop().time()
            if left > 0:
                return await asyncio.wait_for(self._queue.get(), left)
        except asyncio.TimeoutError:
            pass
        await self.aclose()
        raise StopAsyncIteration

    async def aclose(self) -> None:
        """Unsubscribes; the iteration ends."""
        self._done = True
        sub, self._sub = self._sub, None
        if sub is not None:
            await asyncio.get_running_loop().run_in_executor(None, sub.close)

    async def __aenter__(self) -> "AsyncMonitor":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()
