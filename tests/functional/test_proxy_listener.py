"""The front end's start: the listening socket, its log lines, and the ways it can fail."""

import socket

import pytest

from framework.fake_daemon import free_port
from framework.proxy import parent_entry


def config(parent, listen):
    return {"parent": parent_entry(parent), "listen": listen}


def test_start_lines_in_order(fake_daemon, proxy_factory):
    parent = fake_daemon()
    port = free_port()
    proxy = proxy_factory(config(parent, f"127.0.0.1:{port}"))
    assert proxy.lines() == [
        "info(skerrow): skerrow 0.2.0 starting",
        f"info(skerrow): parent chain: 127.0.0.1:{parent.port}",
        "info(skerrow): aux chains: 0 configured",
        f"info(skerrow): listen: 127.0.0.1:{port}",
        f"info(http): HTTP JSON-RPC proxy listening on 127.0.0.1:{port}",
        "info(http): worker pool: 4 threads started",
        "info(http): kqueue event loop started (workers=4, aux_chains=0)",
    ]


@pytest.mark.parametrize("template, shown", [
    ("0.0.0.0:{port}", "0.0.0.0:{port}"),
    ("http://127.0.0.1:{port}", "127.0.0.1:{port}"),   # the scheme is dropped
])
def test_accepted_listen_texts(fake_daemon, proxy_factory, template, shown):
    parent = fake_daemon(lambda req: (200, b"{}"))
    port = free_port()
    proxy = proxy_factory(config(parent, template.format(port=port)))
    assert f"info(http): HTTP JSON-RPC proxy listening on {shown.format(port=port)}" in proxy.lines()
    assert proxy.rpc("getblockcount")[::2] == (200, b"{}\n")


def expect_failure(proxy_factory, parent, listen, *lines):
    proxy = proxy_factory(config(parent, listen), wait=False)
    assert proxy.wait_exit(10) == 1
    assert proxy.lines()[3:] == [f"info(skerrow): listen: {listen}", *lines]


def test_host_name_is_refused(fake_daemon, proxy_factory):
    expect_failure(proxy_factory, fake_daemon(), "localhost:8399",
                   "error(skerrow): HTTP proxy server failed: error.InvalidCharacter")


def test_port_in_use(fake_daemon, proxy_factory):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        expect_failure(proxy_factory, fake_daemon(), f"127.0.0.1:{port}",
                       "error(skerrow): HTTP proxy server failed: error.AddressInUse")


@pytest.mark.parametrize("listen", ["127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:http"])
def test_unreadable_listen_address(fake_daemon, proxy_factory, listen):
    expect_failure(proxy_factory, fake_daemon(), listen,
                   f"error(http): invalid listen address: {listen}",
                   "error(skerrow): HTTP proxy server failed: error.InvalidListenAddress")
