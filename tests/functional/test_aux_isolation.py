"""One aux chain's trouble never holds the pool's work: aux daemons are called off the request
path, so a hung or slow aux daemon delays neither templates, nor other chains' work, nor the
calls passed through to the parent."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.proxy import parent_entry

TEMPLATE = parent_template(random_txids(3))


def start(proxy_factory, fake_daemon, chains, **settings):
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    return proxy_factory({"parent": parent_entry(parent),
                          "aux_chains": [aux_chain_entry(n, a) for n, a in chains], **settings})


def timed(call):
    started = time.monotonic()
    result = call()
    return result, time.monotonic() - started


def chains_of(response):
    return {c["chain_id"]: c["hash"] for c in template_result(response.body)["aux_chains"]}


def test_a_hung_aux_daemon_holds_nothing_but_its_own_calls(proxy_factory, fake_daemon, fake_aux):
    healthy, hung = fake_aux(1), fake_aux(2)
    hung.hang = True  # accepts every call and never answers
    proxy = start(proxy_factory, fake_daemon, [("healthy", healthy), ("hung", hung)], aux_refresh_ms=200)

    # Templates at the pool's pace over 4 s, each carrying the healthy chain.
    for _ in range(20):
        response, took = timed(lambda: proxy.rpc("getblocktemplate"))
        assert took < 1.0
        assert list(chains_of(response)) == ["healthy"]
        time.sleep(max(0.0, 0.2 - took))

    # Templates and passthrough calls at once.
    calls = [lambda: proxy.rpc("getblocktemplate")] * 6 + [lambda: proxy.rpc("getblockcount")] * 4
    started = time.monotonic()
    with ThreadPoolExecutor(len(calls)) as pool:
        answers = list(pool.map(lambda call: (call(), time.monotonic() - started), calls))
    assert all(response.status == 200 and took < 1.0 for response, took in answers)

    # A submission to the hung chain holds its own worker; the healthy chain's goes through.
    result = template_result(proxy.rpc("getblocktemplate").body)
    coinbase = build_coinbase(result)
    header = build_header(result, coinbase)
    stuck = threading.Thread(target=lambda: proxy.rpc("submitauxblock",
                                                      [submit_param("hung", hung.hash, coinbase, header)],
                                                      timeout=60), daemon=True)
    stuck.start()
    hung.wait_for_submissions(1)
    response, took = timed(lambda: proxy.rpc("submitauxblock",
                                             [submit_param("healthy", healthy.hash, coinbase, header)]))
    assert took < 1.0
    assert response.json()["result"] == "true"
    assert stuck.is_alive()


def test_a_slow_aux_daemon_shows_new_work_in_the_first_template_after_it_arrives(proxy_factory, fake_daemon,
                                                                                   fake_aux):
    fast, slow = fake_aux(1), fake_aux(2)
    slow.delay = 2.0  # per template
    proxy = start(proxy_factory, fake_daemon, [("fast", fast), ("slow", slow)], aux_refresh_ms=200)
    wait_exact(proxy, f"info(auxpow): aux template for slow: hash={slow.hash} diff=65793.004", timeout=8)

    new_hash = slow.new_template()
    line = f"info(auxpow): aux template for slow: hash={new_hash} diff=65793.004"
    deadline = time.monotonic() + 10
    carried = False
    while not carried and time.monotonic() < deadline:
        arrived_before = proxy.count_lines(line) > 0
        response, took = timed(lambda: proxy.rpc("getblocktemplate"))
        assert took < 0.5  # at the parent's speed, never the slow daemon's
        carried = chains_of(response)["slow"] == new_hash
        assert carried or not arrived_before  # once its reply is in, the next template has it
        time.sleep(0.05)
    assert carried
    wait_exact(proxy, line, timeout=1)  # and not before: the reply had arrived


def test_the_worker_count_is_configurable(proxy_factory, fake_daemon):
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    proxy = proxy_factory({"parent": parent_entry(parent), "workers": 16})
    wait_exact(proxy, "info(http): worker pool: 16 threads started")
    wait_exact(proxy, "info(http): kqueue event loop started (workers=16, aux_chains=0)")
