"""Four workers serve connections in arrival order; sixty-four more may wait, and the event
loop sheds anything beyond that at once."""

import socket
import threading
import time

from framework.proxy import http_post, parent_entry, parse_response, rpc_body


def send_request(port, body):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(http_post(body))
    return s


def read_reply(s):
    out = b""
    while chunk := s.recv(65536):
        out += chunk
    s.close()
    return out


def test_fifth_slow_request_waits_for_a_free_worker(fake_daemon, proxy_factory):
    def slow(req):
        time.sleep(1.0)
        return 200, b'{"result":%d}' % req.json()["id"]
    parent = fake_daemon(slow)
    proxy = proxy_factory({"parent": parent_entry(parent)})
    start = time.monotonic()
    sockets = []
    for i in range(1, 6):
        sockets.append(send_request(proxy.port, rpc_body("getblock", id=i)))
        time.sleep(0.05)   # a definite arrival order
    replies = [parse_response(read_reply(s)) for s in sockets]
    assert [r.body for r in replies] == [b'{"result":%d}\n' % i for i in range(1, 6)]
    arrivals = [(r.json()["id"], r.received_at - start) for r in parent.requests]
    assert [i for i, _ in arrivals] == [1, 2, 3, 4, 5]
    assert all(t < 0.8 for _, t in arrivals[:4])
    assert arrivals[4][1] >= 0.95          # only once the first worker came free


def test_queue_of_sixty_four_then_drop(fake_daemon, proxy_factory):
    release = threading.Event()

    def held(req):
        release.wait(30)
        return 200, b'{"result":"ok"}'
    parent = fake_daemon(held)
    proxy = proxy_factory({"parent": parent_entry(parent)})
    try:
        busy = [send_request(proxy.port, rpc_body("getblock", id=i)) for i in range(4)]
        parent.wait_for_requests(4)
        mark = proxy.mark()
        queued = [send_request(proxy.port, rpc_body("getblock", id=i)) for i in range(64)]
        dropped = send_request(proxy.port, rpc_body("getblock", id=99))
        dropped.settimeout(10)
        try:
            assert dropped.recv(100) == b""   # closed without a byte
        except ConnectionResetError:
            pass                            # the request bytes were left unread
        dropped.close()
        proxy.wait_for_line("warning(http): job queue full, dropping connection", since=mark)
        assert proxy.count_lines("job queue full", since=mark) == 1
    finally:
        release.set()
    for s in busy + queued:
        assert parse_response(read_reply(s))[::2] == (200, b'{"result":"ok"}\n')
    assert len(parent.requests) == 68


def test_connections_past_max_connections_are_closed_at_once_while_all_are_served(fake_daemon, proxy_factory):
    from framework.fake_aux import wait_count

    release = threading.Event()
    parent = fake_daemon(lambda req: (release.wait(10), (200, b'{"result":1}'))[1])
    proxy = proxy_factory({"parent": parent_entry(parent), "max_connections": 2, "workers": 1})
    # Both connections are being served (one with the worker, one in the queue): none of them
    # may be cut to make room, so new ones are closed at once. (Idle ones would make room: see
    # the hostile-clients tests.)
    busy = [send_request(proxy.port, rpc_body("getblockcount")) for _ in range(2)]
    parent.wait_for_requests(1)
    time.sleep(0.2)
    for _ in range(3):
        extra = socket.create_connection(("127.0.0.1", proxy.port), timeout=5)
        try:
            extra.sendall(http_post(rpc_body("getblockcount")))
            reply = read_reply(extra)
        except ConnectionResetError:  # closed with the request unread
            reply = b""
        assert reply == b""  # closed unanswered
    wait_count(proxy, "warning(http): max_connections (2) reached, closing new connections", 1)
    assert proxy.count_lines("max_connections (2) reached") == 1  # once a second at most
    release.set()
    assert [parse_response(read_reply(s)).status for s in busy] == [200, 200]
    assert proxy.rpc("getblockcount").status == 200  # room again once they are answered


def test_a_reply_still_being_written_is_not_reused_by_the_next_request(fake_daemon, proxy_factory):
    # Replies far larger than the socket buffers: the first is still being written when the
    # second, of the same size, is fetched into memory of its own. Memory given back before its
    # reply was out would be handed to the second and the first client would read its bytes.
    size = 3_900_000   # under the 4 MiB reply cap, over what the kernel buffers take at once

    def reply(req):
        fill = b"%d" % req.json()["id"]
        return 200, b'{"result":"' + fill * (size // len(fill)) + b'"}'
    parent = fake_daemon(reply)
    proxy = proxy_factory({"parent": parent_entry(parent)})
    first = socket.socket()
    first.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    first.connect(("127.0.0.1", proxy.port))
    first.settimeout(30)
    first.sendall(http_post(rpc_body("getblock", id=1)))
    assert first.recv(1)   # its reply has begun and stalls on the small buffer
    second = parse_response(read_reply(send_request(proxy.port, rpc_body("getblock", id=2))))
    assert second.body.count(b"2") == size
    rest = parse_response(b"H" + read_reply(first))
    assert rest.body == b'{"result":"' + b"1" * size + b'"}\n'
