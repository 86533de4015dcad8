"""Slow and hostile clients cost the proxy a descriptor and their own bytes, never a worker: a
crowd that stalls mid-header, guesses passwords or announces huge bodies without credentials, or
a client that stops reading a template, leaves the pool's own calls at the speed they have alone."""

import asyncio
import os
import resource
import select
import socket
import threading
import time

import pytest

from framework.fake_aux import aux_chain_entry, fake_aux, parent_template, random_txids  # noqa: F401
from framework.fake_daemon import json_result
from framework.process import open_fds, reset_peak, sanitized, status_kb
from framework.proxy import http_post, parent_entry, rpc_body

USER, PASSWORD = "pool", "s3cret"
STALLED = 1000
GUESSERS = 200
RSS_BOUND_KB = 32 * 1024  # the README's bound for the proxy's peak RSS
SLACK = 0.1               # what the crowd may add to one of the pool's calls
# Memory the proxy may use beyond the crowd's request buffers: each connection's own state
# (about 1.2 KiB measured) and, once, what its allocator and the pool's calls take meanwhile.
CONNECTION_KB, SLACK_KB = 2, 1024
WRONG_PASSWORD = http_post(rpc_body("getblockcount"), auth=(USER, "guess"))
# No credentials, the largest body a request may announce, and 128 KiB of it at once: twice
# what such a client may make the proxy hold, so a proxy that read bodies before the
# credentials would show it. The rest trickles.
ANNOUNCING = http_post(b"").replace(b"Content-Length: 0", b"Content-Length: %d" % (32 << 20)) + b"[" * (128 << 10)
# About 4 MB: far more than the sockets between proxy and client hold.
BIG_TEMPLATE = parent_template(random_txids(4000), tx_data="00" * 400)


def timed(call):
    """(seconds, (status, body)) of one call; a failure shows as its text in place of the answer."""
    began = time.monotonic()
    try:
        answer = call()[::2]
    except (OSError, ValueError) as exc:  # closed unanswered, reset, timed out
        answer = repr(exc)
    return time.monotonic() - began, answer


def paced_calls(proxy, n=20, gap=0.1):
    """The pool's passthrough calls, one every `gap` seconds or so."""
    calls = []
    for i in range(n):
        calls.append(timed(lambda: proxy.rpc("getblockcount", id=i, auth=(USER, PASSWORD), timeout=5)))
        time.sleep(gap)
    return calls


class Client(asyncio.Protocol):
    """A crowd client's connection: keeps what arrives even when a reset follows it (a stream
    reader would drop it)."""

    def __init__(self):
        self.received = b""
        self.closed = asyncio.get_running_loop().create_future()

    def data_received(self, data):
        self.received += data

    def connection_lost(self, exc):
        self.closed.set_result(None)


@pytest.fixture
def many_descriptors():
    """A soft descriptor limit with room for the crowd, in this process and so in a proxy
    started from it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = STALLED + GUESSERS + 512
    if hard != resource.RLIM_INFINITY and hard < want:
        pytest.skip(f"the hard descriptor limit ({hard}) leaves no room for {want}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


class Crowd:
    """On a thread of its own: `stalled` connections that send half a header block and stall,
    then GUESSERS clients that send `request`, read the refusal and come back; with `trickle`
    they send four more bytes every 50 to 100 ms until it comes."""

    def __init__(self, port: int, stalled: int, request: bytes, trickle: bool):
        self.port = port
        self.want_stalled, self.request, self.trickle = stalled, request, trickle
        self.stalled = 0   # stalled connections made
        self.refused = 0   # 401 answers the guessers read
        self.closed = 0    # connections closed or reset before any answer
        self.other = []    # the first lines of any other answer
        self.ready = threading.Event()
        self._open = set()  # the guessers' transports
        self._loop = asyncio.new_event_loop()
        self._stop = asyncio.Event()
        self._thread = threading.Thread(target=self._loop.run_until_complete, args=(self._main(),),
                                        daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(30)
        if not self._thread.is_alive():
            self._loop.close()
        elif exc[0] is None:
            raise AssertionError("the crowd did not go home")

    async def _main(self):
        request = http_post(rpc_body("getblockcount"), auth=(USER, PASSWORD))
        half = request[:request.find(b"\r\n\r\n") // 2]
        writers = []
        # In rounds the listen backlog can take, so no connect waits for a SYN to be resent.
        for _ in range(self.want_stalled // 100):
            made = await asyncio.gather(*(asyncio.open_connection("127.0.0.1", self.port)
                                          for _ in range(100)), return_exceptions=True)
            for pair in made:
                if not isinstance(pair, BaseException):
                    pair[1].write(half)
                    writers.append(pair[1])
        self.stalled = len(writers)
        guessers = [asyncio.create_task(self._guess(0.05 + 0.05 * i / GUESSERS)) for i in range(GUESSERS)]
        self.ready.set()
        await self._stop.wait()
        for transport in list(self._open):
            transport.abort()
        await asyncio.wait(guessers, timeout=10)
        for writer in writers:
            writer.close()

    async def _guess(self, gap):
        while not self._stop.is_set():
            client = None
            try:
                transport, client = await asyncio.get_running_loop().create_connection(
                    Client, "127.0.0.1", self.port)
                self._open.add(transport)
                try:
                    transport.write(self.request)
                    while not (await asyncio.wait([client.closed], timeout=gap))[0]:
                        if self.trickle:
                            transport.write(b"[[[[")
                finally:
                    self._open.discard(transport)
                    transport.close()
            except OSError:
                pass
            reply = client.received if client else b""
            if reply.startswith(b"HTTP/1.1 401 "):
                self.refused += 1
            elif not self._stop.is_set():
                if reply:
                    self.other.append(reply.split(b"\r\n", 1)[0])
                else:
                    self.closed += 1
                await asyncio.sleep(0.05)  # a proxy that sheds them must not make this spin


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


@pytest.mark.parametrize("stalled, crowd_request, trickle", [
    (STALLED, WRONG_PASSWORD, False),
    (0, ANNOUNCING, True),
], ids=["stalled_and_guessing", "announcing_32_MiB_bodies"])
def test_crowds_hold_no_worker_and_no_more_than_their_buffers(proxy_factory, fake_daemon, many_descriptors,
                                                              stalled, crowd_request, trickle):
    parent = fake_daemon(lambda request: (200, json_result(7, request)))
    proxy = proxy_factory({"parent": parent_entry(parent), "listen_user": USER, "listen_pass": PASSWORD,
                           "max_connections": 2048})  # room for the whole crowd
    pid = proxy.process.pid
    # One refusal before the count starts, so whatever the first one sets up is in it.
    assert timed(lambda: proxy.rpc("getblockcount", auth=(USER, "guess")))[1][0] == 401
    expected = [(200, b'{"result":7,"error":null,"id":%d}\n' % i) for i in range(20)]
    alone = paced_calls(proxy)
    assert [answer for _, answer in alone] == expected
    bound = max(took for took, _ in alone) + SLACK
    start_fds = open_fds(pid)
    idle_kb = status_kb(pid, "VmRSS")
    reset_peak(pid)

    with Crowd(proxy.port, stalled, crowd_request, trickle) as crowd:
        assert crowd.ready.wait(60), "the stalled connections could not all be made"
        wait_until(lambda: crowd.refused >= GUESSERS, 10)  # every guesser at it
        refused_before = crowd.refused
        attacked = paced_calls(proxy)
        refused_meanwhile = crowd.refused - refused_before
        held = open_fds(pid) - start_fds
        peak_kb = status_kb(pid, "VmHWM")
    late = [(f"{took:.3f}s", answer) for (took, answer), want in zip(attacked, expected)
            if took > bound or answer != want]
    assert not late, f"bound {bound:.3f}s; the pool's calls that missed it: {late}"
    # The crowd was really there: the stalled connections held by the proxy, the guessers refused
    # (or cut off by a reset), none of them answered otherwise, none of them forwarded.
    assert crowd.stalled == stalled and held >= stalled, (crowd.stalled, held)
    assert refused_meanwhile >= GUESSERS and not crowd.other, (refused_meanwhile, crowd.closed, crowd.other[:5])
    assert [r.body for r in parent.requests] == [rpc_body("getblockcount", id=i) for i in range(20)] * 2
    if not sanitized(pid):
        # The README's bounds: a stalled half header has the first 4 KiB buffer, a client
        # without the credentials at most 64 KiB.
        allowed_kb = stalled * (4 + CONNECTION_KB) + GUESSERS * (64 + CONNECTION_KB) + SLACK_KB
        print(f"RSS idle {idle_kb} kB, peak {peak_kb} kB: {peak_kb - idle_kb} kB of {allowed_kb} allowed")
        assert peak_kb <= RSS_BOUND_KB and peak_kb - idle_kb <= allowed_kb, (idle_kb, peak_kb, allowed_kb)
    assert wait_until(lambda: open_fds(pid) == start_fds, 5), (open_fds(pid), start_fds)


def holds_connection(pid, proxy_port, client_port) -> bool:
    """Whether process `pid` still has a descriptor for its end of the connection from
    `client_port` (which it has accepted)."""
    local, remote = f"0100007F:{proxy_port:04X}", f"0100007F:{client_port:04X}"
    with open("/proc/net/tcp") as table:
        ends = {f"socket:[{f[9]}]" for f in (line.split() for line in table) if f[1:3] == [local, remote]}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") in ends:
                return True
        except FileNotFoundError:  # closed meanwhile
            pass
    return False


def test_a_client_that_never_reads_its_template_holds_only_its_connection(proxy_factory, fake_daemon, fake_aux):
    limit = 2.0
    aux = fake_aux(1)
    parent = fake_daemon(lambda request: (200, BIG_TEMPLATE) if request.method == "getblocktemplate"
                         else (200, json_result(7, request)))
    # One worker: a reply that kept its worker while it drains would keep every other call waiting.
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("c", aux)],
                           "client_timeout_ms": int(limit * 1000), "workers": 1})
    calls = {"template": lambda: proxy.rpc("getblocktemplate", timeout=10),
             "passthrough": lambda: proxy.rpc("getblockcount", timeout=10)}
    wanted = {"template": lambda a: a[0] == 200 and b'"aux_chains":[{"chain_id":"c"' in a[1],
              "passthrough": lambda a: a == (200, b'{"result":7,"error":null,"id":1}\n')}
    bound = {}
    for kind, call in calls.items():
        alone = [timed(call) for _ in range(3)]
        assert all(wanted[kind](answer) for _, answer in alone), kind
        # Generous, as a sanitizer's template is slow and its time noisy: a worker or a loop
        # held by the stalled reply costs the whole limit.
        bound[kind] = 3 * max(took for took, _ in alone) + SLACK

    with socket.socket() as stalled:
        # A small window, so the reply cannot vanish into the kernel's buffers.
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.connect(("127.0.0.1", proxy.port))
        stalled.sendall(http_post(rpc_body("getblocktemplate")))
        assert select.select([stalled], [], [], 10)[0], "the reply never began"
        began = time.monotonic()
        port = stalled.getsockname()[1]
        # The close is looked for between the calls, on this thread: a watching thread would
        # wait for the interpreter while this one takes apart megabytes of templates.
        served = {kind: [] for kind in calls}
        cut = None
        while cut is None and time.monotonic() < began + limit + 5:
            for kind, call in calls.items():
                served[kind].append(timed(call))
                if not holds_connection(proxy.process.pid, proxy.port, port):
                    cut = time.monotonic()
                    break
        stalled.settimeout(5)
        received = b""
        try:
            while chunk := stalled.recv(1 << 20):
                received += chunk
        except ConnectionResetError:
            pass

    assert cut, "the proxy kept the stalled connection open"
    # The limit counts from the reply's first byte; the close is seen at most one call late.
    late = max(took for answers in served.values() for took, _ in answers) + 0.1
    assert limit - 0.05 <= cut - began <= limit + late, (cut - began, late)
    assert received.startswith(b"HTTP/1.1 200 ") and len(received) < len(BIG_TEMPLATE), len(received)
    for kind, answers in served.items():
        late = [(f"{took:.3f}s", str(answer)[:80]) for took, answer in answers
                if took > bound[kind] or not wanted[kind](answer)]
        assert not late, f"{kind}: bound {bound[kind]:.3f}s; missed by {late}"
        assert len(answers) >= 2, (kind, len(answers))


def test_idle_connections_at_the_limit_never_lock_the_pool_out(proxy_factory, fake_daemon, many_descriptors):
    parent = fake_daemon(lambda request: (200, json_result(7, request)))
    proxy = proxy_factory({"parent": parent_entry(parent), "listen_user": USER, "listen_pass": PASSWORD})
    pid = proxy.process.pid
    expected = [(200, b'{"result":7,"error":null,"id":%d}\n' % i) for i in range(20)]
    alone = paced_calls(proxy)
    assert [answer for _, answer in alone] == expected
    bound = max(took for took, _ in alone) + SLACK
    start_fds = open_fds(pid)
    idle = []
    try:
        # One client holds the default max_connections (1024), sending nothing; in rounds the
        # listen backlog takes.
        for _ in range(1024 // 128):
            idle += [socket.create_connection(("127.0.0.1", proxy.port)) for _ in range(128)]
            wait_until(lambda: open_fds(pid) - start_fds >= len(idle), 5)
        assert open_fds(pid) - start_fds == 1024
        mark = proxy.mark()
        attacked = paced_calls(proxy)
    finally:
        for s in idle:
            s.close()
    late = [(f"{took:.3f}s", answer) for (took, answer), want in zip(attacked, expected)
            if took > bound or answer != want]
    assert not late, f"bound {bound:.3f}s; the pool's calls that missed it: {late}"
    proxy.wait_for_line("warning(http): max_connections (1024) reached, closing the connection that has been "
                        "sending its request the longest", since=mark)
