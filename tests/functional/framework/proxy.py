"""Runs the real skerrow binary for a test: writes its configuration, starts it, collects its
log lines from standard error, talks HTTP to it over raw sockets, and stops it."""

from __future__ import annotations

import base64
import itertools
import json
import os
import pathlib
import re
import socket
import subprocess
import threading
import time

from .fake_daemon import HEADER_END, HeaderMap, free_port, parse_head

# The build scripts' default build directory, whichever checkout the tests run from.
DEFAULT_BINARY = str(pathlib.Path(__file__).resolve().parents[3] / "build" / "skerrow")
READY_LINE = "kqueue event loop started"

_config_numbers = itertools.count(1)


def default_binary() -> str:
    return os.environ.get("SKERROW_BIN") or DEFAULT_BINARY


def parent_entry(daemon, user: str | None = None, password: str | None = None, **extra) -> dict:
    """The "parent" object of a configuration pointing at a FakeDaemon (or any .url holder)."""
    entry = {"url": daemon.url if hasattr(daemon, "url") else str(daemon)}
    if user is not None:
        entry["user"] = user
    if password is not None:
        entry["pass"] = password
    entry.update(extra)
    return entry


class ProxyExited(RuntimeError):
    pass


class Response(tuple):
    """(status, headers, body), with the raw bytes kept for byte-exact checks."""

    def __new__(cls, status: int, headers: HeaderMap, body: bytes, raw: bytes):
        self = super().__new__(cls, (status, headers, body))
        self.raw = raw
        return self

    @property
    def status(self):
        return self[0]

    @property
    def headers(self):
        return self[1]

    @property
    def body(self):
        return self[2]

    def json(self):
        return json.loads(self[2])


def parse_response(raw: bytes) -> Response:
    end = raw.find(HEADER_END)
    if end < 0:
        raise ValueError(f"no complete HTTP header block in {raw[:200]!r}")
    line, headers = parse_head(raw[:end])
    parts = line.split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/"):
        raise ValueError(f"bad status line {line!r}")
    return Response(int(parts[1]), headers, raw[end + 4:], raw)


def exchange(port: int, data: bytes, timeout: float = 30.0, host: str = "127.0.0.1",
             half_close: bool = False) -> bytes:
    """Connects, sends `data`, reads until the peer closes. A reset after some bytes keeps
    what arrived; `half_close` shuts down our sending side after the data."""
    deadline = time.monotonic() + timeout
    with socket.create_connection((host, port), timeout=timeout) as s:
        if data:
            s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            except socket.timeout:
                raise TimeoutError(f"no end of reply after {timeout}s; got {b''.join(chunks)[:200]!r}")
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def http_post(body: bytes, *, host_header: str = "127.0.0.1", auth: tuple[str, str] | None = None,
              headers: dict | None = None) -> bytes:
    """The bytes of an HTTP/1.1 POST of `body` to "/" with a correct Content-Length."""
    lines = ["POST / HTTP/1.1", f"Host: {host_header}", "Content-Type: application/json",
             f"Content-Length: {len(body)}"]
    if auth is not None:
        token = base64.b64encode(f"{auth[0]}:{auth[1]}".encode()).decode()
        lines.append(f"Authorization: Basic {token}")
    for name, value in (headers or {}).items():
        lines.append(f"{name}: {value}")
    lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def rpc_body(method: str, params=None, id=1) -> bytes:
    return json.dumps({"method": method, "params": [] if params is None else params, "id": id},
                      separators=(",", ":")).encode()


class Proxy:
    """One skerrow process with its own configuration file in `workdir`."""

    def __init__(self, config: dict, workdir: pathlib.Path, binary: str | None = None):
        self.config = dict(config)
        if "listen" not in self.config:
            self.config["listen"] = f"127.0.0.1:{free_port()}"
        self.port = _port_of(self.config["listen"])
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        # The process runs in `workdir`, so a relative path must not be resolved from there.
        self.binary = os.path.abspath(binary or default_binary())
        self.conf_path = self.workdir / f"skerrow-{next(_config_numbers)}.conf"
        self.conf_path.write_text(json.dumps(self.config, indent=2))
        self.process: subprocess.Popen | None = None
        self._lines: list[str] = []
        self._stdout = bytearray()
        self._cond = threading.Condition()
        self._stderr_done = False
        self._readers: list[threading.Thread] = []

    # -- life cycle -----------------------------------------------------------------------

    def start(self, wait: bool = True, timeout: float = 10.0, args: list[str] | None = None,
              env: dict[str, str] | None = None):
        """Starts `<binary> -c <conf>` (plus `args`, with `env` added to the environment); with
        `wait`, returns once the event loop runs and raises ProxyExited if the process ends first."""
        if self.process is not None:
            raise RuntimeError("proxy already started")
        cmd = [self.binary, "-c", str(self.conf_path)] + list(args or [])
        self.process = subprocess.Popen(cmd, cwd=self.workdir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env={**os.environ, **env} if env else None)
        for target in (self._collect_stderr, self._collect_stdout):
            t = threading.Thread(target=target, daemon=True)
            t.start()
            self._readers.append(t)
        if wait:
            self.wait_for_line(READY_LINE, timeout=timeout)
        return self

    def stop(self) -> int | None:
        """Kills the process (SIGKILL: no clean stop, so a teardown never waits for requests in
        flight; test_clean_stop.py signals the process itself) and waits for it."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.kill()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            pass
        for t in self._readers:
            t.join(5)
        return self.process.returncode

    def wait_exit(self, timeout: float = 10.0) -> int:
        """Waits for the process to end by itself and returns its exit status."""
        assert self.process is not None, "proxy not started"
        code = self.process.wait(timeout)
        for t in self._readers:
            t.join(5)
        return code

    @property
    def returncode(self) -> int | None:
        return None if self.process is None else self.process.poll()

    def __enter__(self):
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- output -------------------------------------------------------------------------

    def lines(self) -> list[str]:
        """Log lines written so far, without their line feeds."""
        with self._cond:
            return list(self._lines)

    def stdout(self) -> bytes:
        with self._cond:
            return bytes(self._stdout)

    def mark(self) -> int:
        """A position in the log; pass it as `since` to look only at later lines."""
        with self._cond:
            return len(self._lines)

    def wait_for_line(self, pattern, timeout: float = 10.0, since: int = 0) -> str:
        """The first line at or after `since` containing `pattern` (a substring, or a compiled
        regular expression searched in the line). Raises TimeoutError, or ProxyExited when the
        process has ended without writing it."""
        match = _matcher(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self._lines[since:]:
                    if match(line):
                        return line
                since = max(since, len(self._lines))
                if self._stderr_done:
                    raise ProxyExited(f"skerrow ended (status {self.returncode}) without a line "
                                      f"matching {pattern!r}; log:\n" + "\n".join(self._lines))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no line matching {pattern!r} within {timeout}s; log:\n"
                                       + "\n".join(self._lines))
                self._cond.wait(left)

    def count_lines(self, pattern, since: int = 0) -> int:
        match = _matcher(pattern)
        return sum(1 for line in self.lines()[since:] if match(line))

    def _collect_stderr(self) -> None:
        stream = self.process.stderr
        pending = b""
        while True:
            chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            if complete:
                with self._cond:
                    self._lines.extend(c.decode("utf-8", "replace") for c in complete)
                    self._cond.notify_all()
        with self._cond:
            if pending:
                self._lines.append(pending.decode("utf-8", "replace"))
            self._stderr_done = True
            self._cond.notify_all()

    def _collect_stdout(self) -> None:
        stream = self.process.stdout
        while True:
            chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
            if not chunk:
                break
            with self._cond:
                self._stdout.extend(chunk)

    # -- talking to it --------------------------------------------------------------------

    def post_raw(self, data: bytes, timeout: float = 30.0, half_close: bool = False) -> bytes:
        """Sends `data` as is and returns every byte received until the proxy closes."""
        return exchange(self.port, data, timeout=timeout, half_close=half_close)

    def post(self, body: bytes, *, auth: tuple[str, str] | None = None, headers: dict | None = None,
             timeout: float = 30.0) -> Response:
        """A well-formed HTTP POST of `body`; returns (status, headers, body)."""
        raw = self.post_raw(http_post(body, host_header=f"127.0.0.1:{self.port}", auth=auth,
                                      headers=headers), timeout=timeout)
        return parse_response(raw)

    def rpc(self, method: str, params=None, *, id=1, auth: tuple[str, str] | None = None,
            timeout: float = 30.0) -> Response:
        """A JSON-RPC call {"method","params","id"} written compactly; returns
        (status, headers, body)."""
        return self.post(rpc_body(method, params, id), auth=auth, timeout=timeout)

    def metric(self, series: str) -> float:
        """One series read from the proxy's "metrics_listen" endpoint, named as the text writes
        it, for example 'skerrow_snapshot_lookups_total{outcome="found"}'."""
        raw = exchange(_port_of(self.config["metrics_listen"]),
                       b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 5)
        for line in raw.decode().splitlines():
            name, _, value = line.rpartition(" ")
            if name == series:
                return float(value)
        raise KeyError(series)


def _matcher(pattern):
    if isinstance(pattern, re.Pattern):
        return lambda line: pattern.search(line) is not None
    return lambda line: pattern in line


def _port_of(listen: str) -> int | None:
    rest = listen.split("://", 1)[-1]
    if ":" not in rest:
        return 8332
    try:
        return int(rest.rsplit(":", 1)[1])
    except ValueError:
        return None
