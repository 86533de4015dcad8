"""Load clients for the soak, and what the soak reads about the proxy process from /proc.

Each client is its own process (so sixteen of them really run side by side, not one at a time
under one interpreter lock) doing one raw-socket POST per connection, as a pool does. Every
reply is judged byte for byte and classified:

  "ok"          status 200 and exactly the parent's reply plus the proxy's line feed
  "502"         the proxy's "upstream connection failed" reply, exactly
  "no reply"    the connection ended without a single byte
  "200 truncated" status 200 with only a leading part of the parent's reply (maybe none of it)
  "<status> other" / "200 wrong body" / "unparsable"   anything else the proxy sent
  "error:<exception>"  the client's own failure (refused, reset before any byte, time-out)
"""

from __future__ import annotations

import collections
import multiprocessing
import os
import queue
import socket
import time

FAILURE_BODY = (b'{"result":null,"error":{"code":-1,"message":"upstream connection failed"},'
                b'"id":null}\n')


def response_bytes(status: int, body: bytes) -> bytes:
    """The exact bytes the proxy writes for `body` (a line feed is added unless present)."""
    if not body.endswith(b"\n"):
        body += b"\n"
    reason = b"OK" if status == 200 else b"Bad Request"
    return (b"HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            b"Connection: close\r\n\r\n" % (status, reason, len(body))) + body


def classify(raw: bytes, expected_ok: bytes, expected_502: bytes) -> str:
    if raw == expected_ok:
        return "ok"
    if raw == expected_502:
        return "502"
    if not raw:
        return "no reply"
    head, sep, _ = raw.partition(b"\r\n\r\n")
    parts = head.split(b" ", 2)
    if not sep or len(parts) < 2 or not parts[1].isdigit():
        return "unparsable"
    status = int(parts[1])
    if status != 200:
        return f"{status} other"
    body = raw[len(head) + 4:]
    full = expected_ok.partition(b"\r\n\r\n")[2]
    if body.endswith(b"\n") and len(body) < len(full) and full.startswith(body[:-1]):
        return "200 truncated"
    return "200 wrong body"


def one_request(port: int, data: bytes, timeout: float) -> bytes:
    """Sends `data` on a fresh connection and returns everything read until the proxy closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def _client(slot, port, data, expected_ok, quota, timeout, record, ready, go, stop, progress,
            results):
    counts = collections.Counter()
    events = []
    samples = {}
    expected_502 = response_bytes(502, FAILURE_BODY)
    ready[slot] = 1
    go.wait(120)
    done = 0
    while (quota is None or done < quota) and not stop.is_set():
        started = time.monotonic()
        try:
            raw = one_request(port, data, timeout)
            verdict = classify(raw, expected_ok, expected_502)
        except OSError as exc:
            raw = repr(exc).encode()
            verdict = f"error:{type(exc).__name__}"
        if verdict not in ("ok", "502") and len(samples.setdefault(verdict, [])) < 3:
            samples[verdict].append(raw[:400])
        done += 1
        progress[slot] = done
        counts[verdict] += 1
        if record:
            events.append((started, time.monotonic(), verdict))
    results.put((slot, dict(counts), events, samples))


class Load:
    """`clients` processes posting `data` to the proxy on `port`.

    With `total`, the requests are shared out and each client stops after its share; without
    it they run until stop(). With `record`, every request's (start, end, verdict) is kept;
    the times are time.monotonic(), which every process on the machine shares.
    """

    def __init__(self, port: int, data: bytes, expected_ok: bytes, *, clients: int = 16,
                 total: int | None = None, record: bool = False, timeout: float = 10.0):
        ctx = multiprocessing.get_context("spawn")
        self._go = ctx.Event()
        self._stop = ctx.Event()
        self._progress = ctx.Array("q", clients, lock=False)
        self._ready = ctx.Array("b", clients, lock=False)
        self._results = ctx.Queue()
        self.clients = clients
        self.counts: collections.Counter = collections.Counter()
        self.events: list = []
        self.samples: dict = {}        # verdict -> a few raw replies that were not "ok" or "502"
        self.started_at = self.ended_at = None
        quotas = [None] * clients if total is None else \
            [total // clients + (1 if i < total % clients else 0) for i in range(clients)]
        self._procs = [ctx.Process(target=_client, daemon=True,
                                   args=(i, port, data, expected_ok, quotas[i], timeout, record,
                                         self._ready, self._go, self._stop, self._progress, self._results))
                       for i in range(clients)]

    def start(self, timeout: float = 120.0) -> "Load":
        for p in self._procs:
            p.start()
        # Starting interpreters is slow on a busy machine; the clock starts when all are ready.
        deadline = time.monotonic() + timeout
        while sum(self._ready) < self.clients:
            if time.monotonic() > deadline:
                self._stop.set()
                for p in self._procs:
                    p.kill()
                raise TimeoutError(f"{sum(self._ready)} of {self.clients} load clients started")
            time.sleep(0.02)
        self.started_at = time.monotonic()
        self._go.set()
        return self

    def completed(self) -> int:
        return sum(self._progress)

    def stop(self) -> None:
        self._stop.set()

    def join(self, timeout: float) -> "Load":
        """Collects every client's result; raises TimeoutError if they are not all in by then."""
        deadline = time.monotonic() + timeout
        gathered = {}
        try:
            while len(gathered) < self.clients:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"{len(gathered)} of {self.clients} load clients finished "
                                       f"in {timeout}s ({self.completed()} requests done)")
                try:
                    slot, counts, events, samples = self._results.get(timeout=min(left, 1.0))
                except queue.Empty:  # the loop re-checks the deadline
                    continue
                gathered[slot] = True
                self.counts.update(counts)
                self.events.extend(events)
                for verdict, raws in samples.items():
                    self.samples.setdefault(verdict, []).extend(raws)
        finally:
            self._stop.set()
            self.ended_at = time.monotonic()
            for p in self._procs:
                p.join(5)
                if p.is_alive():
                    p.kill()
        self.events.sort()
        return self

    def run_until(self, total: int, timeout: float, on_progress=None) -> "Load":
        """Waits (bounded) for `total` requests, calling on_progress(done) about every 10 ms."""
        deadline = time.monotonic() + timeout
        while self.completed() < total:
            if time.monotonic() > deadline:
                break
            if on_progress is not None and on_progress(self.completed()) is False:
                break
            time.sleep(0.01)
        return self.join(max(5.0, deadline - time.monotonic()))

    @property
    def rate(self) -> float:
        return sum(self.counts.values()) / max(1e-9, self.ended_at - self.started_at)


# -- the proxy process, seen from /proc ---------------------------------------------------------

def rss_kb(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for process {pid}")


def fd_count(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def sanitizer_runtime(pid: int) -> str | None:
    """The sanitizer runtime the process was built with ("asan", "tsan", ...), or None."""
    with open(f"/proc/{pid}/maps") as f:
        maps = f.read()
    for name in ("asan", "tsan", "msan", "lsan"):
        if f"lib{name}" in maps:
            return name
    return None


def wait_fd_count(pid: int, wanted: int, timeout: float) -> int:
    """Descriptor count once it equals `wanted`, or the last reading when the time is up:
    a worker may still be closing the last connection when the clients have their replies."""
    deadline = time.monotonic() + timeout
    while True:
        count = fd_count(pid)
        if count == wanted or time.monotonic() > deadline:
            return count
        time.sleep(0.05)
