"""A pool's JSON-RPC calls go to the parent daemon unchanged and its replies come back
unchanged, with the proxy's own status line; a parent that fails shows as a 502."""

import base64
import json
import re
import socket
import time

import pytest

from framework.fake_daemon import RawReply, http_reply
from framework.proxy import http_post, parent_entry, rpc_body

FAILURE_BODY = (b'{"result":null,"error":{"code":-1,"message":"upstream connection failed"},'
                b'"id":null}')


def response_bytes(status_line, body):
    return (status_line + "\r\nContent-Type: application/json\r\nContent-Length: "
            + str(len(body)) + "\r\nConnection: close\r\n\r\n").encode() + body


@pytest.mark.parametrize("user, password, auth_line", [
    ("rpcuser", "s3cret:x", b"Authorization: Basic " + base64.b64encode(b"rpcuser:s3cret:x") + b"\r\n"),
    (None, "ignored", b""),     # no user: no Authorization at all
])
def test_request_reaches_parent_byte_exact(fake_daemon, proxy_factory, user, password, auth_line):
    parent = fake_daemon(lambda req: (200, b'{"result":{"blocks":7},"error":null,"id":1}'))
    proxy = proxy_factory({"parent": parent_entry(parent, user, password)})
    body = rpc_body("getblockchaininfo")
    # The client's own credentials and headers are not forwarded.
    status, headers, reply = proxy.post(body, auth=("pool", "pw"), headers={"X-Pool": "1"})
    assert parent.wait_for_requests(1)[0].raw == (
        b"POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
        b"Content-Length: %d\r\n%sConnection: close\r\n\r\n%s"
        % (parent.port, len(body), auth_line, body))
    assert (status, reply) == (200, b'{"result":{"blocks":7},"error":null,"id":1}\n')
    assert headers["Content-Length"] == str(len(reply))


def test_reply_and_log_lines(fake_daemon, proxy_factory):
    reply = b'{"result":"00ff","error":null,"id":"x"}\n'   # already ends in a newline
    parent = fake_daemon(lambda req: (200, reply))
    proxy = proxy_factory({"parent": parent_entry(parent)})
    mark = proxy.mark()
    body = b'{"id":"x","method":"getbestblockhash","params":[]}'
    resp = proxy.post(body)
    assert resp.raw == response_bytes("HTTP/1.1 200 OK", reply)
    proxy.wait_for_line("response sent to client", since=mark)
    assert proxy.lines()[mark:] == [
        f"info(http): proxying {len(body)}-byte request to parent daemon",
        f"info(http): got {len(reply)}-byte response from parent, sending to client",
        "info(http): response sent to client",
    ]


def test_unknown_methods_and_non_json_are_forwarded_untouched(fake_daemon, proxy_factory):
    parent = fake_daemon(lambda req: (500, b'{"error":"parse"}'))
    proxy = proxy_factory({"parent": parent_entry(parent)})
    # Without aux chains getblocktemplate is a plain passthrough too.
    bodies = [b"not json at all", b'{"method":"GetBlockTemplate"}',
              rpc_body("getblocktemplate", [{"rules": ["segwit"]}])]
    for body in bodies:
        assert proxy.post(body)[::2] == (200, b'{"error":"parse"}\n')
    assert [r.body for r in parent.wait_for_requests(3)] == bodies


def test_parent_401_with_empty_body_becomes_200_newline(fake_daemon, proxy_factory):
    parent = fake_daemon(lambda req: (401, b""))
    proxy = proxy_factory({"parent": parent_entry(parent, "bad", "creds")})
    resp = proxy.rpc("getblockcount")
    assert resp.raw == response_bytes("HTTP/1.1 200 OK", b"\n")


def test_parent_down_gives_502(fake_daemon, proxy_factory):
    parent = fake_daemon()
    parent.stop()   # its port is now closed
    proxy = proxy_factory({"parent": parent_entry(parent)})
    mark = proxy.mark()
    resp = proxy.rpc("getblockcount")
    assert len(FAILURE_BODY) + 1 == 85
    assert resp.raw == response_bytes("HTTP/1.1 502 Bad Request", FAILURE_BODY + b"\n")
    proxy.wait_for_line("HTTP handler error", since=mark)
    assert proxy.lines()[mark:] == [
        f"info(http): proxying {len(rpc_body('getblockcount'))}-byte request to parent daemon",
        "warning(http): HTTP handler error: error.ConnectionRefused",
    ]


@pytest.mark.parametrize("reply, then, error", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + b'{"result":"abc', "reset",
     "ConnectionResetByPeer"),
    # One byte short of its length, then an orderly close: a cut template is no success.
    (http_reply(200, b'{"result":"abc"}')[:-1], "close", "ReadFailed"),
])
def test_parent_breaking_off_mid_reply_is_a_failed_call(fake_daemon, proxy_factory, reply, then,
                                                        error):
    parent = fake_daemon(lambda req: RawReply([reply, b""], then=then, gap=0.2))
    proxy = proxy_factory({"parent": parent_entry(parent)})
    mark = proxy.mark()
    resp = proxy.rpc("getblock")
    assert resp.raw == response_bytes("HTTP/1.1 502 Bad Request", FAILURE_BODY + b"\n")
    proxy.wait_for_line("HTTP handler error", since=mark)
    assert proxy.lines()[mark:] == [
        f"info(http): proxying {len(rpc_body('getblock'))}-byte request to parent daemon",
        f"warning(http): HTTP handler error: error.{error}",
    ]


def test_parent_that_never_answers_is_bounded_by_daemon_timeout(fake_daemon, proxy_factory):
    parent = fake_daemon(lambda req: RawReply(then="hang"))
    proxy = proxy_factory({"parent": parent_entry(parent), "daemon_timeout_ms": 400})
    mark = proxy.mark()
    start = time.monotonic()
    resp = proxy.rpc("getblockcount", timeout=20)
    assert resp.status == 502 and resp.body == FAILURE_BODY + b"\n"
    assert 0.3 < time.monotonic() - start < 10
    proxy.wait_for_line("warning(http): HTTP handler error: error.ConnectionTimedOut", since=mark)


def test_client_gone_before_reply_is_logged_and_proxy_goes_on(fake_daemon, proxy_factory):
    big = json.dumps({"result": "f" * 2_000_000, "error": None, "id": 1}).encode()
    parent = fake_daemon(lambda req: RawReply(http_reply(200, big), delay=0.5))
    proxy = proxy_factory({"parent": parent_entry(parent)})
    mark = proxy.mark()
    with socket.create_connection(("127.0.0.1", proxy.port)) as s:
        s.sendall(b"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}")
    line = proxy.wait_for_line("HTTP handler error", since=mark)
    # Which name depends on whether the kernel took some of the reply before it learnt that
    # the client was gone.
    assert re.fullmatch(r"warning\(http\): HTTP handler error: "
                        r"error\.(BrokenPipe|ConnectionResetByPeer|ResponseCutOff)", line)
    assert "response sent to client" not in proxy.lines()[mark:]
    # SIGPIPE did not end the process: the next call is served.
    parent.handler = lambda req: (200, b"{}")
    assert proxy.rpc("getblockcount")[::2] == (200, b"{}\n")


def test_reply_cut_off_mid_body_is_the_last_thing_sent(fake_daemon, proxy_factory):
    limit = 0.5
    # As long as a parent reply may be: far more than the sockets between proxy and client
    # hold, so a client that stops reading leaves the reply stuck part-way.
    big = b'{"result":"' + b"f" * 4_190_000 + b'"}'
    parent = fake_daemon(lambda req: (200, big))
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": int(limit * 1000)})
    whole = response_bytes("HTTP/1.1 200 OK", big + b"\n")
    mark = proxy.mark()
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(10)
        s.connect(("127.0.0.1", proxy.port))
        s.sendall(http_post(rpc_body("getblock")))
        # Not a byte read until the reply's time has run out; then everything, to the close.
        line = proxy.wait_for_line("HTTP handler error", since=mark, timeout=10)
        got = b""
        try:
            while chunk := s.recv(65536):
                got += chunk
        except ConnectionResetError:
            pass
    if got == whole:
        pytest.skip("the whole reply fit into this machine's socket buffers")
    assert len(got) < len(whole) and whole.startswith(got), got[-200:]
    assert line == "warning(http): HTTP handler error: error.ResponseCutOff"
    assert proxy.lines()[mark:] == [
        f"info(http): proxying {len(rpc_body('getblock'))}-byte request to parent daemon",
        f"info(http): got {len(big)}-byte response from parent, sending to client",
        line,
    ]
