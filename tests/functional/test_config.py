"""Configuration failures as the operator sees them: one exact line naming the path and the
error, exit status 1, nothing on standard output."""

import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
from pathlib import Path

import pytest

from framework.fake_daemon import free_port
from framework.proxy import default_binary

BIN = os.path.abspath(default_binary())
TIMEOUT = 20
START = "info(skerrow): skerrow 0.2.0 starting"
MIB = 1048576


def run(args, cwd, prefix=()):
    done = subprocess.run([*prefix, BIN, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    return done.returncode, done.stdout, done.stderr.decode()


def failure_line(path, name):
    return f"{START}\nerror(skerrow): failed to load config {path}: error.{name}\n"


def aux(i, **extra):
    return {"chain_id": f"c{i}", "url": f"127.0.0.1:{20000 + i}", **extra}


CASES = {
    "missing parent": ('{"listen": "127.0.0.1:1"}', "MissingParentConfig"),
    "missing url": ('{"parent": {"user": "u"}}', "MissingParentUrl"),
    "port above range": ('{"parent": {"url": "127.0.0.1:65536"}}', "InvalidPort"),
    "bad port in second of three chains": (
        json.dumps({"parent": {"url": "p"},
                    "aux_chains": [aux(0), {"chain_id": "x", "url": "h:8332/"}, {"url": "no id"}]}),
        "InvalidPort"),
    "duplicate key": ('{"parent": {"url": "a"}, "parent": {"url": "b"}}', "DuplicateField"),
    "trailing comma": ('{"parent": {"url": "a"},}', "SyntaxError"),
}


@pytest.mark.parametrize("text, name", CASES.values(), ids=CASES.keys())
def test_each_failure_is_one_exact_line(tmp_path, text, name):
    (tmp_path / "bad.conf").write_text(text)
    assert run(["-c", "bad.conf"], tmp_path) == (1, b"", failure_line("bad.conf", name))


def test_one_byte_over_the_size_limit_fails_whatever_the_content(tmp_path):
    body = json.dumps({"parent": {"url": "p"}, "listen": "localhost:1"}).encode()
    (tmp_path / "big.conf").write_bytes(body + b" " * (MIB + 1 - len(body)))
    assert run(["-c", "big.conf"], tmp_path) == (1, b"", failure_line("big.conf", "FileTooBig"))


def test_missing_file_and_1024_byte_path(tmp_path):
    assert run(["-c", "absent.conf"], tmp_path) == (1, b"", failure_line("absent.conf", "FileNotFound"))
    # The file exists and the path leads to it: the length alone refuses it, before any lookup.
    (tmp_path / "c.conf").write_text('{"parent": {"url": "p"}}')
    path = "./" * 509 + "c.conf"
    assert len(path) == 1024
    assert run(["-c", path], tmp_path) == (1, b"", failure_line(path, "NameTooLong"))


@pytest.mark.skipif(shutil.which("setpriv") is None, reason="setpriv (util-linux) is not installed")
def test_unreadable_file_is_access_denied():
    # Tests run as root, who may read anything: the binary runs as nobody instead, in a
    # directory open to all, against a file that only its owner could read (mode 0).
    work = Path(tempfile.mkdtemp(prefix="skerrow-access-"))
    try:
        os.chmod(work, 0o755)
        binary = work / "skerrow"
        shutil.copy2(BIN, binary)
        (work / "secret.conf").write_text('{"parent": {"url": "p"}, "listen": "localhost:1"}')
        os.chmod(work / "secret.conf", 0)
        status, out, err = run(["-c", "secret.conf"], work,
                               prefix=("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"))
        if err.startswith("setpriv:"):
            pytest.skip("setpriv cannot change user here: " + err.strip())
        assert (status, out, err) == (1, b"", failure_line("secret.conf", "AccessDenied"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def other_programs_database(path):
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE t(x)")


CHECKED = {
    "duplicate key": ('{"parent": {"url": "a"}, "parent": {"url": "b"}}', None),
    "listen not dotted IPv4": (json.dumps({"parent": {"url": "p"}, "listen": "localhost:1"}), None),
    "metrics_listen without port": (json.dumps({"parent": {"url": "p"}, "metrics_listen": "127.0.0.1"}), None),
    "another program's state file": (json.dumps({"parent": {"url": "p"}, "state_file": "other.db"}),
                                     other_programs_database),
}


@pytest.mark.parametrize("text, prepare", CHECKED.values(), ids=CHECKED.keys())
def test_a_check_prints_the_line_a_start_fails_with(tmp_path, text, prepare):
    (tmp_path / "c.conf").write_text(text)
    if prepare:
        prepare(tmp_path / "other.db")
    status, out, err = run(["-c", "c.conf"], tmp_path)
    failure = err.splitlines()[-1]
    assert status == 1 and failure.startswith("error(")
    assert run(["-t", "-c", "c.conf"], tmp_path) == (1, b"", failure + "\n")


def test_a_check_of_a_running_proxys_file_binds_and_locks_nothing(fake_daemon, proxy_factory, tmp_path):
    proxy = proxy_factory({"parent": {"url": f"127.0.0.1:{fake_daemon().port}"},
                           "metrics_listen": f"127.0.0.1:{free_port()}", "state_file": str(tmp_path / "state.db")})
    # Its port, its metrics port and its state file are all held: a start would fail on each.
    conf = str(proxy.conf_path)
    assert run(["-c", conf, "-t"], tmp_path) == (0, f"configuration {conf} is valid\n".encode(), "")
    # A state file not there yet is not made by a check.
    (tmp_path / "fresh.conf").write_text(json.dumps({"parent": {"url": "p"}, "state_file": "new.db"}))
    assert run(["-t", "-c", "fresh.conf"], tmp_path)[0] == 0
    assert not (tmp_path / "new.db").exists()
    assert proxy.returncode is None
