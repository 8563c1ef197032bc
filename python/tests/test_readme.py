"""The "From Python" example of README.md, run as written against the demo
registry on its default port (5679; CTest keeps the tests that use the
default ports apart), and the scripts of python/examples/."""

from __future__ import annotations

import os
import re
import subprocess
import sys

from conftest import SOURCE_DIR, RegdServer


def readme_example() -> str:
    text = (SOURCE_DIR / "README.md").read_text()
    section = text.split("## From Python", 1)[1].split("\n## ", 1)[0]
    # the indented block that imports the package
    for block in re.findall(r"((?:\n(?: {4}.*|))+)", section):
        if "import varnek" in block:
            lines = [line[4:] for line in block.strip("\n").split("\n")]
            return "\n".join(lines) + "\n"
    raise AssertionError("no example in the From Python section")


def test_readme_example_runs_as_written() -> None:
    code = readme_example()
    assert 'varnek.connect("127.0.0.1", port=5679' in code
    server = RegdServer()
    server.port = 5679
    server.start()
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120, env=dict(os.environ))
        examples = SOURCE_DIR / "python" / "examples"
        monitor = subprocess.run(
            [sys.executable, str(examples / "read_write_monitor.py"), "--seconds", "1"],
            capture_output=True, text=True, timeout=120, env=dict(os.environ))
        stats = subprocess.run(
            [sys.executable, str(examples / "stream_stats.py"), "-n", "3", "--text"],
            capture_output=True, text=True, timeout=120, env=dict(os.environ))
    finally:
        server.stop()
    assert monitor.returncode == 0, monitor.stderr
    assert monitor.stdout.splitlines()[:2] == ["settings.gain: Double read write persistent",
                                               "value   1.0"]
    assert [line.split()[-1] for line in monitor.stdout.splitlines()[2:4]] == ["2.0", "1.0"]
    assert stats.returncode == 0, stats.stderr
    assert [line.split()[:4] for line in stats.stdout.splitlines()] == [
        ["block", str(n), "atoms", "64"] for n in range(3)]
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:3] == ["1.0", "[-3  0  7  2]", "2.5"]
    assert lines[3] == ('"turbo" is not a value of settings.mode; '
                        "allowed: normal, fast, precise, standby")
    assert lines[4] == ("{'settings.mode': 'normal', "
                        "'settings.gian': NotFound('ireg: node not found: settings.gian')}")
    assert lines[5] == "[1.0]"
    assert lines[6:8] == ["(64, 2) 0", "(64, 2) 1"]
    assert abs(float(lines[8]) - 21.5) < 0.5
    assert len(lines) == 9
