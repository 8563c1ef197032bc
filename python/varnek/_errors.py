"""The error classes of the varnek package.

Every failure of the client library reaches Python as one of these, carrying
the library's own text ("ireg: node not found: settings.gian"). The
extension module picks the class (one classification of the library's
texts, in python/src/values.cc) and makes the instance; nothing here holds
state, so any thread may use it.
"""

from __future__ import annotations


class Error(RuntimeError):
    """A failure of the registry client library."""


class NotFound(Error, KeyError):
    """No node at the path given (also a KeyError)."""

    def __str__(self) -> str:
        # KeyError would show the repr of the text.
        return str(self.args[0]) if self.args else ""


class AccessError(Error):
    """The registry refused: not readable, not writable, a value outside the
    node's domain or range, a value of another type, not a command."""


class ConnectionError(Error):  # noqa: A001 - the package's own name
    """The registry cannot be reached (refused, gone, not answering)."""


class TimeoutError(Error):  # noqa: A001 - the package's own name
    """A remote call or a wait ran out of its time."""


for _cls in (Error, NotFound, AccessError, ConnectionError, TimeoutError):
    _cls.__module__ = "varnek"
