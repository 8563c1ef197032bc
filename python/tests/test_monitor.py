"""Change notifications from Python: callbacks, the monitor iterator, the
asyncio iterator, a server restart under a live subscription and the
interpreter's exit with subscriptions open."""

from __future__ import annotations

import asyncio
import datetime
import os
import subprocess
import sys
import textwrap
import threading
from typing import List

import pytest

import varnek
from conftest import RegdServer, wait_until


def test_ten_thousand_changes_in_order(reg: varnek.Registry) -> None:
    start = reg.get("regd.stress.counter")
    changes: List[varnek.Change] = []
    threads = set()

    def record(change: varnek.Change) -> None:
        threads.add(threading.get_ident())
        changes.append(change)

    with reg.subscribe("regd.stress.counter", record) as sub:
        reg.put("regd.stress.emit", 10_000)
        assert wait_until(lambda: len(changes) >= 10_000, 120), len(changes)
    assert sub.closed
    assert [c.value for c in changes] == list(range(start + 1, start + 10_001))
    assert {c.path for c in changes} == {"regd.stress.counter"}
    assert {c.pos for c in changes} == {0}
    assert threading.get_ident() not in threads and len(threads) == 1
    first = changes[0].time
    assert isinstance(first, datetime.datetime) and first.tzinfo is not None
    assert first <= changes[-1].time
    assert abs(first.timestamp() - changes[0].timestamp) < 1e-3


def test_callbacks_exceptions_and_closing(reg: varnek.Registry, monkeypatch) -> None:
    reported: list = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    seen: List[float] = []

    def flaky(change: varnek.Change) -> None:
        seen.append(change.value)
        if len(seen) == 1:
            raise ValueError("callback failed")

    arrays: List[varnek.Change] = []
    with reg.subscribe(["settings.gain", "calibration.offsets"],
                       lambda c: (seen if c.path == "settings.gain" else arrays).append(c)):
        pass  # opened and closed again: nothing arrives through it
    sub = reg.subscribe("settings.gain", flaky)
    arrays_sub = reg.subscribe("calibration.offsets", arrays.append)
    reg.put("settings.gain", 2.0)
    reg.put("settings.gain", 3.0)
    reg.put("calibration.offsets", [5, 6], pos=1)
    assert wait_until(lambda: len(seen) == 2 and len(arrays) == 1)
    assert seen == [2.0, 3.0]  # delivery went on after the exception
    assert len(reported) == 1 and isinstance(reported[0].exc_value, ValueError)
    assert arrays[0].pos == 1 and arrays[0].value.tolist() == [5, 6]
    sub.close()
    arrays_sub.close()

    # a callback may close its own subscription
    own: List[varnek.Change] = []
    holder: list = []

    def once(change: varnek.Change) -> None:
        own.append(change)
        holder[0].close()

    holder.append(reg.subscribe("settings.gain", once))
    witness: List[varnek.Change] = []
    with reg.subscribe("settings.gain", witness.append):
        for value in (4.0, 5.0, 6.0):
            reg.put("settings.gain", value)
        assert wait_until(lambda: len(witness) == 3 and len(own) >= 1)
        assert wait_until(lambda: holder[0].closed)
        reg.put("settings.gain", 7.0)
        assert wait_until(lambda: len(witness) == 4)
    # each client has a thread of its own: the other one may still be busy
    assert wait_until(lambda: len(own) > 1, 0.5) is False
    assert [c.value for c in own] == [4.0]
    assert holder[0].closed

    with pytest.raises(varnek.NotFound):
        reg.subscribe(["settings.gain", "settings.nothing"], print)
    reg.execute("reset")


def test_monitor_iterator_ends_on_timeout(reg: varnek.Registry) -> None:
    def write() -> None:
        for value in (7, 8, 9):
            reg.put("settings.offset", value)

    with reg.monitor(["settings.offset", "settings.label"], timeout=3.0) as changes:
        writer = threading.Thread(target=write)
        writer.start()
        got = [c.value for c in changes]
        writer.join()
    assert got == [7, 8, 9]
    assert list(reg.monitor("settings.offset", timeout=0.2)) == []
    # closed early, the iterator ends
    monitor = reg.monitor("settings.offset")
    monitor.close()
    assert list(monitor) == []


def test_amonitor_hands_changes_to_the_loop(reg: varnek.Registry) -> None:
    async def run() -> tuple:
        loop_thread = threading.get_ident()
        changes = reg.amonitor(["settings.label"], timeout=3.0)
        got = []
        threads = set()

        async def write() -> None:
            await asyncio.sleep(0.2)
            for text in ("a", "b", "c"):
                await asyncio.get_running_loop().run_in_executor(
                    None, reg.put, "settings.label", text)

        writer = asyncio.create_task(write())
        async for change in changes:
            threads.add(threading.get_ident())
            got.append(change.value)
        await writer
        quiet = [c async for c in reg.amonitor("settings.label", timeout=0.2)]
        return got, threads == {loop_thread}, quiet

    got, on_loop, quiet = asyncio.run(run())
    assert got == ["a", "b", "c"] and on_loop and quiet == []
    reg.execute("reset")


def test_restart_under_a_live_subscription() -> None:
    server = RegdServer()
    server.start()
    try:
        with varnek.connect(port=server.port, timeout=10) as reg:
            changes: List[float] = []
            sub = reg.subscribe("settings.gain", lambda c: changes.append(c.value))
            reg.put("settings.gain", 2.0)
            assert wait_until(lambda: changes == [2.0])
            server.kill()
            assert reg.ping() == "not_connected"
            with pytest.raises(varnek.ConnectionError):
                reg.get("settings.gain")
            server.start()  # same port, fresh tree
            states = []
            assert wait_until(lambda: states.append(reg.ping()) or states[-1] != "not_connected")
            assert states[-1] == "reconnected"
            assert reg.ping() == "connected"
            assert reg.get("settings.gain") == 1.0
            reg.put("settings.gain", 3.0)
            assert wait_until(lambda: changes == [2.0, 3.0]), changes
            sub.close()
    finally:
        server.stop()


def test_interpreter_exit_with_live_subscriptions(regd: RegdServer) -> None:
    script = textwrap.dedent(f"""
        import threading, varnek
        reg = varnek.connect(port={regd.port}, timeout=30)
        seen = threading.Event()
        def slow(change):
            seen.set()
        sub = reg.subscribe(["regd.stress.counter", "settings.gain"], slow)
        stream = iter(reg.stream("signals.scope"))
        next(stream)
        reg.put("regd.stress.emit", 100000)   # still emitting when Python exits
        seen.wait(30)
        print("leaving", flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout == "leaving\n"
    assert "Traceback" not in done.stderr and "terminate" not in done.stderr
    # the server saw the client go
    with varnek.connect(port=regd.port, timeout=30) as reg:
        assert wait_until(lambda: reg.get("regd.receivers") == 0, 60)
        reg.put("regd.stress.emit", 0)


def test_closing_the_registry_ends_what_it_opened(reg: varnek.Registry, regd: RegdServer) -> None:
    before = reg.get("regd.subscriptions")
    with varnek.connect(port=regd.port, timeout=30) as other:
        sub = other.subscribe(["settings.gain", "settings.offset"], lambda change: None)
        stream = other.stream("signals.scope", timeout=30)
        next(stream)
        assert reg.get("regd.subscriptions") == before + 2
        assert reg.get("regd.receivers") == 1
    assert sub.closed and other.closed
    assert list(stream) == []
    assert wait_until(lambda: reg.get("regd.receivers") == 0)
    assert wait_until(lambda: reg.get("regd.subscriptions") == before)
    # the shared connection stays usable through the registry still open
    assert reg.get("settings.gain") == 1.0
