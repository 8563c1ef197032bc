#!/usr/bin/python3
"""Reads, writes and monitors nodes of a registry (the demo tree's paths by
default):

    PYTHONPATH=build/python python/examples/read_write_monitor.py --port 5679

Single-threaded apart from the library's dispatcher thread, which only
feeds the monitor's queue.
"""

from __future__ import annotations

import argparse
import sys

import varnek


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: the root's default port")
    parser.add_argument("--root", default="app", choices=["app", "platform"])
    parser.add_argument("--path", default="settings.gain", help="a writable numeric node")
    parser.add_argument("--seconds", type=float, default=2.0, help="how long to monitor")
    args = parser.parse_args()

    try:
        with varnek.connect(args.host, args.port, args.root, timeout=10) as reg:
            info = reg.info(args.path)
            print(f"{args.path}: {info['type']} {' '.join(info['flags'])}")
            before = reg.get(args.path)
            print(f"value   {before}")
            with reg.monitor(args.path, timeout=args.seconds) as changes:
                reg.put(args.path, before * 2)
                reg.put(args.path, before)
                for change in changes:
                    print(f"changed {change.time:%H:%M:%S.%f} {change.value}")
            for path, value in reg.get_many(reg.tree(args.path.rsplit(".", 1)[0])).items():
                print(f"{path:32} {value}")
    except varnek.Error as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
