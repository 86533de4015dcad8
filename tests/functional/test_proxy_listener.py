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


def free_port6() -> int:
    with socket.socket(socket.AF_INET6) as s:
        s.bind(("::1", 0))
        return s.getsockname()[1]


def exchange6(port: int, request: bytes) -> bytes:
    with socket.create_connection(("::1", port), timeout=5) as s:
        s.sendall(request)
        reply = b""
        while chunk := s.recv(65536):
            reply += chunk
        return reply


def test_ipv6_in_brackets_wherever_an_address_is_taken(fake_daemon, proxy_factory):
    answer = b'{"result":5,"error":null,"id":1}'
    parent = fake_daemon(lambda request: (200, answer), host="::1")
    aux = fake_daemon(lambda request: (200, b'{"result":null,"error":null,"id":1}'), host="::1")
    port, metrics_port = free_port6(), free_port6()
    proxy = proxy_factory({"parent": parent_entry(parent), "listen": f"[::1]:{port}",
                           "metrics_listen": f"[::1]:{metrics_port}", "aux_refresh_ms": 0,
                           "aux_chains": [{"chain_id": "c", "url": f"[::1]:{aux.port}"}]})
    for line in (f"info(skerrow): parent chain: [::1]:{parent.port}",
                 f"info(http): HTTP JSON-RPC proxy listening on [::1]:{port}",
                 f"info(skerrow): metrics listening on [::1]:{metrics_port}"):
        assert line in proxy.lines()
    assert not any("without listen_user" in line for line in proxy.lines())  # ::1 is loopback
    body = b'{"method":"getblockcount","params":[],"id":1}'
    reply = exchange6(port, b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
    assert reply.startswith(b"HTTP/1.1 200 ") and reply.endswith(answer + b"\n")
    assert parent.requests[-1].headers["Host"] == f"[::1]:{parent.port}"
    aux.wait_for_requests(1)  # the start-up fetch reached the aux daemon over IPv6
    assert exchange6(metrics_port, b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").startswith(
        b"HTTP/1.1 200 ")
