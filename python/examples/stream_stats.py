#!/usr/bin/python3
"""Reads blocks of a push signal and plots them with matplotlib when it is
installed, else prints per-component statistics of every block:

    PYTHONPATH=build/python python/examples/stream_stats.py --port 5679 -n 20

The blocks are read on the main thread.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import varnek


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--signal", default="signals.scope")
    parser.add_argument("-n", "--blocks", type=int, default=10)
    parser.add_argument("--text", action="store_true", help="statistics even with matplotlib")
    args = parser.parse_args()
    try:
        import matplotlib.pyplot as plt  # optional
    except ImportError:
        plt = None

    try:
        with varnek.connect(args.host, args.port, timeout=10) as reg:
            blocks = []
            for block in reg.stream(args.signal, blocks=args.blocks, timeout=10):
                blocks.append(block)
                if plt is None or args.text:
                    stats = "  ".join(
                        f"c{c} min {col.min():.4g} max {col.max():.4g} mean {col.mean():.4g}"
                        for c, col in enumerate(block.data.T))
                    print(f"block {block.meta.get('sequence', '?')}  atoms {block.atoms}  {stats}")
    except varnek.Error as error:
        print(error, file=sys.stderr)
        return 1
    if plt is not None and not args.text and blocks:
        data = np.concatenate([b.data for b in blocks])
        plt.plot(data)
        plt.title(f"{args.signal}: {len(blocks)} blocks")
        plt.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
