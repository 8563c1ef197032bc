"""Signals from Python: the blocks of a push stream as numpy arrays with
their meta-data, data-on-demand reads, and the stream's life (closing the
iterator closes the stream at the server)."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import varnek
from conftest import wait_until


def test_hundred_blocks_of_a_push_stream(reg: varnek.Registry) -> None:
    blocks = list(reg.stream("signals.scope", blocks=100, timeout=30))
    assert len(blocks) == 100
    for block in blocks:
        assert isinstance(block, varnek.Block)
        assert block.data.shape == (64, 2) and block.data.dtype == np.float64
        assert (block.atoms, block.components) == (64, 2)
        assert set(block.meta) == {"timestamp", "sequence", "position"}
    sequences = [b.meta["sequence"] for b in blocks]
    assert sequences == list(range(sequences[0], sequences[0] + 100))
    positions = [b.meta["position"] for b in blocks]
    assert positions == [s * 64 for s in sequences]
    stamps = [b.meta["timestamp"] for b in blocks]
    assert stamps == sorted(stamps) and stamps[0] > 1_600_000_000 * 10 ** 9
    # the generator's sine and cosine, atom by atom (period 256 atoms)
    index = np.arange(positions[0], positions[0] + 64)
    np.testing.assert_allclose(blocks[0].data[:, 0], np.sin(2 * np.pi * index / 256), atol=1e-9)
    np.testing.assert_allclose(blocks[0].data[:, 1], np.cos(2 * np.pi * index / 256), atol=1e-9)
    # the stream was closed with the iterator: the server dropped the receiver
    assert wait_until(lambda: reg.get("regd.receivers") == 0)


def test_stream_life(reg: varnek.Registry) -> None:
    with reg.stream("signals.scope", timeout=30) as stream:
        assert next(stream).data.shape == (64, 2)
        assert reg.get("regd.receivers") == 1
    assert wait_until(lambda: reg.get("regd.receivers") == 0)
    assert list(stream) == []  # closed: the iteration ends

    # closed from another thread while a read waits (no block limit)
    stream = reg.stream("signals.scope")
    got = []

    def read() -> None:
        for block in stream:
            got.append(block)

    reader = threading.Thread(target=read)
    reader.start()
    assert wait_until(lambda: len(got) >= 2)
    stream.close()
    reader.join(30)
    assert not reader.is_alive()
    assert wait_until(lambda: reg.get("regd.receivers") == 0)

    with pytest.raises(varnek.AccessError, match="read on demand"):
        reg.stream("signals.history")
    with pytest.raises(varnek.NotFound):
        reg.stream("signals.nothing")
    with pytest.raises(varnek.AccessError, match="no usable remote signal"):
        reg.stream("settings.gain")


def test_data_on_demand_reads(reg: varnek.Registry) -> None:
    block = reg.read_signal("signals.history", 1000, 100)
    assert block.data.shape == (100, 1) and block.data.dtype == np.float32
    assert block.meta["position"] == 1000
    assert np.all(np.abs(block.data - 21.5) <= 0.5)
    # the data is a function of the position: overlapping reads agree
    again = reg.read_signal("signals.history", 1050, 10)
    np.testing.assert_array_equal(again.data, block.data[50:60])
    # the end of the signal (length 100000)
    tail = reg.read_signal("signals.history", 99_990, 100)
    assert tail.data.shape == (10, 1)
    with pytest.raises(varnek.Error, match="no data at position 100000"):
        reg.read_signal("signals.history", 100_000, 10)
    with pytest.raises(varnek.AccessError, match="push stream"):
        reg.read_signal("signals.scope", 0, 10)
