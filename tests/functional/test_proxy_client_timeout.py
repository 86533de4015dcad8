"""The client time limit ("client_timeout_ms"). A connection has that long, counted from the
moment it was accepted, to deliver its request: time spent waiting for a worker counts, and a
client that keeps sending a byte now and then gets no more. A request that arrived whole in
time is answered however long the proxy itself took."""

import select
import socket
import threading
import time

from framework.fake_daemon import json_result
from framework.proxy import exchange, http_post, parent_entry, parse_response, rpc_body

WORKERS = 4


def closed_without_a_byte(s: socket.socket, timeout: float) -> float | None:
    """Seconds until the proxy ended the connection, or None when it did not within `timeout`.
    Fails on any byte received."""
    began = time.monotonic()
    while time.monotonic() - began < timeout:
        ready, _, _ = select.select([s], [], [], 0.05)
        if not ready:
            continue
        try:
            data = s.recv(100)
        except ConnectionResetError:
            data = b""
        assert data == b"", f"the proxy wrote to a connection it should close silently: {data!r}"
        return time.monotonic() - began
    return None


def test_trickling_client_is_cut_off_at_the_deadline(proxy_factory, fake_daemon):
    limit = 0.6
    parent = fake_daemon()
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": int(limit * 1000)})
    mark = proxy.mark()
    start = b"POST / HTTP/1.1\r\nX-Slow: "
    sent = 0
    outcome = b"still open"
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as s:
        began = time.monotonic()
        # One byte every 50 ms, never the blank line: far inside any limit on a single read.
        while time.monotonic() - began < limit + 4.0:
            try:
                s.sendall(start[sent:sent + 1] or b"a")
            except OSError:      # reset or broken pipe: the proxy has closed
                outcome = b""
                break
            sent += 1
            ready, _, _ = select.select([s], [], [], 0.05)
            if ready:
                try:
                    outcome = s.recv(100)
                except ConnectionResetError:
                    outcome = b""
                break
        ended = time.monotonic() - began
    assert outcome == b""
    assert sent >= 5
    assert limit - 0.1 <= ended <= limit + 1.0, ended
    # Not even a partial header block: nothing to answer, nothing to log, nothing passed on.
    time.sleep(0.2)
    assert proxy.lines()[mark:] == []
    assert parent.requests == []


def test_idle_connections_waiting_for_a_worker_expire_counted_from_accept(proxy_factory, fake_daemon):
    limit = 1.0
    parent = fake_daemon()
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": int(limit * 1000)})
    mark = proxy.mark()
    queued = 3 * WORKERS
    idle = []
    try:
        began = time.monotonic()
        for _ in range(WORKERS + queued):
            idle.append(socket.create_connection(("127.0.0.1", proxy.port), timeout=10))
        # Behind every idle connection: counted from a worker taking it, each batch of four
        # would wait out a limit of its own and this request would wait four of them.
        raw = exchange(proxy.port, http_post(rpc_body("getblockcount")), timeout=15)
        served = time.monotonic() - began
        assert parse_response(raw).status == 200
        assert served <= limit + 0.8, served
        for s in idle:
            waited = closed_without_a_byte(s, timeout=3.0)
            assert waited is not None, "an idle connection was left open"
    finally:
        for s in idle:
            s.close()
    assert proxy.count_lines("HTTP handler error", since=mark) == 0


def test_request_that_arrived_in_time_is_answered_after_slow_work(proxy_factory, fake_daemon):
    limit = 0.4
    daemon_time = 1.0

    def slow(request):
        time.sleep(daemon_time)
        return 200, json_result(request.json()["id"], request)

    parent = fake_daemon(slow)
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": int(limit * 1000)})
    replies = {}

    def client(n: int):
        replies[n] = exchange(proxy.port, http_post(rpc_body("getblockcount", id=n)), timeout=15)

    # Four take the workers for longer than the limit; the fifth sends its request at once
    # and then waits in the queue past its own deadline.
    threads = [threading.Thread(target=client, args=(n,)) for n in range(WORKERS + 1)]
    for t in threads[:WORKERS]:
        t.start()
    time.sleep(0.2)
    threads[-1].start()
    for t in threads:
        t.join(15)
    assert sorted(replies) == list(range(WORKERS + 1))
    for n, raw in replies.items():
        response = parse_response(raw)
        assert response.status == 200
        assert response.json()["result"] == n


def test_zero_means_no_limit(proxy_factory, fake_daemon):
    parent = fake_daemon()
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": 0})
    body = rpc_body("getblockcount")
    request = http_post(body)
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as s:
        s.sendall(request[:-len(body)])
        time.sleep(1.0)      # a limit read as "none left" would have cut the body off
        s.sendall(body)
        raw = b""
        while chunk := s.recv(65536):
            raw += chunk
    assert parse_response(raw).status == 200
    assert parent.wait_for_requests(1)[0].body == body


def test_a_large_reply_taken_slowly_has_its_own_time_and_leaves_nothing_behind(proxy_factory, fake_daemon):
    # The parent answers late and the client takes its 3.9 MB reply through a small window:
    # accept to the last byte is longer than the limit, the reply's own time is not. The reply
    # is written over many rounds of the loop; once it is out, nothing of the connection may
    # be left to go off at its old deadline.
    limit = 1.0
    size = 3_900_000
    parent = fake_daemon(lambda req: (time.sleep(0.6), (200, b'{"result":"' + b"x" * size + b'"}'))[1])
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": int(limit * 1000)})
    began = time.monotonic()
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", proxy.port))
        s.settimeout(10)
        s.sendall(http_post(rpc_body("getblock")))
        received = bytearray()
        while chunk := s.recv(65536):
            received += chunk
            time.sleep(0.002)  # a slow reader: the reply takes several tenths of a second
    took = time.monotonic() - began
    reply = parse_response(bytes(received))
    assert reply.status == 200 and len(reply.body) == size + len(b'{"result":""}') + 1
    assert took > limit, f"the reply came too fast ({took:.2f}s) to show the limit counted from accept"
    time.sleep(limit + 0.3)  # past every deadline the connection ever had
    assert proxy.rpc("getblockcount").status == 200
    assert proxy.returncode is None
