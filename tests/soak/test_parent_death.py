"""A parent daemon that dies part-way through a call, reduced from what the soak saw when it
killed the parent under load: the pool must be told the call failed (the 502 reply), never
handed a 200 with a reply that was cut off, while complete replies still pass."""

from __future__ import annotations

import os

import pytest

from framework.fake_daemon import FakeDaemon, RawReply
from framework.proxy import Proxy, default_binary, http_post, parent_entry, rpc_body
from soak_load import FAILURE_BODY, response_bytes

FULL_BODY = b'{"result":"abcdefghijklmnopqrstuvwxyz","error":null,"id":1}'
HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"


@pytest.fixture
def proxy_for(tmp_path):
    made = []

    def make(reply: RawReply):
        parent = FakeDaemon(lambda request: reply)
        proxy = Proxy({"parent": parent_entry(parent), "daemon_timeout_ms": 5000},
                      tmp_path / f"proxy{len(made)}", os.path.abspath(default_binary()))
        made.append((proxy, parent))
        return proxy.start()

    yield make
    for proxy, parent in made:
        proxy.stop()
        parent.stop()


@pytest.mark.parametrize("reply, error", [
    pytest.param(RawReply(b""), "ReadFailed", id="closes without a byte"),
    pytest.param(RawReply(b"HTTP/1.1 200 OK\r\nContent-Le"), "ReadFailed",
                 id="closes inside the header block"),
    pytest.param(RawReply(HEAD % len(FULL_BODY)), "ReadFailed", id="closes after the header block"),
    pytest.param(RawReply(HEAD % len(FULL_BODY) + FULL_BODY[:20]), "ReadFailed",
                 id="closes inside the body"),
    pytest.param(RawReply([HEAD % len(FULL_BODY) + FULL_BODY[:20], b""], then="reset", gap=0.2),
                 "ConnectionResetByPeer", id="resets inside the body"),
])
def test_unfinished_reply_is_a_failed_call(proxy_for, reply, error):
    proxy = proxy_for(reply)
    mark = proxy.mark()
    raw = proxy.post_raw(_request(), timeout=10)
    assert raw == response_bytes(502, FAILURE_BODY)
    line = proxy.wait_for_line("warning(http): HTTP handler error: ", since=mark)
    assert line == f"warning(http): HTTP handler error: error.{error}"


@pytest.mark.parametrize("reply", [
    pytest.param(RawReply(HEAD % len(FULL_BODY) + FULL_BODY), id="with Content-Length"),
    pytest.param(RawReply(b"HTTP/1.1 200 OK\r\n\r\n" + FULL_BODY), id="ended by the close"),
    pytest.param(RawReply(HEAD % 0), id="empty body announced"),
])
def test_finished_reply_passes(proxy_for, reply):
    # The other side of the case above: a reply that is complete goes through whole.
    proxy = proxy_for(reply)
    body = reply.data.partition(b"\r\n\r\n")[2]
    assert proxy.post_raw(_request(), timeout=10) == response_bytes(200, body)


def _request() -> bytes:
    return http_post(rpc_body("getblockcount"))
