"""pytest fixtures of the varnek package's tests: a regd server per test
module, started the way the C++ tests start theirs (regd --tree FILE
--port 0 --port-file F, ready once the port file is written), and a
registry connected to it.

CTest passes the paths: VARNEK_REGD (the build's regd), VARNEK_DEMO_TREE
(tools/regd/demo-tree.json), VARNEK_SOURCE_DIR and VARNEK_BUILD_DIR, and
puts <build>/python on PYTHONPATH. Like every test that starts a server,
these run inside the loopback-only network namespace (./dev.sh test).

Threads: the fixtures belong to pytest's thread; a RegdServer is used by
one thread at a time.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
import signal
import subprocess
import tempfile
import time
from typing import Iterator, List, Optional

import pytest

import varnek

REGD = os.environ.get("VARNEK_REGD", "")
DEMO_TREE = os.environ.get("VARNEK_DEMO_TREE", "")
SOURCE_DIR = pathlib.Path(os.environ.get(
    "VARNEK_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))


def _die_with_parent() -> None:
    # The server gets SIGKILL should the test process die.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class RegdServer:
    """One regd process with a private folder (port file, log, output)."""

    def __init__(self, tree: str = DEMO_TREE, args: Optional[List[str]] = None) -> None:
        if not REGD or not tree:
            pytest.skip("VARNEK_REGD / VARNEK_DEMO_TREE not set (run through CTest)")
        self.tree = tree
        self.args = list(args or [])
        self.folder = tempfile.TemporaryDirectory(prefix="varnek-py-")
        self.port = 0
        self.process: Optional[subprocess.Popen[bytes]] = None

    def start(self, timeout: float = 20.0) -> None:
        """Starts regd (on the previous port after a stop) and returns once
        it has written its port."""
        port_file = pathlib.Path(self.folder.name) / "port"
        port_file.unlink(missing_ok=True)
        out = open(pathlib.Path(self.folder.name) / "regd.out", "ab")
        self.process = subprocess.Popen(
            [REGD, "--tree", self.tree, "--port", str(self.port), "--port-file",
             str(port_file), *self.args],
            stdout=out, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        out.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"regd ended with {self.process.returncode}: "
                                   + self.output())
            text = port_file.read_text() if port_file.exists() else ""
            if text.endswith("\n"):
                self.port = int(text)
                return
            time.sleep(0.02)
        self.kill()
        raise RuntimeError("regd did not report its port: " + self.output())

    def output(self) -> str:
        path = pathlib.Path(self.folder.name) / "regd.out"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self) -> int:
        """SIGTERM and its exit status (SIGKILL after 20 s)."""
        if self.process is None:
            return 0
        self.process.terminate()
        try:
            return self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
        finally:
            self.process = None

    def kill(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None


@pytest.fixture(scope="module")
def regd() -> Iterator[RegdServer]:
    server = RegdServer()
    server.start()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def reg(regd: RegdServer) -> Iterator[varnek.Registry]:
    registry = varnek.connect("127.0.0.1", port=regd.port, timeout=30)
    yield registry
    registry.close()


def wait_until(condition, timeout: float = 30.0, step: float = 0.01) -> bool:
    """True once condition() holds; False when `timeout` passed first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return bool(condition())
