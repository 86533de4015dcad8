"""The periodic aux refresh: the event loop's timer asks every chain's refresher for a fresh
template, fetched in the background; no getblocktemplate waits for it."""

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
    assert aux_hash(proxy) == first            # fetched once at start-up
    second = aux.new_template()
    time.sleep(0.3)
    assert aux_hash(proxy) == (second if refreshed else first)
    assert (len(aux.fetches) >= 2) if refreshed else (len(aux.fetches) == 1)


def test_the_timer_fetches_without_requests_one_fetch_at_a_time(proxy_factory, fake_daemon, fake_aux):
    # Ticks every 50 ms against a daemon that takes 200 ms: ticks during a fetch are served by
    # one more fetch after it, never by fetches side by side.
    aux = fake_aux(1)
    aux.delay = 0.2
    proxy = start(proxy_factory, fake_daemon, aux, aux_refresh_ms=50)
    new_hash = aux.new_template()
    proxy.wait_for_line(f"info(auxpow): aux template for one: hash={new_hash}", timeout=5)
    time.sleep(1.0)
    assert 3 <= len(aux.fetches) <= 7
    assert aux.max_in_flight == 1
