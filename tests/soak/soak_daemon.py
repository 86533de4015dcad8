"""The fast parent daemon (fast_daemon.c) as a process the soak can kill and start again on
the same port, compiled once per run with the system C compiler."""

from __future__ import annotations

import hashlib
import os
import pathlib
import select
import shutil
import signal
import subprocess
import time

SOURCE = pathlib.Path(__file__).with_name("fast_daemon.c")


def build(workdir: pathlib.Path) -> pathlib.Path:
    """Compiles fast_daemon.c into `workdir` (reused when the source is unchanged)."""
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        raise RuntimeError("no C compiler (gcc or cc) on PATH")
    source = SOURCE.read_bytes()
    binary = pathlib.Path(workdir) / f"fast_daemon-{hashlib.sha256(source).hexdigest()[:12]}"
    if not binary.exists():
        tmp = binary.with_suffix(".tmp")
        subprocess.run([compiler, "-O2", "-pthread", "-o", str(tmp), str(SOURCE)], check=True,
                       timeout=120)
        tmp.rename(binary)
    return binary


class FastDaemon:
    """One fast_daemon process answering every request with `reply` (bytes)."""

    def __init__(self, binary: pathlib.Path, workdir: pathlib.Path, reply: bytes):
        self.binary = pathlib.Path(binary)
        self.reply_path = pathlib.Path(workdir) / "parent-reply.json"
        self.reply_path.write_bytes(reply)
        self.reply = reply
        self.port = 0
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def start(self, timeout: float = 10.0) -> "FastDaemon":
        """Starts the daemon (on its previous port after a kill) and returns once it listens."""
        if self.process is not None and self.process.poll() is None:
            raise RuntimeError("fast daemon already running")
        self.process = subprocess.Popen([str(self.binary), str(self.port), str(self.reply_path)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        line = _read_line(self.process.stdout, timeout)
        if not line.startswith(b"port "):
            self.kill()
            err = self.process.stderr.read().decode(errors="replace")
            raise RuntimeError(f"fast daemon did not start: {line!r} {err}")
        self.port = int(line.split()[1])
        return self

    def kill(self) -> None:
        """SIGKILL, as a crashed daemon would go: no orderly close of its connections."""
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    stop = kill


def _read_line(stream, timeout: float) -> bytes:
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 256)
        if not chunk:
            break
        data += chunk
    return data.strip()
