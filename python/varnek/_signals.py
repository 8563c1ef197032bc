"""Signal blocks: ``Block`` (one block of a signal as a numpy array with its
meta-data) and ``Stream``, the iterator over a push signal's blocks.

Threads: a ``Stream`` belongs to the thread that iterates it; ``close`` may
come from another thread and ends a waiting read. The blocks are plain
values.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Union

import numpy as np


@dataclass(frozen=True)
class Block:
    """``data``: numpy array of shape (atoms, components) of the signal's
    element type; ``meta``: ``timestamp`` (ns since the epoch), ``sequence``
    (block counter), ``position`` (first atom), further ids by number."""

    data: np.ndarray
    meta: Dict[Union[str, int], int] = field(default_factory=dict)

    @property
    def atoms(self) -> int:
        return int(self.data.shape[0])

    @property
    def components(self) -> int:
        return int(self.data.shape[1])


class Stream:
    """Iterator of the ``Block`` objects of a push signal; closing it (also
    by exhausting it or leaving a ``with`` block) closes the stream."""

    def __init__(self, impl: Any, blocks: Optional[int],
                 timeout: Optional[float]) -> None:
        self._impl = impl
        self._left = blocks
        self._timeout = timeout

    @property
    def path(self) -> str:
        return str(self._impl.path)

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> Block:
        if self._left is not None and self._left <= 0:
            self.close()
            raise StopIteration
        got = self._impl.read(self._timeout)
        if got is None:
            raise StopIteration
        if self._left is not None:
            self._left -= 1
        return Block(got[0], got[1])

    def close(self) -> None:
        """Closes the stream; a read waiting on another thread ends."""
        self._impl.close()

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
