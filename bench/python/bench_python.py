#!/usr/bin/python3
"""bench_python: the Python package against the C++ library on one regd.

Starts regd with the bench tree below on a free port (run it inside the
loopback-only namespace, as ./dev.sh bench does), then alternates runs of
the C++ side (bench_python_peer) and of the same cases through the
``varnek`` package, and prints the medians side by side with the ratio
Python / C++ for rates and C++ / Python for times (1.00: as fast as C++,
smaller: slower) against the goals:

    scalar get and put latency       within 1.3x of C++ (ratio >= 0.77)
    1 Mi-double array get, MB/s      >= 0.8 of C++
    notifications into a callback    >= 0.9 of C++
    push stream into numpy, MB/s     (reported)

    bench_python.py --build BUILD_DIR [--alternations N] [--quick]

Single-threaded apart from the library's dispatcher and ORB threads.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Dict, List

TREE = {
    "name": "bench", "flags": ["read"],
    "children": [
        {"name": "scalar", "type": "Double", "value": 1.5, "flags": ["read", "write"]},
        {"name": "array", "type": "Double", "value": [], "flags": ["read", "write", "array"]},
        {"name": "stream", "flags": ["read", "signal"],
         "signal": {"access": "push", "element": "double", "components": ["x"],
                    "group_size": 65536, "block_rate_hz": 0,
                    "generator": {"kind": "ramp", "step": 1, "period": 1000}}},
    ],
}

CASES = [
    # key, label, unit, higher is better, goal (ratio)
    ("get_us", "scalar get (double)", "us/call", False, 1 / 1.3),
    ("put_us", "scalar put (double)", "us/call", False, 1 / 1.3),
    ("array_mbs", "get of 1 Mi doubles", "MB/s", True, 0.8),
    ("notify_rate", "notifications into a callback", "1/s", True, 0.9),
    ("stream_mbs", "push stream, 64 Ki doubles per block", "MB/s", True, None),
]


def start_regd(regd: str, folder: str) -> "tuple[subprocess.Popen[bytes], int]":
    tree = pathlib.Path(folder) / "bench.json"
    tree.write_text(json.dumps(TREE))
    port_file = pathlib.Path(folder) / "port"
    process = subprocess.Popen([regd, "--tree", str(tree), "--port", "0", "--port-file",
                                str(port_file)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        text = port_file.read_text() if port_file.exists() else ""
        if text.endswith("\n"):
            return process, int(text)
        if process.poll() is not None:
            break
        time.sleep(0.02)
    process.kill()
    raise SystemExit("bench_python: regd did not start")


def python_round(reg, counts: Dict[str, int], out: Dict[str, List[float]]) -> None:
    calls = counts["calls"]
    start = time.perf_counter()
    for _ in range(calls):
        reg.get("scalar")
    out["get_us"].append((time.perf_counter() - start) * 1e6 / calls)
    start = time.perf_counter()
    for i in range(calls):
        reg.put("scalar", 0.5 * i)
    out["put_us"].append((time.perf_counter() - start) * 1e6 / calls)

    size = 0
    start = time.perf_counter()
    for _ in range(counts["arrays"]):
        size += reg.get("array").nbytes
    out["array_mbs"].append(size / 1e6 / (time.perf_counter() - start))

    wanted = counts["notifications"]
    seen = [0]
    done = threading.Event()

    def count(change) -> None:
        change.value  # noqa: B018 - the value is converted, as a user reads it
        seen[0] += 1
        if seen[0] == wanted:
            done.set()

    with reg.subscribe("regd.stress.counter", count):
        start = time.perf_counter()
        reg.put("regd.stress.emit", wanted)
        if not done.wait(300):
            raise SystemExit("bench_python: notifications missing")
        out["notify_rate"].append(wanted / (time.perf_counter() - start))

    with reg.stream("stream", timeout=10) as stream:
        next(stream)
        size = 0
        start = time.perf_counter()
        for _ in range(counts["blocks"]):
            size += next(stream).data.nbytes
        out["stream_mbs"].append(size / 1e6 / (time.perf_counter() - start))


def main() -> int:
    parser = argparse.ArgumentParser(description="the Python package against the C++ library")
    default_build = pathlib.Path(__file__).resolve().parents[2] / "build"
    parser.add_argument("--build", default=str(default_build))
    parser.add_argument("--alternations", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="tiny counts (smoke test)")
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    sys.path.insert(0, str(build / "python"))
    import numpy as np
    import varnek

    counts = {"calls": 2000, "arrays": 10, "notifications": 20000, "blocks": 200}
    alternations = args.alternations
    if args.quick:
        counts = {"calls": 20, "arrays": 1, "notifications": 100, "blocks": 3}
        alternations = 1

    with tempfile.TemporaryDirectory(prefix="bench-python-") as folder:
        regd, port = start_regd(str(build / "tools" / "regd" / "regd"), folder)
        try:
            reg = varnek.connect(port=port, timeout=60)
            reg.put("array", np.arange(1 << 20, dtype=np.float64))
            cpp: Dict[str, List[float]] = {c[0]: [] for c in CASES}
            py: Dict[str, List[float]] = {c[0]: [] for c in CASES}
            for _ in range(alternations):
                peer = subprocess.run(
                    [str(build / "bench" / "python" / "bench_python_peer"), "--port", str(port),
                     "--rounds", "1", "--calls", str(counts["calls"]),
                     "--arrays", str(counts["arrays"]),
                     "--notifications", str(counts["notifications"]),
                     "--blocks", str(counts["blocks"])],
                    capture_output=True, text=True, timeout=600)
                if peer.returncode != 0:
                    raise SystemExit("bench_python: " + peer.stderr.strip())
                for line in peer.stdout.splitlines():
                    key, value = line.split()
                    cpp[key].append(float(value))
                python_round(reg, counts, py)
            reg.close()
        finally:
            regd.terminate()
            regd.wait(30)

    print(f"{'case':40} {'unit':8} {'C++':>10} {'Python':>10} {'ratio':>6} {'goal':>6}")
    failed = []
    for key, label, unit, higher, goal in CASES:
        c, p = statistics.median(cpp[key]), statistics.median(py[key])
        ratio = p / c if higher else c / p
        mark = "" if goal is None else f">={goal:.2f}"
        print(f"{label:40} {unit:8} {c:10.2f} {p:10.2f} {ratio:6.2f} {mark:>6}")
        if goal is not None and ratio < goal:
            failed.append(label)
    if failed and not args.quick:
        print("below goal: " + ", ".join(failed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
