"""Fixtures shared by every functional test: the binary under test, fake daemons and proxies,
all stopped at the end of the test that made them."""

import os
import pathlib

import pytest

from framework.fake_daemon import FakeDaemon
from framework.proxy import Proxy, default_binary


SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:")


@pytest.fixture(scope="session")
def skerrow_bin() -> str:
    path = os.path.abspath(default_binary())
    if not os.access(path, os.X_OK):
        pytest.fail(f"skerrow binary not found at {path}; build it or set SKERROW_BIN")
    return path


@pytest.fixture
def fake_daemon():
    """Factory: fake_daemon(handler=None, **kw) -> a running FakeDaemon."""
    made = []

    def make(handler=None, **kw):
        daemon = FakeDaemon(handler, **kw)
        made.append(daemon)
        return daemon

    yield make
    for daemon in made:
        daemon.stop()


@pytest.fixture
def proxy_factory(skerrow_bin, tmp_path: pathlib.Path):
    """Factory: proxy_factory(config, start=True, wait=True, **start_kw) -> a Proxy whose
    configuration lives in its own folder under tmp_path."""
    made = []

    def make(config, start=True, wait=True, binary=None, **start_kw):
        proxy = Proxy(config, tmp_path / f"proxy{len(made) + 1}", binary or skerrow_bin)
        made.append(proxy)
        if start:
            proxy.start(wait=wait, **start_kw)
        return proxy

    yield make
    reports = []
    for proxy in made:
        proxy.stop()
        reports += [line for line in proxy.lines() if any(m in line for m in SANITIZER_MARKS)]
    # A sanitizer build reports memory and undefined-behaviour faults on stderr without
    # necessarily failing the request that hit them.
    assert not reports, "sanitizer report in the proxy's output:\n" + "\n".join(reports)
