"""One proxy under sustained passthrough load, then under faults while the load goes on.

The tests run in file order against the same proxy process, so every fault phase also shows
that the process came through the phases before it. SOAK_REQUESTS sets the size of the long
passthrough run (20,000 by default; the full soak is 200,000).
"""

from __future__ import annotations

import errno
import os
import random
import selectors
import socket
import threading
import time
from types import SimpleNamespace

import pytest

from framework.fake_aux import aux_chain_entry, parent_template, random_txids, wait_exact
from framework.fake_daemon import FakeDaemon, RawReply
from framework.proxy import Proxy, default_binary, http_post, parent_entry, rpc_body
from soak_daemon import FastDaemon, build
from soak_load import (Load, fd_count, one_request, response_bytes, rss_kb,
                       sanitizer_runtime, wait_fd_count)

TOTAL = int(os.environ.get("SOAK_REQUESTS", "20000"))
CLIENTS = 16
# Growth allowed between the early reading and the end of the long run.
RSS_GROWTH_KB = 2048
DAEMON_TIMEOUT = 0.5
AUX_WAIT = 0.5  # the default aux_wait_ms
CLIENT_TIMEOUT = 0.5
WORKERS = 4
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:")

# Served for every call, passthrough and getblocktemplate alike: a real template, so the
# getblocktemplate branch gets as far as the aux refresh.
PARENT_REPLY = parent_template(random_txids(3))
OK = response_bytes(200, PARENT_REPLY)
EMPTY_BODY_400 = response_bytes(400, b'{"error":"empty body"}')
TOO_LARGE_413 = response_bytes(
    413, b'{"result":null,"error":{"code":-32600,"message":"request too large"},"id":null}')
BODY = rpc_body("getblockchaininfo")
STUCK_CHAIN = "stuck"


def passthrough_request(port: int) -> bytes:
    return http_post(BODY, host_header=f"127.0.0.1:{port}")


@pytest.fixture(scope="module")
def rig(tmp_path_factory, figures):
    binary = os.path.abspath(default_binary())
    if not os.access(binary, os.X_OK):
        pytest.fail(f"skerrow binary not found at {binary}; build it or set SKERROW_BIN")
    work = tmp_path_factory.mktemp("soak")
    parent = FastDaemon(build(work), work, PARENT_REPLY).start()
    # Accepts, reads the request and never answers.
    stuck = FakeDaemon(lambda request: RawReply(then="hang"))
    proxy = Proxy({"parent": parent_entry(parent),
                   "aux_chains": [aux_chain_entry(STUCK_CHAIN, stuck)],
                   "daemon_timeout_ms": int(DAEMON_TIMEOUT * 1000),
                   "client_timeout_ms": int(CLIENT_TIMEOUT * 1000)},
                  work / "proxy", binary)
    try:
        proxy.start()
        pid = proxy.process.pid
        rig = SimpleNamespace(proxy=proxy, parent=parent, stuck=stuck, pid=pid, port=proxy.port,
                              request=passthrough_request(proxy.port), fd_start=fd_count(pid),
                              sanitizer=sanitizer_runtime(pid), figures=figures)
        figures["set-up"] = {"binary": binary, "sanitizer": rig.sanitizer or "none",
                             "descriptors at start": rig.fd_start, "rss_kb at start": rss_kb(pid)}
        yield rig
    finally:
        proxy.stop()
        parent.kill()
        stuck.stop()


def handler_errors(proxy, since: int) -> list[str]:
    return [line for line in proxy.lines()[since:] if "HTTP handler error" in line]


def wait_log_count(proxy, pattern: str, n: int, since: int, timeout: float = 30.0) -> int:
    """Log lines reach us through a pipe after the replies do, so counts are awaited."""
    deadline = time.monotonic() + timeout
    while True:
        count = proxy.count_lines(pattern, since=since)
        if count >= n or time.monotonic() > deadline:
            return count
        time.sleep(0.05)


def test_long_passthrough_run_keeps_memory_and_descriptors_flat(rig):
    proxy = rig.proxy
    early_at = min(10_000, max(1, TOTAL // 10))
    mark = proxy.mark()
    early = {}

    def sample(done):
        if "rss" not in early and done >= early_at:
            early.update(rss=rss_kb(rig.pid), at=done)
        return proxy.returncode is None

    load = Load(rig.port, rig.request, OK, clients=CLIENTS, total=TOTAL)
    load.start().run_until(TOTAL, timeout=TOTAL / 100 + 120, on_progress=sample)
    rss_end = rss_kb(rig.pid)
    fds_end = wait_fd_count(rig.pid, rig.fd_start, timeout=5)
    rig.figures["passthrough run"] = {
        "requests": TOTAL, "clients": CLIENTS, "replies": dict(load.counts),
        "requests/s": round(load.rate), "seconds": round(load.ended_at - load.started_at, 1),
        f"rss_kb after {early.get('at')}": early.get("rss"), "rss_kb at end": rss_end,
        "descriptors at end": fds_end}

    assert proxy.returncode is None, "the proxy died under load"
    assert dict(load.counts) == {"ok": TOTAL}, load.samples
    assert fds_end == rig.fd_start
    assert "rss" in early
    if rig.sanitizer is None:
        # A sanitizer's allocator holds freed memory back on purpose, so growth means nothing there.
        assert rss_end - early["rss"] <= RSS_GROWTH_KB, (early, rss_end)
    assert wait_log_count(proxy, "info(http): response sent to client", TOTAL, mark) == TOTAL
    assert handler_errors(proxy, mark) == []


def test_hanging_aux_daemon_holds_neither_templates_nor_passthrough(rig):
    proxy = rig.proxy
    mark = proxy.mark()
    load = Load(rig.port, rig.request, OK, clients=8, record=True).start()
    try:
        time.sleep(0.5)
        # The aux template is fetched off the request path; a template waits at most
        # aux_wait_ms for the start-up fetch and never for the daemon's time-out again.
        began = time.monotonic()
        raw = one_request(rig.port, http_post(rpc_body("getblocktemplate")), timeout=30)
        ended = time.monotonic()
        time.sleep(0.3)
    finally:
        load.stop()
        load.join(30)
    elapsed = ended - began
    meanwhile = [e for e in load.events if e[0] >= began and e[1] <= ended]
    rig.figures["hanging aux daemon"] = {
        "rss_kb after": rss_kb(rig.pid),
        "getblocktemplate seconds": round(elapsed, 3), "daemon time-out": DAEMON_TIMEOUT,
        "passthrough answered meanwhile": len(meanwhile),
        "slowest of those, s": round(max((e[1] - e[0] for e in meanwhile), default=0), 3),
        "replies": dict(load.counts)}

    # No chain holds a template, so the pool gets the parent's template unchanged.
    assert raw == OK
    assert elapsed <= AUX_WAIT + 1.0
    wait_exact(proxy, f"warning(auxpow): failed to get aux template for {STUCK_CHAIN}: "
                      "error.ConnectionTimedOut")
    assert rig.stuck.requests
    assert {r.body for r in rig.stuck.requests} == {b'{"method":"getauxblock","params":[]}'}
    assert set(load.counts) == {"ok"}, load.samples
    assert handler_errors(proxy, mark) == []


def test_parent_killed_and_restarted_during_load(rig):
    proxy = rig.proxy
    mark = proxy.mark()
    load = Load(rig.port, rig.request, OK, clients=CLIENTS, record=True).start()
    try:
        time.sleep(1.0)
        killing = time.monotonic()
        rig.parent.kill()
        dead = time.monotonic()
        time.sleep(1.5)
        restarting = time.monotonic()
        rig.parent.start()
        up = time.monotonic()
        time.sleep(1.5)
    finally:
        load.stop()
        load.join(30)
    events = load.events
    before = [v for s, e, v in events if e <= killing]
    down = [v for s, e, v in events if s >= dead and e <= restarting]
    after = [v for s, e, v in events if s >= up]
    rig.figures["parent killed and restarted"] = {
        "rss_kb after": rss_kb(rig.pid),
        "replies": dict(load.counts), "down for, s": round(restarting - dead, 2),
        "502 while down": down.count("502"), "requests after restart": len(after)}

    assert before and set(before) == {"ok"}
    assert down and set(down) == {"502"}
    assert after and set(after) == {"ok"}
    # A call caught by the kill itself fails like one made while the parent is down: the pool
    # is never handed a cut-off reply as a success.
    assert set(load.counts) <= {"ok", "502"}, load.samples
    failed = load.counts["502"]
    assert wait_log_count(proxy, "HTTP handler error", failed, mark) == failed
    refused = proxy.count_lines("warning(http): HTTP handler error: error.ConnectionRefused", since=mark)
    assert refused >= len(down)
    assert proxy.returncode is None


def test_idle_connections_are_closed_silently_and_service_resumes(rig):
    proxy = rig.proxy
    mark = proxy.mark()
    count = 200
    idle = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", rig.port))
            idle.append(s)
        opened = time.monotonic()
        # At most the four workers and the 64 queue slots can hold idle connections, and each
        # only until one client time-out after it was accepted, wherever it waits; the event
        # loop sheds the rest at once.
        bound = CLIENT_TIMEOUT + 5.0

        served_after = None
        shed_probes = 0
        while served_after is None and time.monotonic() - opened < bound:
            try:
                raw = one_request(rig.port, rig.request, timeout=bound)
            except ConnectionResetError:
                raw = b""   # shed: closed with our request unread
            if raw == OK:
                served_after = time.monotonic() - opened
            else:
                assert raw == b"", f"unexpected reply while idle connections wait: {raw[:200]!r}"
                shed_probes += 1
                time.sleep(0.05)

        # Every idle connection must end without a byte from the proxy.
        sel = selectors.DefaultSelector()
        for s in idle:
            sel.register(s, selectors.EVENT_READ)
        endings = {"closed": 0, "reset": 0, "data": 0}
        last_closed = None
        while sel.get_map() and time.monotonic() - opened < bound + 5:
            for key, _ in sel.select(timeout=0.5):
                try:
                    data = key.fileobj.recv(1)
                    endings["closed" if data == b"" else "data"] += 1
                except ConnectionResetError:
                    endings["reset"] += 1
                sel.unregister(key.fileobj)
                last_closed = time.monotonic() - opened
        still_open = len(sel.get_map())
        sel.close()
    finally:
        for s in idle:
            s.close()
    fds_end = wait_fd_count(rig.pid, rig.fd_start, timeout=5)
    rig.figures["idle connections"] = {
        "rss_kb after": rss_kb(rig.pid),
        "opened": count, "client time-out": CLIENT_TIMEOUT,
        "served again after, s": None if served_after is None else round(served_after, 2),
        "probes shed before that": shed_probes, "endings": endings,
        "last idle closed after, s": None if last_closed is None else round(last_closed, 2),
        "shed by the event loop": proxy.count_lines("job queue full", since=mark),
        "descriptors after": fds_end}

    assert proxy.returncode is None
    assert served_after is not None, f"no passthrough served within {bound}s"
    assert still_open == 0 and endings["data"] == 0
    assert fds_end == rig.fd_start
    # A client that never sent a byte is closed without a reply and without a log line.
    assert handler_errors(proxy, mark) == []
    assert one_request(rig.port, rig.request, timeout=10) == OK
    # Had the time-out started only when a worker took a connection, the idle ones waiting in
    # the queue would use theirs up four at a time, one after another.
    assert served_after <= CLIENT_TIMEOUT + 2.0, served_after


# -- garbage --------------------------------------------------------------------------------------

def _junk(rng: random.Random, low: int, high: int) -> bytes:
    # Without a line feed there can be no blank line, hence no header block.
    return rng.randbytes(rng.randint(low, high)).replace(b"\n", b".")


def _head(port: int, *lines: str) -> bytes:
    return ("\r\n".join(["POST / HTTP/1.1", f"Host: 127.0.0.1:{port}", *lines]) + "\r\n\r\n").encode()


def garbage_cases(port: int):
    """(name, weight, make(rng) -> (bytes, close our sending side after them), expected reply)."""
    full = passthrough_request(port)
    head_end = full.index(b"\r\n\r\n")
    return [
        ("random bytes", 10, lambda rng: (_junk(rng, 1, 4000), True), b""),
        ("random bytes, then silence", 1, lambda rng: (_junk(rng, 1, 200), False), b""),
        ("random bytes filling the header limit", 1, lambda rng: (_junk(rng, 65_536, 65_536), True), TOO_LARGE_413),
        ("nothing at all", 4, lambda rng: (b"", True), b""),
        ("header block cut short", 10, lambda rng: (full[:rng.randint(1, head_end + 3)], True), b""),
        ("no body", 6, lambda rng: (_head(port, "Content-Length: 0"), False), EMPTY_BODY_400),
        ("no body, bare line feeds", 3, lambda rng: (b"GET / HTTP/1.0\n\n", False), EMPTY_BODY_400),
        ("Content-Length past the request limit", 3,
         lambda rng: (_head(port, "Content-Length: 18446744073709551615") + BODY, True), TOO_LARGE_413),
        ("Content-Length beyond the body, sender closes", 3,
         lambda rng: (_head(port, "Content-Length: 1000") + BODY, True), b""),
        ("Content-Length past 64 bits", 6,
         lambda rng: (_head(port, "Content-Length: 18446744073709551616") + BODY, False), OK),
        ("Content-Length far beyond the body, sender goes quiet", 1,
         lambda rng: (_head(port, "Content-Length: 1000000") + BODY, False), b""),
        ("body that is not JSON", 6,
         lambda rng: (lambda junk: (_head(port, f"Content-Length: {len(junk)}") + junk, False))(
             _junk(rng, 1, 3000)), OK),
    ]


def garbage_exchange(port: int, data: bytes, half_close: bool, timeout: float = 15.0) -> bytes:
    """Like a client that sends junk: a reset or a refused write ends the exchange with
    whatever had arrived, since the proxy may stop reading a request it will not answer."""
    chunks = []
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            if data:
                s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
            while chunk := s.recv(65536):
                chunks.append(chunk)
        except OSError as exc:
            # Reset, or refused at the write or the shutdown: the proxy has gone away.
            if exc.errno not in (errno.ECONNRESET, errno.EPIPE, errno.ENOTCONN):
                raise
    return b"".join(chunks)


def test_garbage_mixed_into_load_gets_its_outcome(rig):
    proxy = rig.proxy
    mark = proxy.mark()
    cases = garbage_cases(rig.port)
    weights = [c[1] for c in cases]
    n_garbage = max(200, TOTAL // 100)
    mismatches = []
    tally = {c[0]: 0 for c in cases}
    lock = threading.Lock()

    def sender(seed: int, n: int):
        rng = random.Random(seed)
        for _ in range(n):
            name, _, make, expected = rng.choices(cases, weights)[0]
            data, half_close = make(rng)
            try:
                got = garbage_exchange(rig.port, data, half_close)
            except OSError as exc:
                got = f"error:{exc!r}".encode()
            with lock:
                tally[name] += 1
                if got != expected:
                    mismatches.append((name, data[:120], got[:300]))

    load = Load(rig.port, rig.request, OK, clients=8).start()
    senders = [threading.Thread(target=sender, args=(seed, n_garbage // 4), daemon=True)
               for seed in range(4)]
    try:
        for t in senders:
            t.start()
        for t in senders:
            t.join(n_garbage * 2 + 60)
    finally:
        load.stop()
        load.join(30)
    rig.figures["garbage mixed into load"] = {
        "rss_kb after": rss_kb(rig.pid),
        "garbage requests": sum(tally.values()), "by kind": tally,
        "mismatches": len(mismatches), "load replies": dict(load.counts)}

    assert not any(t.is_alive() for t in senders), "garbage senders did not finish in time"
    assert [(name, got) for name, _, got in mismatches] == []
    assert set(load.counts) == {"ok"}, load.samples
    assert proxy.returncode is None
    assert handler_errors(proxy, mark) == []


def test_proxy_is_whole_at_the_end(rig):
    proxy = rig.proxy
    assert proxy.returncode is None
    assert one_request(rig.port, rig.request, timeout=10) == OK
    fds = wait_fd_count(rig.pid, rig.fd_start, timeout=5)
    rig.figures["end"] = {"rss_kb": rss_kb(rig.pid), "descriptors": fds,
                          "log lines": len(proxy.lines())}
    assert fds == rig.fd_start
    lines = proxy.lines()
    assert [l for l in lines if any(m in l for m in SANITIZER_MARKS)] == []
    assert [l for l in lines if l.startswith("error(")] == []
