"""The package over TLS: varnek.init(tls_ca=..., tls_key=...) reaches a
regd that serves TLS only, with certificates made for the test by
tests/support/make_test_pki.sh. This module's process runs the library
with TLS throughout (the library starts once per process)."""

from __future__ import annotations

import pathlib
import subprocess
import tempfile
from typing import Iterator

import pytest

import varnek
from conftest import SOURCE_DIR, RegdServer

PKI_SCRIPT = SOURCE_DIR / "tests" / "support" / "make_test_pki.sh"


@pytest.fixture(scope="module")
def pki() -> Iterator[pathlib.Path]:
    with tempfile.TemporaryDirectory(prefix="varnek-pki-") as folder:
        subprocess.run([str(PKI_SCRIPT), folder], check=True, capture_output=True)
        yield pathlib.Path(folder)


def test_tls_settings_are_checked_before_the_library_starts(pki: pathlib.Path) -> None:
    with pytest.raises(ValueError, match="go together"):
        varnek.init(tls_ca=str(pki / "ca.pem"))
    with pytest.raises(varnek.Error, match="missing.pem"):
        varnek.init(tls_ca=str(pki / "ca.pem"), tls_key=str(pki / "missing.pem"))


def test_reads_writes_and_monitors_over_tls(pki: pathlib.Path) -> None:
    server = RegdServer(args=["--tls-ca", str(pki / "ca.pem"), "--tls-key",
                              str(pki / "server.pem"), "--writers", "operator-*"])
    server.start()
    try:
        varnek.init(tls_ca=str(pki / "ca.pem"), tls_key=str(pki / "operator.pem"))
        with varnek.connect("127.0.0.1", port=server.port, timeout=10) as reg:
            assert reg.get("settings.gain") == 1.0
            with reg.monitor("settings.gain", timeout=1) as changes:
                assert reg.put("settings.gain", 2.5) == 2.5
                assert [change.value for change in changes] == [2.5]
            assert reg.get("settings.gain") == 2.5
        with pytest.raises(varnek.Error):
            varnek.init(tls_ca=str(pki / "ca.pem"), tls_key=str(pki / "reader.pem"))
    finally:
        assert server.stop() == 0
