"""The periodic aux refresh: the event loop's timer only marks the aux templates as stale, and
the next getblocktemplate fetches new ones."""

import threading
import time

import pytest

from framework.fake_aux import (aux_chain_entry, fake_aux, parent_template, random_txids,  # noqa: F401
                                template_result)
from framework.proxy import parent_entry

TEMPLATE = parent_template(random_txids(2))


def start(proxy_factory, fake_daemon, aux, **settings):
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    return proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("one", aux)],
                          **settings})


def aux_hash(proxy) -> str:
    response = proxy.rpc("getblocktemplate")
    assert response.status == 200
    return template_result(response.body)["aux_chains"][0]["hash"]


@pytest.mark.parametrize("settings, refreshed", [
    ({"aux_refresh_ms": 200}, True),
    ({"aux_refresh_ms": 0}, False),                       # timer off
    ({}, False),                                          # default: 5 s, not due yet
    ({"aux_refresh_ms": 9223372036854775807}, False),     # longest period still starts
])
def test_changed_aux_template_shows_after_a_period(proxy_factory, fake_daemon, fake_aux,
                                                   settings, refreshed):
    aux = fake_aux(1)
    proxy = start(proxy_factory, fake_daemon, aux, **settings)
    first = aux.hash
    assert aux_hash(proxy) == first            # the start-up flag fetches once
    second = aux.new_template()
    time.sleep(0.3)
    assert aux_hash(proxy) == (second if refreshed else first)
    assert len(aux.fetches) == (2 if refreshed else 1)


def test_timer_alone_calls_no_daemon(proxy_factory, fake_daemon, fake_aux):
    # Ticks between requests must not reach the aux daemon from the event loop: several
    # periods pass, then one request makes exactly one fetch however many ticks there were.
    aux = fake_aux(1)
    proxy = start(proxy_factory, fake_daemon, aux, aux_refresh_ms=50)
    aux_hash(proxy)
    time.sleep(0.4)
    assert len(aux.fetches) == 1
    aux_hash(proxy)
    assert len(aux.fetches) == 2


def test_slow_aux_daemon_does_not_stall_accepting(proxy_factory, fake_daemon, fake_aux):
    # A refresh that takes long holds the aux-state lock in a worker, never the event loop:
    # while it runs, other clients are still accepted and passed through.
    aux = fake_aux(1)
    proxy = start(proxy_factory, fake_daemon, aux, aux_refresh_ms=50)
    aux_hash(proxy)
    aux.delay = 1.5
    time.sleep(0.2)

    slow = threading.Thread(target=aux_hash, args=(proxy,), daemon=True)
    slow.start()
    time.sleep(0.2)
    started = time.monotonic()
    assert proxy.rpc("getblockcount").status == 200
    assert time.monotonic() - started < 1.0
    slow.join(10)
    assert not slow.is_alive()
