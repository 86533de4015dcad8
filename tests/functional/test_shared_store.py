"""Two proxies, one memory: with "redis", every template's snapshot is written to a real
redis-server before it is answered, so a second proxy proves shares on work the first one handed
out, after the first is killed, behind the README's haproxy, and across a restart of Redis. Redis's
trouble never stops the pool: down at start, or refusing the login, the proxy serves from its own
store. Proofs are judged by the independent checker in the fake aux daemon."""

import itertools
import re
import signal
import threading
import time

import pytest

from framework.auxpow_checker import parse_auxpow
from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.fake_daemon import free_port
from framework.proxy import exchange, http_post, parent_entry, parse_response, rpc_body
from framework.shared_store import haproxy, readme_haproxy_config, redis_server  # noqa: F401

ACCEPTED = b'{"result":"true","error":null,"id":null}\n'


class TwoProxies:
    """Proxies built from one configuration in front of one parent, whose transactions change at
    every template, and one aux daemon."""

    def __init__(self, proxy_factory, fake_daemon, aux, redis_url, **config):
        self.counter = itertools.count(1)
        self.parent = fake_daemon(self._template)
        self.aux = aux
        self.config = {"parent": parent_entry(self.parent), "aux_chains": [aux_chain_entry("c", aux)],
                       "redis": {"url": redis_url}, **config}
        self.proxy_factory = proxy_factory

    def _template(self, request):
        n = next(self.counter)
        return 200, parent_template(random_txids(1 + n % 7, seed=n))

    def start(self, **config):
        return self.proxy_factory(self.config | {"listen": f"127.0.0.1:{free_port()}"} | config)

    @staticmethod
    def work(proxy):
        return TwoProxies.work_from(proxy.rpc("getblocktemplate").body)

    @staticmethod
    def work_from(body):
        result = template_result(body)
        coinbase = build_coinbase(result)
        return result, coinbase, build_header(result, coinbase)

    def submit(self, proxy, work):
        _, coinbase, header = work
        return proxy.rpc("submitauxblock", [submit_param("c", self.aux.hash, coinbase, header)]).body


@pytest.fixture
def two(proxy_factory, fake_daemon, fake_aux):
    return lambda redis_url, **config: TwoProxies(proxy_factory, fake_daemon, fake_aux(1), redis_url, **config)


def connected_line(redis):
    return f'info(auxpow): redis {redis.url} connected: sharing handed-out work under "skerrow:" in db 0'


def test_a_share_on_the_oldest_work_of_a_killed_proxy_is_proven_by_the_other(two, redis_server):
    redis = redis_server()
    t = two(redis.url)
    a, b = t.start(), t.start()
    wait_exact(a, connected_line(redis))
    works = [t.work(a) for _ in range(5)]
    a.stop()
    assert a.returncode == -9
    assert t.submit(b, works[0]) == ACCEPTED
    assert t.aux.verdicts == [(True, "")]
    assert parse_auxpow(t.aux.submissions[0][1]).header == works[0][2]


def test_behind_the_readme_haproxy_b_takes_over_and_proves_a_share_on_a_s_last_work(two, redis_server, haproxy):
    redis = redis_server()
    t = two(redis.url)
    a_port, b_port, front = free_port(), free_port(), free_port()
    a = t.start(listen=f"127.0.0.1:{a_port}")
    b = t.start(listen=f"127.0.0.1:{b_port}")
    haproxy(readme_haproxy_config(front, a_port, b_port), front)

    def template():
        reply = parse_response(exchange(front, http_post(rpc_body("getblocktemplate")), timeout=20))
        assert reply.status == 200, reply
        return t.work_from(reply.body)

    served = "getblocktemplate: forwarding"
    works = [template() for _ in range(3)]
    assert (a.count_lines(served), b.count_lines(served)) == (3, 0)
    a.stop()
    for _ in range(3):
        template()
    assert b.count_lines(served) == 3
    _, coinbase, header = works[-1]
    body = rpc_body("submitauxblock", [submit_param("c", t.aux.hash, coinbase, header)])
    assert parse_response(exchange(front, http_post(body), timeout=20)).body == ACCEPTED
    assert t.aux.verdicts == [(True, "")]


def test_templates_flow_through_a_restart_of_redis_and_work_from_either_side_is_proven(two, redis_server):
    redis = redis_server()
    t = two(redis.url)
    metrics_port = free_port()
    a = t.start(metrics_listen=f"127.0.0.1:{metrics_port}")
    b = t.start()
    for proxy in (a, b):
        wait_exact(proxy, connected_line(redis))
    statuses, stop = [], threading.Event()

    def poll():
        while not stop.is_set():
            statuses.append(a.rpc("getblocktemplate", timeout=10).status)

    poller = threading.Thread(target=poll)
    poller.start()
    try:
        before = t.work(a)
        redis.kill()
        during = t.work(a)
        a.wait_for_line("warning(auxpow): redis write failed (")
        mark = a.mark()
        redis.start()
        wait_exact(a, connected_line(redis), since=mark)
        after = t.work(a)
    finally:
        stop.set()
        poller.join(20)
    assert len(statuses) > 10 and set(statuses) == {200}, statuses
    assert a.count_lines("redis write failed") == 1
    assert a.metric('skerrow_redis_writes_total{outcome="failed"}') >= 1
    # b was idle throughout: its first write finds the connection the restart closed and makes
    # it again rather than losing the template.
    from_b = t.work(b)
    assert b.count_lines("redis write failed") == 0
    # Redis kept what it had written (its append-only file).
    assert t.submit(b, before) == ACCEPTED
    assert t.submit(b, after) == ACCEPTED
    assert t.submit(a, from_b) == ACCEPTED
    assert t.submit(a, during) == ACCEPTED
    assert t.aux.verdicts == [(True, "")] * 4


def test_a_template_waits_for_a_stopped_redis_no_longer_than_redis_wait_ms(two, redis_server):
    redis = redis_server()
    t = two(redis.url, redis_wait_ms=100)
    a = t.start()
    wait_exact(a, connected_line(redis))
    redis.process.send_signal(signal.SIGSTOP)
    try:
        started = time.monotonic()
        work = t.work(a)
        waited = time.monotonic() - started
        wait_exact(a, "warning(auxpow): redis write failed (no reply within 100 ms): the template was "
                      "answered, its work kept locally")
    finally:
        redis.process.send_signal(signal.SIGCONT)
    # A bound, not a speed: well under the second a connection's login may take.
    assert waited < 0.9, waited
    assert t.submit(a, work) == ACCEPTED


def test_redis_down_at_start_is_joined_once_it_answers(two, redis_server):
    redis = redis_server(start=False)
    t = two(redis.url)
    a = t.start()
    a.wait_for_line(re.compile(rf"^warning\(auxpow\): redis {redis.url} unreachable \(.*\): work is kept "
                               r"locally until it answers, trying every second$"))
    alone = t.work(a)
    redis.start()
    wait_exact(a, connected_line(redis), timeout=5)
    shared = t.work(a)
    b = t.start()
    assert t.submit(b, shared) == ACCEPTED
    # Answered while Redis was away: a's alone. b knows the root from later work only, and the
    # proof it builds from that work's coinbase branch does not hold.
    assert t.submit(b, alone) != ACCEPTED
    assert t.submit(a, alone) == ACCEPTED
    assert [v[0] for v in t.aux.verdicts] == [True, False, True]


REFUSALS = {
    "wrong password": ({"pass": "wrong"}, "WRONGPASS"),
    "no password": ({}, "NOAUTH"),
    "db outside the server's": ({"pass": "right", "db": 5}, "ERR DB index is out of range"),
}


@pytest.mark.parametrize("login, reason", REFUSALS.values(), ids=REFUSALS.keys())
def test_a_refused_login_is_said_once_and_the_proxy_runs_on_its_own_store(two, redis_server, login, reason):
    redis = redis_server("--requirepass", "right", "--databases", "2")
    t = two(redis.url)
    t.config["redis"] |= login
    a = t.start()
    line = a.wait_for_line(f"error(auxpow): redis {redis.url} refused the password or db (")
    assert reason in line and line.endswith("): running on the local store alone"), line
    works = [t.work(a) for _ in range(3)]
    assert t.submit(a, works[0]) == ACCEPTED
    time.sleep(1.5)  # a reconnect would have been tried by now
    assert [l for l in a.lines() if "redis" in l] == [line]
