"""varnek: device control registries from Python.

A thin layer over the Varnek client libraries (the extension module
``varnek._varnek``): connect to a registry, read and write node values
(numeric arrays as numpy arrays), run commands, describe and walk the tree,
subscribe to changes (callbacks, iterators, asyncio) and read signals as
numpy blocks::

    import varnek

    with varnek.connect("127.0.0.1", port=5679) as reg:
        gain = reg.get("settings.gain")              # 1.0
        reg.put("settings.gain", gain * 2)           # returns the value now held
        offsets = reg.get("calibration.offsets")     # numpy int32 array

Threads: every object may be used from several Python threads at once;
each blocking call releases the GIL while it waits. Subscription callbacks
run on the library's dispatcher thread with the GIL held. The library
starts on the first connect (or ``init``) and ends at interpreter exit,
after closing what is still open.

Errors: ``varnek.Error`` (a RuntimeError) and its subclasses ``NotFound``
(also a KeyError), ``AccessError``, ``ConnectionError`` and
``TimeoutError``, carrying the library's own text.
"""

from __future__ import annotations

import atexit
from typing import (Any, Callable, Dict, Iterable, List, Mapping, Optional,
                    Sequence, Union)

import numpy as np

from . import _varnek
from ._errors import (AccessError, ConnectionError, Error, NotFound,
                      TimeoutError)
from ._monitor import AsyncMonitor, Monitor
from ._signals import Block, Stream

__all__ = [
    "AccessError", "AsyncMonitor", "Block", "Change", "ConnectionError",
    "Error", "Monitor", "Node", "NotFound", "Registry", "Stream",
    "Subscription", "TimeoutError", "Value", "connect", "init",
]

#: One change notification: ``.path`` (as subscribed), ``.value``, ``.pos``
#: (first element concerned), ``.time`` (a timezone-aware ``datetime`` of
#: arrival) and ``.timestamp`` (the same as seconds since the epoch).
Change = _varnek.Change

#: What ``get`` answers and ``put`` takes: ``bool``, ``int``, ``float``,
#: ``str`` for scalars (enumerations as their text), a 1-D numpy array for
#: numeric arrays, ``list[str]`` for string and enumeration arrays.
Value = Union[bool, int, float, str, np.ndarray, List[str]]

Paths = Union[str, Iterable[str]]

# Closes open subscriptions and streams and ends the library before the
# interpreter tears its threads down.
atexit.register(_varnek.shutdown)


def init(orb_args: Sequence[str] = (), *, tls_ca: Optional[str] = None,
         tls_key: Optional[str] = None, tls_password: Optional[str] = None) -> None:
    """Starts the library with extra ORB options (``["-ORBtraceLevel",
    "10"]``); only before the first ``connect``, which otherwise starts it
    without options. Raises ``Error`` when the library already runs.

    With ``tls_ca`` (the PEM file of the trusted certificate authorities)
    and ``tls_key`` (this client's certificate and private key in one PEM
    file; ``tls_password`` when the key has one) every connection is TLS,
    and registries serving TLS only are reached. Raises ``ValueError`` when
    only one of the two is given, ``Error`` when a file cannot be read."""
    if (tls_ca is None) != (tls_key is None):
        raise ValueError("tls_ca and tls_key go together")
    args = [str(a) for a in orb_args]
    if tls_ca is not None:
        # The library's own options, which it takes out before the ORB sees
        # the rest.
        args += ["--varnek-tls-ca", str(tls_ca), "--varnek-tls-key", str(tls_key)]
        if tls_password is not None:
            args += ["--varnek-tls-password", str(tls_password)]
    _varnek.init(args)


def connect(host: str = "127.0.0.1", port: int = 0, root: str = "app",
            timeout: Optional[float] = None) -> "Registry":
    """Attaches the registry ``root`` ("app" or "platform") of the
    application at ``host``:``port`` (port 0: the root's default port, 5679
    for "app", 5678 for "platform"). ``timeout`` (seconds) bounds every
    remote call made through the returned object (None: the library's
    default, 60 s). Raises ``ConnectionError`` when it cannot be reached."""
    return Registry(host, port, root, timeout)


def _path_list(paths: Paths) -> List[str]:
    return [paths] if isinstance(paths, str) else [str(p) for p in paths]


class Subscription:
    """Changes of some nodes delivered to a callback (``Registry.subscribe``).

    ``close()`` (or leaving a ``with`` block) unsubscribes; a subscription
    that is garbage-collected closes as well. The subscription survives a
    server restart once ``Registry.ping()`` has reconnected."""

    def __init__(self, impl: Any) -> None:
        self._impl = impl

    @property
    def paths(self) -> List[str]:
        return list(self._impl.paths)

    @property
    def closed(self) -> bool:
        return bool(self._impl.closed)

    def close(self) -> None:
        """Unsubscribes; may be called from the callback itself."""
        self._impl.close()

    def __enter__(self) -> "Subscription":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<varnek.Subscription {self.paths} {state}>"


class Registry:
    """One attached registry; made by ``varnek.connect``. A context manager
    (``with varnek.connect(...) as reg:``) that closes on exit."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0,
                 root: str = "app", timeout: Optional[float] = None) -> None:
        self.host = host
        self.root = root
        self.timeout = timeout
        self._impl = _varnek.Registry(host, int(port), root,
                                      -1.0 if timeout is None else float(timeout))
        self.port = int(self._impl.where.rsplit(":", 1)[1])

    # ---- values ----

    def get(self, path: str, pos: int = 0, count: int = 0) -> Value:
        """The value of ``path``; arrays ``count`` elements from ``pos``
        (count 0: to the end), scalars whole."""
        return self._impl.get(path, pos, count)

    def put(self, path: str, value: Any, pos: int = 0) -> Optional[Value]:
        """Writes ``value`` (a scalar, a sequence or a numpy array; arrays
        from ``pos``) and returns the value now held (None when the node
        cannot be read). Raises ``AccessError`` for a refused value (an
        enumeration lists its allowed values), ``TypeError`` or
        ``ValueError`` for a value that does not fit the node's type."""
        return self._impl.put(path, value, pos)

    def get_many(self, paths: Iterable[str], pos: int = 0,
                 count: int = 0) -> Dict[str, Union[Value, Error]]:
        """Reads many nodes in one batch: path -> value, or the ``Error``
        of that path (one path's failure never fails the others)."""
        return self._impl.get_many(_path_list(paths), pos, count)

    def put_many(self, values: Mapping[str, Any],
                 pos: int = 0) -> Dict[str, Union[Value, None, Error]]:
        """Writes many nodes in one batch: path -> the value now held (None
        when unreadable), or the ``Error`` of that path."""
        return self._impl.put_many(dict(values), pos)

    def execute(self, path: str) -> None:
        """Runs the command node ``path``."""
        self._impl.execute(path)

    # ---- the tree ----

    def info(self, path: str) -> Dict[str, Any]:
        """``path``, ``type`` (name), ``flags`` (names), ``size``,
        ``domain`` (allowed values), ``validator`` (text or None) and
        ``children`` (visible children) of a node."""
        return self._impl.info(path)

    def tree(self, path: str = "", depth: Optional[int] = 1) -> List[str]:
        """Dotted paths of the visible nodes below ``path``, ``depth`` levels
        down (None: all), in pre-order. Hidden nodes are not listed but are
        found by path (also ``tree`` of a hidden node lists its children)."""
        return self._impl.tree(path, -1 if depth is None else int(depth))

    def node(self, path: str) -> "Node":
        """A handle of ``path`` (no remote call)."""
        return Node(self, path)

    def ping(self) -> str:
        """"connected", "reconnected" (the server had restarted: the
        connection, subscriptions and streams are restored) or
        "not_connected"."""
        return self._impl.ping()

    # ---- monitoring ----

    def subscribe(self, paths: Paths,
                  callback: Callable[[Change], None]) -> Subscription:
        """Calls ``callback(change)`` for every change of ``paths``, on the
        library's dispatcher thread with the GIL held, one change at a time
        in arrival order. An exception the callback raises goes to
        ``sys.unraisablehook``; delivery goes on."""
        return Subscription(self._impl.subscribe(_path_list(paths), callback))

    def monitor(self, paths: Paths, timeout: Optional[float] = None) -> Monitor:
        """An iterator of the changes of ``paths``; it ends after
        ``timeout`` seconds (None: never) or when closed."""
        return Monitor(self._impl, _path_list(paths), timeout)

    def amonitor(self, paths: Paths,
                 timeout: Optional[float] = None) -> AsyncMonitor:
        """``monitor`` for asyncio: ``async for change in reg.amonitor(...)``;
        changes are handed to the running loop thread-safely."""
        return AsyncMonitor(self._impl, _path_list(paths), timeout)

    # ---- signals ----

    def stream(self, path: str, blocks: Optional[int] = None,
               timeout: Optional[float] = None) -> Stream:
        """An iterator of the blocks of the push signal ``path`` as ``Block``
        (``.data`` of shape (atoms, components), ``.meta``), ``blocks``
        of them (None: until closed); ``timeout`` bounds the wait for each
        block (``TimeoutError``). Closing it closes the stream."""
        return Stream(self._impl.stream(path), blocks, timeout)

    def read_signal(self, path: str, pos: int, atoms: int) -> Block:
        """``atoms`` atoms of the data-on-demand signal ``path`` from
        position ``pos`` on."""
        data, meta = self._impl.read_signal(path, int(pos), int(atoms))
        meta.setdefault("position", int(pos))
        return Block(data, meta)

    # ---- life ----

    def close(self) -> None:
        """Closes the subscriptions and streams made through this object and
        releases the connection. Idempotent."""
        self._impl.close()

    @property
    def closed(self) -> bool:
        return bool(self._impl.closed)

    def __enter__(self) -> "Registry":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<varnek.Registry {self._impl.where}{state}>"


class Node:
    """A node of a registry by path (``Registry.node``); every attribute is
    asked of the registry when read."""

    def __init__(self, registry: Registry, path: str) -> None:
        self.registry = registry
        self.path = path

    @property
    def name(self) -> str:
        return self.path.rsplit(".", 1)[-1]

    def info(self) -> Dict[str, Any]:
        return self.registry.info(self.path)

    @property
    def type(self) -> str:
        """The value type's name ("Double", "Enumeration", "Undefined", ...)."""
        return str(self.info()["type"])

    @property
    def flags(self) -> List[str]:
        return list(self.info()["flags"])

    @property
    def size(self) -> int:
        return int(self.info()["size"])

    def children(self) -> List["Node"]:
        return [Node(self.registry, p) for p in self.registry.tree(self.path, 1)]

    @property
    def value(self) -> Value:
        return self.registry.get(self.path)

    @value.setter
    def value(self, value: Any) -> None:
        self.registry.put(self.path, value)

    def get(self, pos: int = 0, count: int = 0) -> Value:
        return self.registry.get(self.path, pos, count)

    def put(self, value: Any, pos: int = 0) -> Optional[Value]:
        return self.registry.put(self.path, value, pos)

    def execute(self) -> None:
        self.registry.execute(self.path)

    def subscribe(self, callback: Callable[[Change], None]) -> Subscription:
        return self.registry.subscribe(self.path, callback)

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Node) and other.registry is self.registry
                and other.path == self.path)

    def __hash__(self) -> int:
        return hash((id(self.registry), self.path))

    def __repr__(self) -> str:
        return f"<varnek.Node {self.path!r}>"
