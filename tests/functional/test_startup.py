"""Start-up of the real binary: the command line, the usage and version texts, the start
line and the configuration summary."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

from framework.proxy import default_binary

BIN = os.path.abspath(default_binary())
TIMEOUT = 20

USAGE = (b"Usage: skerrow [options]\n\nOptions:\n"
         b"  -c <path>    Configuration file (default: skerrow.conf)\n"
         b"  -t           Check the configuration and exit\n"
         b"  -h, --help   Show this help\n"
         b"  -v, --version  Show version\n")
VERSION = b"skerrow 0.2.0\n"
START = "info(skerrow): skerrow 0.2.0 starting"


def run(args, cwd, **kwargs):
    """Runs the binary to its end and returns (status, stdout bytes, stderr bytes)."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    done = subprocess.run([BIN, *args], cwd=cwd, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, timeout=TIMEOUT, **kwargs)
    return done.returncode, done.stdout, done.stderr


def load_failure(path, name):
    return (f"{START}\nerror(skerrow): failed to load config {path}: error.{name}\n").encode()


def write_config(directory, name, settings):
    path = directory / name
    path.write_text(json.dumps(settings))
    return path


def first_lines(args, cwd, count):
    """Runs the binary to its end (killing it after TIMEOUT) and returns its first `count`
    stderr lines, its status and its last stderr line."""
    proc = subprocess.Popen([BIN, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, err = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate(timeout=TIMEOUT)
    lines = err.decode().splitlines()
    return lines[:count], proc.returncode, (lines[-1] if lines else "")


@pytest.mark.parametrize("args, expected", [
    (["-h"], USAGE),
    (["--help"], USAGE),
    (["-v"], VERSION),
    (["--version"], VERSION),
    (["-h", "-v"], USAGE),
    (["-v", "-h"], VERSION),
    (["--verbose", "-x", "-v"], VERSION),
    (["-c", "x.conf", "-v"], VERSION),
    (["-c", "a.conf", "-c", "b.conf", "--help"], USAGE),
])
def test_help_and_version_are_exact_and_skip_the_configuration(tmp_path, args, expected):
    # x.conf does not exist: success shows it was never opened.
    status, out, err = run(args, tmp_path)
    assert (status, out, err) == (0, expected, b"")


@pytest.mark.parametrize("args, path", [
    ([], "skerrow.conf"),
    (["-c"], "skerrow.conf"),
    (["-c", "-h"], "-h"),
    (["-c", "-v"], "-v"),
    (["-c", "a.conf", "-c", "b.conf"], "b.conf"),
    (["-help"], "skerrow.conf"),
    (["-V"], "skerrow.conf"),
    (["--Help"], "skerrow.conf"),
    (["--verbose", "-x", "-c", "other.conf", "extra"], "other.conf"),
    (["-c", "other.conf", "-c"], "other.conf"),
])
def test_option_scan_picks_the_configuration_path(tmp_path, args, path):
    # An a.conf that does not load would name a.conf in the failure line.
    (tmp_path / "a.conf").write_text("{")
    status, out, err = run(args, tmp_path)
    assert (status, out, err) == (1, b"", load_failure(path, "FileNotFound"))


def test_file_named_like_an_option_is_loaded(tmp_path):
    write_config(tmp_path, "-h", {"parent": {"url": "10.1.2.3:1"}, "listen": "localhost:1"})
    lines, status, _ = first_lines(["-c", "-h"], tmp_path, 2)
    assert lines == [START, "info(skerrow): parent chain: 10.1.2.3:1"]
    assert status == 1


def test_closed_stdout_fails_only_the_version(tmp_path):
    close_stdout = lambda: os.close(1)  # noqa: E731
    status, _, err = run(["-h"], tmp_path, stdout=None, preexec_fn=close_stdout)
    assert (status, err) == (0, b"")
    status, _, err = run(["-v"], tmp_path, stdout=None, preexec_fn=close_stdout)
    assert (status, err) == (1, b"error: NotOpenForWriting\n")


def test_stdout_pipe_without_reader_is_a_broken_pipe_not_a_signal(tmp_path):
    # A caught SIGPIPE turns the failed write into an error line instead of killing the process.
    for args, expected in ((["-v"], (1, b"error: BrokenPipe\n")), (["-h"], (0, b""))):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            status, _, err = run(args, tmp_path, stdout=write_end)
        finally:
            os.close(write_end)
        assert (status, err) == expected


def test_summary_lines_report_parent_aux_count_and_listen_text(tmp_path):
    write_config(tmp_path, "skerrow.conf", {
        "listen": "localhost:1",
        "parent": {"url": "http://127.0.0.1:18332", "user": "u", "pass": "p"},
        "aux_chains": [{"chain_id": "a", "url": "127.0.0.1:1"},
                       {"chain_id": "b", "url": "127.0.0.1:2", "rpc_method": "createauxblock"},
                       {"chain_id": "c", "url": "node3"}],
    })
    lines, status, last = first_lines([], tmp_path, 4)
    assert lines == [
        START,
        "info(skerrow): parent chain: 127.0.0.1:18332",
        "info(skerrow): aux chains: 3 configured",
        "info(skerrow): listen: localhost:1",
    ]
    assert status == 1
    assert last.startswith("error(skerrow): HTTP proxy server failed: error.")


def test_minimal_file_summary_shows_the_defaults(tmp_path):
    write_config(tmp_path, "skerrow.conf", {"parent": {"url": "127.0.0.1"}})
    # The default listen address is held here so that the proxy can never serve on it: its
    # front end, whatever it does, has to give up with an error.
    guard = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        try:
            guard.bind(("127.0.0.1", 8332))
            guard.listen(1)
        except OSError:
            pass  # someone else holds it, which serves as well
        lines, status, last = first_lines([], tmp_path, 4)
    finally:
        guard.close()
    assert lines == [
        START,
        "info(skerrow): parent chain: 127.0.0.1:8332",
        "info(skerrow): aux chains: 0 configured",
        "info(skerrow): listen: 127.0.0.1:8332",
    ]
    assert status == 1
    assert last.startswith("error(skerrow): HTTP proxy server failed: error.")


def test_systemd_hears_ready_once_listening_then_status_watchdog_and_stopping(fake_daemon, proxy_factory):
    folder = tempfile.mkdtemp(prefix="skerrow-notify-")  # a socket path must stay short
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(os.path.join(folder, "notify"))
    notify.settimeout(5)
    try:
        parent = fake_daemon(lambda request: (200, b'{"result":{"version":1},"error":null,"id":1}'))
        proxy = proxy_factory({"parent": {"url": f"127.0.0.1:{parent.port}"}}, wait=False,
                              env={"NOTIFY_SOCKET": os.path.join(folder, "notify"), "WATCHDOG_USEC": "1000000"})
        ready = notify.recv(4096).decode()
        socket.create_connection(("127.0.0.1", proxy.port), timeout=2).close()  # listening by then
        assert ready == "READY=1\nSTATUS=0 connections, 0 templates served, 0 of 0 aux chains up"
        assert proxy.rpc("getblocktemplate").status == 200
        # Half the watchdog's second between pings, each with the status beside it.
        started, heard = time.monotonic(), []
        while time.monotonic() - started < 1.6:
            heard.append(notify.recv(4096).decode())
        assert heard.count("WATCHDOG=1") >= 2
        assert "STATUS=0 connections, 1 templates served, 0 of 0 aux chains up" in heard
        proxy.process.send_signal(signal.SIGTERM)
        while (message := notify.recv(4096).decode()) != "STOPPING=1\nSTATUS=stopping":
            assert message in ("WATCHDOG=1",) or message.startswith("STATUS="), message
        assert proxy.wait_exit() == 0
    finally:
        notify.close()
        shutil.rmtree(folder, ignore_errors=True)
