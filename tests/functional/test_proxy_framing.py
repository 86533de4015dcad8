"""How the proxy reads a pool's HTTP request: the header block ends at the first blank line,
Content-Length says how long to wait, and a request is forwarded whole or not at all: bodies up
to 32 MiB arrive byte for byte, a larger one is refused with 413, and one the client never
finished reaches no daemon."""

import os
import socket
import time

import pytest

from framework.proxy import parent_entry

EMPTY_BODY_REPLY = (b"HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\n"
                    b"Content-Length: 23\r\nConnection: close\r\n\r\n"
                    b'{"error":"empty body"}\n')
TOO_LARGE_BODY = b'{"result":null,"error":{"code":-32600,"message":"request too large"},"id":null}\n'
TOO_LARGE_REPLY = (b"HTTP/1.1 413 Bad Request\r\nContent-Type: application/json\r\n"
                   b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(TOO_LARGE_BODY)
                   + TOO_LARGE_BODY)
MiB = 1 << 20


@pytest.fixture
def setup(fake_daemon, proxy_factory):
    parent = fake_daemon(lambda req: (200, b'{"result":1}'))
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": 1500})
    return parent, proxy


def talk(proxy, pieces, pause=0.2, half_close=False, timeout=10):
    """Sends the pieces with pauses between them and reads the reply until close."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=timeout) as s:
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(pause)
            s.sendall(piece)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        out = b""
        while chunk := s.recv(65536):
            out += chunk
        return out


BODY = b'{"method":"getblockcount","params":[],"id":1}'


@pytest.mark.parametrize("length_line", [b"", b"Content-Length: 0\r\n", b"Content-Length: -0\r\n",
                                         b"Content-Length: 5x\r\n"])
@pytest.mark.parametrize("verb", [b"POST", b"GET"])
def test_headers_without_usable_length_end_the_request(setup, length_line, verb):
    parent, proxy = setup
    # The body follows later and is never read: the request ended with its header block.
    head = verb + b" / HTTP/1.1\r\nHost: x\r\n" + length_line + b"\r\n"
    assert talk(proxy, [head, BODY]) == EMPTY_BODY_REPLY
    assert parent.requests == []


@pytest.mark.parametrize("body", [
    BODY,
    # A blank line of the other form inside the body is body: the headers ended before it.
    b'{"method":"getblockcount",\r\n\r\n"params":[],"id":1}',
])
def test_bare_line_feed_request(setup, body):
    parent, proxy = setup
    request = b"POST / HTTP/1.1\nHost: x\ncontent-LENGTH:\t+%d \n\n" % len(body) + body
    assert proxy.post_raw(request).endswith(b'{"result":1}\n')
    assert parent.wait_for_requests(1)[0].body == body


def submitblock(size: int) -> bytes:
    """A submitblock body of exactly `size` bytes, random hex, so a chunk out of place shows."""
    head, tail = b'{"method":"submitblock","params":["', b'"],"id":1}'
    fill = size - len(head) - len(tail)
    return head + os.urandom(fill // 2 + 1).hex().encode()[:fill] + tail


@pytest.mark.parametrize("size", [256 * 1024 + 1, MiB, 8 * MiB, 32 * MiB])
def test_bodies_up_to_32_mib_reach_the_parent_byte_for_byte(setup, size):
    parent, proxy = setup
    # The second body is read into the buffers the first one left for reuse, full of its bytes.
    bodies = [submitblock(size), submitblock(size)]
    for body in bodies:
        assert proxy.post(body, timeout=60)[::2] == (200, b'{"result":1}\n')
    got = [request.body for request in parent.wait_for_requests(2)]
    assert [len(b) for b in got] == [size, size] and got == bodies


def test_too_large_or_unfinished_requests_reach_no_daemon(setup):
    parent, proxy = setup
    mark = proxy.mark()
    # Refused from the header block alone, before a byte of the body is taken.
    head = b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (32 * MiB + 1)
    assert talk(proxy, [head + BODY]) == TOO_LARGE_REPLY
    start = b"POST / HTTP/1.1\r\nX: "
    assert talk(proxy, [start + b"a" * (64 * 1024 - len(start))]) == TOO_LARGE_REPLY
    # Cut short by the client's close, or by the client time limit (1.5 s here).
    cut = b"POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + BODY
    assert talk(proxy, [cut], half_close=True) == b""
    assert talk(proxy, [cut]) == b""
    for line in [f"warning(http): request too large: Content-Length {32 * MiB + 1} is over {32 * MiB} bytes",
                 "warning(http): request too large: no end of the header block within 65536 bytes",
                 f"warning(http): unfinished request not forwarded: {len(BODY)} of 1000 body bytes "
                 "arrived before the client closed",
                 f"warning(http): unfinished request not forwarded: {len(BODY)} of 1000 body bytes "
                 "arrived before client_timeout_ms"]:
        proxy.wait_for_line(line, since=mark)
    assert parent.requests == []


def test_client_that_closes_at_once_costs_nothing(setup):
    parent, proxy = setup
    mark = proxy.mark()
    for _ in range(3):
        socket.create_connection(("127.0.0.1", proxy.port)).close()
    # A served request afterwards proves the workers went through those Jobs silently.
    assert proxy.rpc("getblockcount")[::2] == (200, b'{"result":1}\n')
    proxy.wait_for_line("response sent to client", since=mark)
    assert [l for l in proxy.lines()[mark:] if "proxying" not in l and "got " not in l] == [
        "info(http): response sent to client"]
    assert len(parent.requests) == 1


def test_silent_clients_do_not_hold_the_workers(setup):
    parent, proxy = setup
    mark = proxy.mark()
    idle = [socket.create_connection(("127.0.0.1", proxy.port)) for _ in range(4)]
    try:
        start = time.monotonic()
        # More silent clients than workers: none of them holds one, so the request is
        # answered at once; each of them is closed at its time-out, not before.
        assert proxy.rpc("getblockcount", timeout=10)[::2] == (200, b'{"result":1}\n')
        assert time.monotonic() - start < 1.0
        for s in idle:
            s.settimeout(5)
            assert s.recv(100) == b""     # closed without a byte
        assert 1.2 < time.monotonic() - start < 8
    finally:
        for s in idle:
            s.close()
    assert not any("error" in line for line in proxy.lines()[mark:])
