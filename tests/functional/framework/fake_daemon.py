"""A stand-in for a coin daemon's JSON-RPC server.

It accepts HTTP connections on 127.0.0.1, serves each on its own thread, records the exact
bytes every request arrived as, and answers through a handler. A handler returns either
(status, body_bytes), answered as a normal HTTP/1.1 reply with "Connection: close", or a
RawReply for the misbehaviours a real daemon can show: odd bytes, a slow answer, a close
without an answer, a reset, or a connection that never answers.
"""

from __future__ import annotations

import json
import socket
import struct
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable

HEADER_END = b"\r\n\r\n"

REASONS = {200: "OK", 400: "Bad Request", 401: "Unauthorized", 403: "Forbidden",
           404: "Not Found", 500: "Internal Server Error", 502: "Bad Gateway",
           503: "Service Unavailable"}


class HeaderMap(dict):
    """Header fields keyed by name; lookups ignore letter case (the first field of a name wins)."""

    def __init__(self, pairs: Iterable[tuple[str, str]] = ()):
        super().__init__()
        self._lower: dict[str, str] = {}
        for name, value in pairs:
            if name.lower() not in self._lower:
                self._lower[name.lower()] = name
                super().__setitem__(name, value)

    def _key(self, name):
        return self._lower.get(name.lower(), name) if isinstance(name, str) else name

    def __getitem__(self, name):
        return super().__getitem__(self._key(name))

    def __contains__(self, name):
        return super().__contains__(self._key(name))

    def get(self, name, default=None):
        return super().get(self._key(name), default)


def parse_head(head: bytes) -> tuple[str, HeaderMap]:
    """Splits a header block (without its blank line) into the first line and the fields."""
    text = head.decode("latin-1")
    lines = text.replace("\r\n", "\n").split("\n")
    pairs = []
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            pairs.append((name.strip(), value.strip()))
    return lines[0], HeaderMap(pairs)


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on at the moment of asking."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@dataclass
class Request:
    """One request as the daemon received it."""
    raw: bytes                      # every byte read from the connection
    request_line: str = ""
    headers: HeaderMap = field(default_factory=HeaderMap)
    body: bytes = b""
    complete: bool = False          # header block and the announced body all arrived
    received_at: float = 0.0        # time.monotonic() when the request was complete (or gave up)

    def json(self):
        return json.loads(self.body)

    @property
    def method(self):
        """The JSON-RPC method of the body, or None when the body is not a JSON object."""
        try:
            doc = self.json()
        except ValueError:
            return None
        return doc.get("method") if isinstance(doc, dict) else None


@dataclass
class RawReply:
    """An answer outside the normal shape.

    data: bytes sent as they are (a list of byte strings is sent piece by piece, `gap`
    seconds apart); delay: seconds to wait before the first byte; then: what happens after
    the data -- "close" (orderly close), "reset" (SO_LINGER 0, the peer sees a reset) or
    "hang" (keep the connection open until the daemon is stopped).
    """
    data: bytes | list[bytes] = b""
    delay: float = 0.0
    then: str = "close"
    gap: float = 0.0

    def __post_init__(self):
        if self.then not in ("close", "reset", "hang"):
            raise ValueError(f"unknown RawReply action {self.then!r}")


def http_reply(status: int, body: bytes, extra_headers: dict | None = None) -> bytes:
    head = [f"HTTP/1.1 {status} {REASONS.get(status, 'Status')}",
            "Content-Type: application/json",
            f"Content-Length: {len(body)}"]
    for name, value in (extra_headers or {}).items():
        head.append(f"{name}: {value}")
    head.append("Connection: close")
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body


def json_result(result, request: Request | None = None, error=None) -> bytes:
    """A JSON-RPC reply body carrying the request's id (null when there is none)."""
    rid = None
    if request is not None:
        try:
            doc = request.json()
            if isinstance(doc, dict):
                rid = doc.get("id")
        except ValueError:
            pass
    return json.dumps({"result": result, "error": error, "id": rid},
                      separators=(",", ":")).encode()


def default_handler(request: Request):
    return 200, json_result(None, request)


Handler = Callable[[Request], "tuple[int, bytes] | RawReply"]


class FakeDaemon:
    """HTTP JSON-RPC server on a free 127.0.0.1 port (or `host`, such as "::1"); one thread per
    connection."""

    def __init__(self, handler: Handler | None = None, *, read_timeout: float = 10.0, host: str = "127.0.0.1"):
        self.handler = handler or default_handler
        self.read_timeout = read_timeout
        self.requests: list[Request] = []
        self.connections = 0
        self.errors: list[str] = []           # handler exceptions, for test diagnostics
        self._cond = threading.Condition()
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._open: set[socket.socket] = set()
        ipv6 = ":" in host  # "::1": the IPv6 loopback
        self._listener = socket.socket(socket.AF_INET6 if ipv6 else socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((host, 0))
        self._listener.listen(128)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self.host = host
        self.url = f"http://[{host}]:{self.port}" if ipv6 else f"http://{host}:{self.port}"
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True,
                                          name=f"fake-daemon-{self.port}")
        self._acceptor.start()

    # -- public -------------------------------------------------------------------------

    def wait_for_requests(self, n: int, timeout: float = 10.0) -> list[Request]:
        """Blocks until at least n requests were recorded; raises TimeoutError otherwise."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.requests) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"{len(self.requests)} of {n} requests arrived "
                                       f"at the fake daemon on port {self.port}")
                self._cond.wait(left)
            return list(self.requests)

    def stop(self) -> None:
        """Stops accepting, releases hanging connections and joins every thread (bounded)."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        self._acceptor.join(5)
        try:
            self._listener.close()
        except OSError:
            pass
        with self._cond:
            conns = list(self._open)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in list(self._threads):
            t.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- serving ------------------------------------------------------------------------

    def _accept_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(None)
            with self._cond:
                self.connections += 1
                self._open.add(conn)
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _read_request(self, conn: socket.socket) -> Request:
        conn.settimeout(self.read_timeout)
        buffer = bytearray()
        end, need, searched = -1, 0, 0
        complete = False
        try:
            while True:
                if end < 0:
                    # Only the bytes new since the last look (less the three before them) are
                    # searched: a 32 MiB body must not cost a search of all of it per read.
                    end = buffer.find(HEADER_END, max(0, searched - len(HEADER_END) + 1))
                    searched = len(buffer)
                    if end >= 0:
                        _, headers = parse_head(bytes(buffer[:end]))
                        try:
                            need = int(headers.get("Content-Length", "0"))
                        except ValueError:
                            need = 0
                if end >= 0 and len(buffer) - end - 4 >= need:
                    complete = True
                    break
                chunk = conn.recv(1 << 20)
                if not chunk:
                    break
                buffer += chunk
        except OSError:
            pass
        raw = bytes(buffer)
        end = raw.find(HEADER_END)
        if end >= 0:
            line, headers = parse_head(raw[:end])
            body = raw[end + 4:]
        else:
            line, headers, body = "", HeaderMap(), b""
        return Request(raw=raw, request_line=line, headers=headers, body=body,
                       complete=complete, received_at=time.monotonic())

    def _serve(self, conn: socket.socket) -> None:
        try:
            request = self._read_request(conn)
            if not request.raw:
                return
            with self._cond:
                self.requests.append(request)
                self._cond.notify_all()
            try:
                reply = self.handler(request)
            except Exception as exc:  # a broken handler must show up in the test, not hang it
                self.errors.append(repr(exc))
                reply = (500, json_result(None, request, {"code": -32603, "message": repr(exc)}))
            conn.settimeout(None)
            if isinstance(reply, RawReply):
                self._send_raw(conn, reply)
            else:
                status, body = reply
                conn.sendall(http_reply(status, body))
        except OSError:
            pass
        finally:
            with self._cond:
                self._open.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    def _send_raw(self, conn: socket.socket, reply: RawReply) -> None:
        if reply.delay and self._stopping.wait(reply.delay):
            return
        pieces = reply.data if isinstance(reply.data, list) else [reply.data]
        for i, piece in enumerate(pieces):
            if i and reply.gap and self._stopping.wait(reply.gap):
                return
            if piece:
                conn.sendall(piece)
        if reply.then == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif reply.then == "hang":
            self._stopping.wait(600)

