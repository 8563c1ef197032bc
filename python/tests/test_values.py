"""Values both ways, the tree, commands, batches, errors and threads of
varnek.Registry against a regd with the demo tree (one per module)."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import varnek
from conftest import RegdServer

SCALARS = [
    # path, Python type, written value
    ("settings.enabled", bool, False),
    ("settings.gain", float, 2.75),
    ("settings.threshold", float, 0.5),
    ("settings.offset", int, -2147483648),
    ("settings.sample_rate", int, 4294967295),
    ("settings.timeout_ns", int, -(2 ** 63)),
    ("settings.capacity", int, 2 ** 64 - 1),
    ("settings.label", str, "bench 4 \u00b5V"),
    ("settings.mode", str, "precise"),
]

ARRAYS = [
    # path, dtype, written values
    ("calibration.channel_enabled", np.bool_, [False, True, True, False]),
    ("calibration.offsets", np.int32, [-(2 ** 31), 0, 5, 2 ** 31 - 1]),
    ("calibration.ranges", np.uint32, [1, 2, 3, 2 ** 32 - 1]),
    ("calibration.timestamps", np.int64, [-(2 ** 63), 2 ** 63 - 1]),
    ("calibration.counters", np.uint64, [0, 1, 2, 2 ** 64 - 1]),
    ("calibration.coefficients", np.float64, [0.1, -2.5, 1e300, 0.0]),
    ("calibration.weights", np.float32, [0.25, -1.5, 3.0]),
]


@pytest.fixture(autouse=True)
def fresh_values(reg: varnek.Registry):
    yield
    reg.execute("reset")


def test_scalars_both_ways(reg: varnek.Registry) -> None:
    for path, kind, value in SCALARS:
        assert type(reg.get(path)) is kind, path
        assert reg.put(path, value) == value, path
        got = reg.get(path)
        assert type(got) is kind and got == value, path
    # numpy scalars and 0-d arrays are taken as well
    assert reg.put("settings.gain", np.float32(0.5)) == 0.5
    assert reg.put("settings.offset", np.int16(-7)) == -7
    assert reg.put("settings.enabled", np.bool_(True)) is True
    assert reg.put("settings.sample_rate", np.array(12)) == 12


def test_arrays_both_ways_with_dtypes(reg: varnek.Registry) -> None:
    for path, dtype, values in ARRAYS:
        before = reg.get(path)
        assert isinstance(before, np.ndarray) and before.dtype == dtype, path
        assert before.ndim == 1
        held = reg.put(path, values)
        assert held.dtype == dtype and held.tolist() == values, path
        assert reg.get(path).tolist() == values, path
        # numpy input of the node's own dtype round-trips exactly
        array = np.asarray(values, dtype=dtype)[::-1]
        np.testing.assert_array_equal(reg.put(path, array), array)
    names = reg.get("calibration.channel_names")
    assert names == ["ch1", "ch2", "ch3", "ch4"]
    names = ["a", "", "c\u00e9", "d"]
    assert reg.put("calibration.channel_names", tuple(names)) == names
    assert reg.put("calibration.channel_names", np.array(["x", "y"])) == ["x", "y", "c\u00e9", "d"]


def test_numpy_input_is_converted_or_refused(reg: varnek.Registry) -> None:
    # a wider or other numeric dtype is converted in one pass
    held = reg.put("calibration.coefficients", np.arange(4, dtype=np.int64))
    assert held.dtype == np.float64 and held.tolist() == [0.0, 1.0, 2.0, 3.0]
    held = reg.put("calibration.offsets", np.array([1, 2, 3, 4], dtype=np.uint64))
    assert held.tolist() == [1, 2, 3, 4]
    # a large array (growing the node) arrives whole
    big = np.linspace(0.0, 1.0, 100_000)
    np.testing.assert_array_equal(reg.put("calibration.coefficients", big), big)
    # out of range elements, floats into integers, text into numbers: refused
    with pytest.raises(ValueError, match="element 1 .* out of range"):
        reg.put("calibration.offsets", np.array([0, 2 ** 31], dtype=np.int64))
    with pytest.raises(ValueError, match="out of range"):
        reg.put("calibration.ranges", [-1, 0])
    with pytest.raises(TypeError):
        reg.put("calibration.offsets", np.array([1.5, 2.0]))
    with pytest.raises(TypeError):
        reg.put("calibration.channel_enabled", np.array([0, 1]))
    with pytest.raises(TypeError):
        reg.put("settings.gain", "2.5")
    with pytest.raises(TypeError):
        reg.put("settings.offset", 1.0)
    with pytest.raises(ValueError):
        reg.put("settings.sample_rate", -1)
    with pytest.raises(ValueError, match="1-D"):
        reg.put("calibration.coefficients", np.zeros((2, 2)))
    # nothing of the refused writes arrived
    assert reg.get("calibration.offsets").tolist() == [1, 2, 3, 4]


def test_positions_and_counts(reg: varnek.Registry) -> None:
    assert reg.get("calibration.offsets", pos=1, count=2).tolist() == [0, 7]
    assert reg.get("calibration.offsets", pos=2).tolist() == [7, 2]
    assert reg.get("calibration.offsets", pos=4).tolist() == []
    assert reg.get("calibration.channel_names", pos=3, count=5) == ["ch4"]
    assert reg.put("calibration.offsets", [40, 50], pos=2).tolist() == [-3, 0, 40, 50]
    assert reg.put("calibration.offsets", 9, pos=1).tolist() == [-3, 9, 40, 50]
    # a write past the end grows the array
    assert reg.put("calibration.weights", [4.0], pos=3).tolist() == [0.5, 1.5, 2.5, 4.0]
    with pytest.raises(varnek.AccessError, match="position 9 out of range"):
        reg.get("calibration.offsets", pos=9)
    node = reg.node("calibration.offsets")
    assert node.get(1, 1).tolist() == [9]
    node.value = [1, 2, 3, 4]
    assert node.value.tolist() == [1, 2, 3, 4]


def test_enumerations(reg: varnek.Registry) -> None:
    assert reg.put("settings.mode", "fast") == "fast"
    with pytest.raises(varnek.AccessError) as refused:
        reg.put("settings.mode", "turbo")
    assert str(refused.value) == ('"turbo" is not a value of settings.mode; '
                                  "allowed: normal, fast, precise, standby")
    assert reg.get("settings.mode") == "fast"
    result = reg.put_many({"settings.mode": "warp", "settings.gain": 3.0})
    assert isinstance(result["settings.mode"], varnek.AccessError)
    assert "allowed: normal, fast, precise, standby" in str(result["settings.mode"])
    assert result["settings.gain"] == 3.0


def test_commands_info_tree_and_hidden_nodes(reg: varnek.Registry) -> None:
    reg.put("settings.gain", 42.0)
    assert reg.execute("reset") is None
    assert reg.get("settings.gain") == 1.0
    with pytest.raises(varnek.AccessError, match="not executable"):
        reg.execute("settings.gain")

    info = reg.info("settings.mode")
    assert info == {"path": "settings.mode", "type": "Enumeration",
                    "flags": ["read", "write", "persistent"], "size": 1,
                    "domain": ["normal", "fast", "precise", "standby"],
                    "validator": None, "children": 0}
    assert reg.info("settings.gain")["validator"] == "0.01 <= value && value <= 1000"
    assert reg.info("calibration.offsets")["size"] == 4
    assert "array" in reg.info("calibration.offsets")["flags"]
    assert reg.info("settings")["children"] == 9
    assert reg.info("reset")["flags"] == ["write", "executable"]

    top = reg.tree()
    assert top == ["identity", "settings", "calibration", "measurement", "reset", "signals"]
    assert "service" not in top  # hidden
    assert reg.tree("identity") == [f"identity.{n}" for n in
                                    ("manufacturer", "model", "serial", "firmware", "channels")]
    everything = reg.tree(depth=None)
    assert "signals.scope" in everything and "calibration.weights" in everything
    order = [everything.index(p) for p in ("settings", "settings.gain", "calibration")]
    assert order == sorted(order)
    # hidden nodes are found by path
    assert reg.get("service.factory_key") == "7F3A-22C1"
    assert reg.put("service.debug_level", 3) == 3
    assert reg.tree("service") == ["service.debug_level", "service.factory_key"]
    assert "hidden" in reg.info("service")["flags"]

    node = reg.node("settings.gain")
    assert (node.path, node.name, node.type, node.size) == ("settings.gain", "gain", "Double", 1)
    assert node.flags == ["read", "write", "persistent"]
    children = reg.node("calibration").children()
    assert [c.name for c in children][:2] == ["channel_enabled", "offsets"]


def test_error_classes(reg: varnek.Registry, regd: RegdServer) -> None:
    with pytest.raises(varnek.NotFound) as missing:
        reg.get("settings.gian")
    assert str(missing.value) == "ireg: node not found: settings.gian"
    assert isinstance(missing.value, KeyError) and isinstance(missing.value, RuntimeError)
    with pytest.raises(KeyError):
        reg.info("no.such.node")
    with pytest.raises(varnek.AccessError, match="not writable: identity.serial"):
        reg.put("identity.serial", "X")
    with pytest.raises(varnek.AccessError, match="not writable: measurement.temperature"):
        reg.put("measurement.temperature", 1.0)
    with pytest.raises(varnek.AccessError, match="node is not readable: reset"):
        reg.get("reset")
    with pytest.raises(varnek.AccessError, match="has no value"):
        reg.get("settings")
    with pytest.raises(varnek.ConnectionError,
                       match="cannot connect to the app registry at 127.0.0.1:1$"):
        varnek.connect(port=1, timeout=5)
    with pytest.raises(varnek.Error, match="unknown registry root"):
        varnek.connect(port=regd.port, root="nowhere")
    with pytest.raises(varnek.Error, match="before the first connect"):
        varnek.init(["-ORBtraceLevel", "0"])
    # a closed registry refuses everything
    other = varnek.connect(port=regd.port)
    other.close()
    other.close()
    with pytest.raises(varnek.Error, match="is closed"):
        other.get("settings.gain")
    # the first registry goes on (the proxy is shared, the last one releases it)
    assert reg.get("settings.gain") == 1.0


def test_failing_nodes_and_timeouts() -> None:
    server = RegdServer(os.path.join(os.path.dirname(__file__), "hooks-tree.json"))
    server.start()
    try:
        with varnek.connect(port=server.port, timeout=1.0) as quick:
            assert quick.get("plain") == 1.5
            with pytest.raises(varnek.TimeoutError):
                quick.get("slow")
            with pytest.raises(varnek.AccessError, match="the device is busy"):
                quick.put("refusing", 5)
            with pytest.raises(varnek.ConnectionError, match="not accessible: broken"):
                quick.get("broken")
            many = quick.get_many(["plain", "broken", "gone"])
            assert many["plain"] == 1.5
            assert isinstance(many["broken"], varnek.ConnectionError)
            assert isinstance(many["gone"], varnek.NotFound)
            many = quick.get_many(["plain", "slow"])
            assert many["plain"] == 1.5
            assert isinstance(many["slow"], varnek.TimeoutError)
        with varnek.connect(port=server.port, timeout=30) as patient:
            # the slow read waits without the GIL: other threads go on meanwhile
            started = threading.Event()
            slow_result: list = []

            def read_slowly() -> None:
                started.set()
                slow_result.append(patient.get("slow"))

            reader = threading.Thread(target=read_slowly)
            reader.start()
            started.wait(30)
            time.sleep(0.5)  # a head start into the call (held GIL: no return before 4 s)
            assert patient.get("plain") == 1.5
            assert reader.is_alive() and slow_result == []
            reader.join(60)
            assert slow_result == [2.5]
    finally:
        server.stop()


def test_get_many_and_put_many_with_mixed_failures(reg: varnek.Registry) -> None:
    paths = ["settings.gain", "settings.gian", "calibration.offsets", "reset",
             "service.factory_key", "settings.mode"]
    got = reg.get_many(paths, pos=1, count=2)
    assert list(got) == paths
    assert got["settings.gain"] == 1.0  # scalars are read whole
    assert isinstance(got["settings.gian"], varnek.NotFound)
    assert got["calibration.offsets"].tolist() == [0, 7]
    assert isinstance(got["reset"], varnek.AccessError)
    assert got["service.factory_key"] == "7F3A-22C1"
    assert got["settings.mode"] == "normal"

    written = reg.put_many({"settings.gain": 5.0, "nothing.here": 1,
                            "calibration.offsets": np.array([8, 9], dtype=np.int32),
                            "identity.model": "X", "settings.label": "new"}, pos=2)
    assert written["settings.gain"] == 5.0
    assert isinstance(written["nothing.here"], varnek.NotFound)
    assert written["calibration.offsets"].tolist() == [-3, 0, 8, 9]
    assert isinstance(written["identity.model"], varnek.AccessError)
    assert written["settings.label"] == "new"
    assert reg.get_many([]) == {}


def test_eight_threads_read_at_once(reg: varnek.Registry) -> None:
    reg.put("calibration.coefficients", np.arange(1000, dtype=np.float64))
    expected = {"settings.gain": 1.0, "settings.mode": "normal", "identity.channels": 4}
    failures: list = []
    barrier = threading.Barrier(8)

    def reader(index: int) -> None:
        try:
            barrier.wait(30)
            for round_ in range(50):
                assert reg.get("calibration.coefficients")[999] == 999.0
                assert reg.get_many(list(expected)) == expected
                assert reg.get("settings.offset") == -12
        except BaseException as error:  # noqa: B902 - reported below
            failures.append((index, error))

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


def test_init_takes_orb_options_before_the_first_connect(regd: RegdServer) -> None:
    script = (
        "import sys, varnek\n"
        "varnek.init(['-ORBclientCallTimeOutPeriod', '20000'])\n"
        f"reg = varnek.connect(port={regd.port})\n"
        "print(reg.get('identity.serial'))\n"
        "try:\n"
        "    varnek.init([])\n"
        "except varnek.Error as e:\n"
        "    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "VX4410-00172", "varnek: init() must come before the first connect()"]
    bad = subprocess.run(
        [sys.executable, "-c", "import varnek; varnek.init(['-ORBnoSuchOption', '1'])"],
        capture_output=True, text=True, timeout=120)
    assert bad.returncode == 1 and "varnek.Error" in bad.stderr
