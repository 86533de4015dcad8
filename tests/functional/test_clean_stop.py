"""A clean stop: SIGTERM or SIGINT closes the listener, every connection already accepted is
answered within "stop_timeout_ms", the process says so and exits 0; a second signal ends it at
once; SIGHUP during it changes nothing."""

import signal
import socket
import sqlite3
import threading
import time

import pytest

from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.fake_daemon import RawReply, free_port
from framework.proxy import exchange, http_post, parent_entry, rpc_body

TEMPLATE = parent_template(random_txids(3))
ACCEPTED = b'{"result":"true","error":null,"id":null}\n'


class Rig:
    """A proxy with one aux chain "c", and a submission for it that the test can hold up at the
    aux daemon (its `delay` or `hang`) while it signals the proxy."""

    def __init__(self, proxy_factory, fake_daemon, aux, **settings):
        self.parent_hangs = False  # the parent takes calls and never answers them
        self.parent = fake_daemon(lambda request: RawReply(then="hang") if self.parent_hangs else (200, TEMPLATE))
        self.aux = aux
        self.metrics_port = free_port()
        # No timer refresh: the aux daemon sees nothing but the start-up fetch and the submission.
        self.proxy = proxy_factory({"parent": parent_entry(self.parent),
                                    "aux_chains": [aux_chain_entry("c", aux)], "aux_refresh_ms": 0,
                                    "metrics_listen": f"127.0.0.1:{self.metrics_port}", **settings})
        result = template_result(self.proxy.rpc("getblocktemplate").body)
        coinbase = build_coinbase(result)
        self.param = submit_param("c", aux.hash, coinbase, build_header(result, coinbase))
        self.replies = {}

    def send(self, name, body):
        """Sends `body` on a connection of its own in the background; its raw reply (b"" when
        the proxy closed without one) lands in self.replies[name]."""
        def run():
            try:
                self.replies[name] = exchange(self.proxy.port, http_post(body), timeout=30)
            except ConnectionError:
                self.replies[name] = b""
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread

    def submit_and_hold(self):
        """A submission that is in flight at the aux daemon when this returns."""
        thread = self.send("submission", rpc_body("submitauxblock", [self.param]))
        wait_until(lambda: self.aux.in_flight + len(self.aux.submissions) >= 1, "the submission at the aux daemon")
        return thread

    def queue_depth(self) -> float:
        raw = exchange(self.metrics_port, b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 5)
        line = next(l for l in raw.decode().splitlines() if l.startswith("skerrow_queue_depth "))
        return float(line.split()[1])

    def signal(self, sig):
        self.proxy.process.send_signal(sig)


def wait_until(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def refused(port) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


@pytest.fixture
def rig(proxy_factory, fake_daemon, fake_aux):
    return lambda aux, **settings: Rig(proxy_factory, fake_daemon, aux, **settings)


def test_sigterm_answers_what_was_accepted_then_exits_0(rig, fake_aux):
    aux = fake_aux(1)
    r = rig(aux, workers=1)
    aux.delay = 2.0
    submission = r.submit_and_hold()
    # The only worker is taken: a passthrough call accepted now waits in the queue.
    queued = r.send("queued", rpc_body("getblockcount"))
    wait_until(lambda: r.queue_depth() == 1, "the passthrough call in the queue")

    r.signal(signal.SIGTERM)
    wait_exact(r.proxy, "info(skerrow): stopping: SIGTERM, finishing 2 requests")
    assert refused(r.proxy.port), "a connection was taken after the stopping line"
    assert r.proxy.wait_exit(timeout=15) == 0
    submission.join(5)
    queued.join(5)
    assert r.replies["submission"].endswith(b"\r\n\r\n" + ACCEPTED)
    assert r.replies["queued"].startswith(b"HTTP/1.1 200 ") and r.replies["queued"].endswith(TEMPLATE + b"\n")
    assert aux.verdicts == [(True, "")]
    lines = r.proxy.lines()
    assert lines[-1] == "info(skerrow): stopped"
    assert lines.index("info(skerrow): stopping: SIGTERM, finishing 2 requests") < lines.index(
        "info(http): submitauxblock result for c: true")


def test_sighup_reloads_but_not_during_a_stop_and_a_second_stop_signal_ends_at_once(rig, fake_aux):
    aux = fake_aux(1)
    r = rig(aux, stop_timeout_ms=30000)
    r.signal(signal.SIGHUP)
    wait_exact(r.proxy, "info(skerrow): configuration reloaded, 0 changes applied")
    assert r.proxy.rpc("getblockcount").status == 200

    aux.hang = True
    submission = r.submit_and_hold()
    r.signal(signal.SIGINT)
    wait_exact(r.proxy, "info(skerrow): stopping: SIGINT, finishing 1 requests")
    mark = r.proxy.mark()
    r.signal(signal.SIGHUP)  # no reload during the stop
    wait_exact(r.proxy, "info(skerrow): SIGHUP ignored during the stop", since=mark)
    assert r.proxy.returncode is None

    sent = time.monotonic()
    r.signal(signal.SIGTERM)
    assert r.proxy.wait_exit(timeout=5) == 128 + signal.SIGTERM
    assert time.monotonic() - sent < 2.0  # not the 30 s the stop would have waited
    submission.join(5)
    assert r.replies["submission"] == b""
    assert r.proxy.lines()[-1] == "warning(skerrow): SIGTERM during the stop: exiting at once, 1 requests cut off"


@pytest.mark.parametrize("timeout_ms", [0, 400])
def test_the_stop_time_cuts_off_hung_calls_but_waits_for_a_block_at_an_aux_daemon(rig, fake_aux, tmp_path,
                                                                                   timeout_ms):
    aux = fake_aux(1)
    r = rig(aux, stop_timeout_ms=timeout_ms, state_file=str(tmp_path / "state.db"))
    aux.delay = timeout_ms / 1000 + 1.0  # the aux daemon answers well after the stop time
    submission = r.submit_and_hold()
    r.parent_hangs = True
    hung = r.send("hung", rpc_body("getblockcount"))
    wait_until(lambda: len(r.parent.requests) >= 2, "the hung call at the parent")
    sent = time.monotonic()
    r.signal(signal.SIGTERM)
    assert r.proxy.wait_exit(timeout=10) == 0
    assert time.monotonic() - sent >= aux.delay - 0.5  # still there for the aux daemon's answer
    submission.join(5)
    hung.join(5)
    assert r.replies["submission"].endswith(b"\r\n\r\n" + ACCEPTED)
    assert r.replies["hung"] == b""
    with sqlite3.connect(tmp_path / "state.db") as db:
        assert db.execute("SELECT chain, result FROM submissions").fetchall() == [("c", "true")]
    lines = r.proxy.lines()
    assert lines[-1] == "info(skerrow): stopped, 1 requests cut off"
    assert "info(skerrow): stopping: SIGTERM, finishing 2 requests" in lines


def test_an_idle_proxy_stops_at_once(fake_daemon, proxy_factory):
    proxy = proxy_factory({"parent": parent_entry(fake_daemon())})
    sent = time.monotonic()
    proxy.process.send_signal(signal.SIGTERM)
    assert proxy.wait_exit(timeout=5) == 0
    assert time.monotonic() - sent < 1.0
    assert proxy.lines()[-2:] == ["info(skerrow): stopping: SIGTERM, finishing 0 requests",
                                  "info(skerrow): stopped"]
