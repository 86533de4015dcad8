"""Debian's redis-server and haproxy, run by a test on free loopback ports in a folder of its
own: the shared store two proxies keep their work in, and the balancer a pool reaches them
through."""

from __future__ import annotations

import pathlib
import re
import shutil
import socket
import subprocess
import time

import pytest

from .fake_daemon import free_port

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def _wait_listening(port: int, process: subprocess.Popen, what: str, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended with status {process.returncode}: "
                               + process.stdout.read().decode(errors="replace")[-2000:])
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{what} is not listening on {port} after {timeout}s")
            time.sleep(0.05)


def _require(program: str) -> str:
    path = shutil.which(program) or shutil.which(program, path="/usr/sbin:/usr/bin")
    if path is None:
        pytest.fail(f"{program} not found: bash scripts/bootstrap.sh installs it")
    return path


def _kill(process: subprocess.Popen | None) -> None:
    if process is not None and process.poll() is None:
        process.kill()
        process.wait(10)


class RedisServer:
    """One redis-server with its data (an append-only file, so a restart keeps what was written)
    in `folder`. `args` are added to its command line (e.g. "--requirepass", "x")."""

    def __init__(self, folder: pathlib.Path, *args: str, port: int | None = None):
        self.binary = _require("redis-server")
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = port or free_port()
        self.args = list(args)
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self) -> "RedisServer":
        self.process = subprocess.Popen(
            [self.binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", str(self.folder),
             "--save", "", "--appendonly", "yes", "--appendfsync", "always", "--daemonize", "no",
             *self.args],
            cwd=self.folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        _wait_listening(self.port, self.process, "redis-server")
        return self

    def kill(self) -> None:
        """SIGKILL, as a crash would end it."""
        _kill(self.process)
        self.process = None


class Haproxy:
    """haproxy in the foreground with the configuration `text`."""

    def __init__(self, folder: pathlib.Path, text: str, port: int):
        self.binary = _require("haproxy")
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = port
        self.conf = self.folder / "haproxy.cfg"
        self.conf.write_text(text)
        self.process: subprocess.Popen | None = None

    def start(self) -> "Haproxy":
        self.process = subprocess.Popen([self.binary, "-db", "-f", str(self.conf)], cwd=self.folder,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        _wait_listening(self.port, self.process, "haproxy")
        return self

    def kill(self) -> None:
        _kill(self.process)
        self.process = None


def readme_haproxy_config(front: int, a: int, b: int) -> str:
    """The haproxy configuration of the README's "Running two proxies", with its addresses
    (front 127.0.0.1:8332, proxies 127.0.0.1:8340 and :8341) moved to the given ports."""
    section = README.read_text().split("## Running two proxies", 1)[1]
    block = re.search(r"```haproxy\n(.*?)```", section, re.S)
    assert block, "no haproxy block in the README's Running two proxies"
    text = block.group(1)
    for old, new in (("127.0.0.1:8332", front), ("127.0.0.1:8340", a), ("127.0.0.1:8341", b)):
        assert old in text, f"{old} not in the README's haproxy configuration"
        text = text.replace(old, f"127.0.0.1:{new}")
    return text


@pytest.fixture
def redis_server(tmp_path):
    """Factory: redis_server(*args) -> a started RedisServer, killed after the test."""
    made = []

    def make(*args: str, start: bool = True, port: int | None = None) -> RedisServer:
        server = RedisServer(tmp_path / f"redis{len(made) + 1}", *args, port=port)
        made.append(server)
        return server.start() if start else server

    yield make
    for server in made:
        server.kill()


@pytest.fixture
def haproxy(tmp_path):
    made = []

    def make(text: str, port: int) -> Haproxy:
        balancer = Haproxy(tmp_path / f"haproxy{len(made) + 1}", text, port)
        made.append(balancer)
        return balancer.start()

    yield make
    for balancer in made:
        balancer.kill()
