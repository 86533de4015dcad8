"""Aux templates: what the proxy asks each aux daemon, what it keeps from the replies, and
when it asks again."""

import json

import pytest

from framework.fake_aux import (EASY_TARGET, aux_chain_entry, fake_aux, parent_template,  # noqa: F401
                                random_txids, unreachable_url, wait_count, wait_exact)
from framework.proxy import parent_entry

TEMPLATE = parent_template(random_txids(3))


def start(proxy_factory, fake_daemon, chains, template=TEMPLATE):
    parent = fake_daemon(lambda request: (200, template))
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": chains})
    return proxy, parent


def test_requests_and_log_lines_for_each_fetch_method(proxy_factory, fake_daemon, fake_aux):
    plain = fake_aux(1, hash="AB" * 32)
    created = fake_aux(2)
    paid = fake_aux(3, target_key="_target", target="00" * 31 + "01")
    proxy, _ = start(proxy_factory, fake_daemon, [
        aux_chain_entry("plain", plain),
        aux_chain_entry("created", created, rpc_method="createauxblock"),
        aux_chain_entry("paid", paid, rpc_method="createauxblock", payout_address='addr"\\x'),
    ])
    response = proxy.rpc("getblocktemplate")
    assert response.status == 200

    assert plain.fetches == [b'{"method":"getauxblock","params":[]}']
    assert created.fetches == [b'{"method":"createauxblock","params":[""]}']
    assert paid.fetches == [b'{"method":"createauxblock","params":["addr\\"\\\\x"]}']
    wait_count(proxy, "info(auxpow): aux template for", 3)
    lines = [l for l in proxy.lines() if l.startswith("info(auxpow): aux template for")]
    # One line per chain as its reply arrives; hash text as the daemon sent it; "_target" read
    # when "target" is absent.
    assert sorted(lines) == sorted([
        "info(auxpow): aux template for plain: hash=" + "AB" * 32 + " diff=65793.004",
        "info(auxpow): aux template for created: hash=" + created.hash + " diff=65793.004",
        "info(auxpow): aux template for paid: hash=" + paid.hash + " diff=256.000",
    ])
    chains = response.json()["result"]["aux_chains"]
    assert [c["target"] for c in chains] == [EASY_TARGET, EASY_TARGET, "00" * 31 + "01"]
    assert [c["diff"] for c in chains] == [65793.003922, 65793.003922, 256.0]


def test_failing_chains_are_left_out_and_logged(proxy_factory, fake_daemon, fake_aux):
    good = fake_aux(1)
    garbage = fake_aux(2)
    garbage.template_mode = "garbage"
    refused = fake_aux(3)
    refused.template_mode = "error"
    short = fake_aux(4)
    short.template_mode = "short_hash"
    proxy, _ = start(proxy_factory, fake_daemon, [
        aux_chain_entry("down", unreachable_url()),
        aux_chain_entry("garbage", garbage),
        aux_chain_entry("good", good),
        aux_chain_entry("refused", refused),
        aux_chain_entry("short", short),
    ])
    # Every chain's start-up fetch is in (the refused one, silently) before the template.
    proxy.wait_for_line("warning(auxpow): failed to get aux template for garbage: error.")
    wait_exact(proxy, "warning(auxpow): failed to get aux template for down: error.ConnectionRefused")
    wait_exact(proxy, f"info(auxpow): aux template for good: hash={good.hash} diff=65793.004")
    wait_count(proxy, "info(auxpow): aux template for short", 1)
    result = proxy.rpc("getblocktemplate").json()["result"]
    assert result["n_aux_chains"] == 1
    assert [(c["chain_id"], c["slot"]) for c in result["aux_chains"]] == [("good", 2)]
    assert result["aux_tree_size"] == 8

    # A hash of the wrong length leaves the chain out but still logs, showing the hash
    # stored before: none yet, so 64 zero bytes (written escaped, not raw).
    wait_exact(proxy, "info(auxpow): aux template for short: hash=" + "\\x00" * 64 + " diff=65793.004")
    lines = proxy.lines()
    assert not any("for refused" in l for l in lines)  # a daemon error reply is silent


@pytest.mark.parametrize("wait_ms", [None, 0])
def test_an_accepted_block_brings_the_new_aux_work_to_the_next_template(proxy_factory, fake_daemon, fake_aux,
                                                                          wait_ms):
    from framework.fake_aux import build_coinbase, build_header, submit_param, template_result

    aux = fake_aux(7)
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("c", aux)],
                           **({} if wait_ms is None else {"aux_wait_ms": wait_ms})})
    wait_exact(proxy, f"info(auxpow): aux template for c: hash={aux.hash} diff=65793.004")
    first = template_result(proxy.rpc("getblocktemplate").body)
    coinbase = build_coinbase(first)
    header = build_header(first, coinbase)
    old_hash = aux.hash

    # A refused block changes nothing: no fetch.
    aux.submit_result = False
    assert proxy.rpc("submitauxblock", [submit_param("c", old_hash, coinbase, header)]).json()["result"] == "false"
    assert len(aux.fetches) == 1

    # Accepted: the node moves on to a new block, and answers the fetch in 100 ms.
    aux.submit_result = "check"
    new_hash = aux.new_template()
    aux.delay = 0.1
    assert proxy.rpc("submitauxblock", [submit_param("c", old_hash, coinbase, header)]).json()["result"] == "true"
    result = proxy.rpc("getblocktemplate").json()["result"]
    # Waiting (the default) the template at once carries the new work; not waiting, the old.
    assert result["aux_chains"][0]["hash"] == (new_hash if wait_ms is None else old_hash)
    wait_exact(proxy, f"info(auxpow): aux template for c: hash={new_hash} diff=65793.004")
    assert len(aux.fetches) == 2


def test_zero_target_is_infinite_difficulty_and_null_in_the_template(proxy_factory, fake_daemon, fake_aux):
    aux = fake_aux(1, target="0" * 64)
    proxy, _ = start(proxy_factory, fake_daemon, [aux_chain_entry("z", aux)])
    response = proxy.rpc("getblocktemplate")
    chain = json.loads(response.body)["result"]["aux_chains"][0]  # still valid JSON
    assert chain["diff"] is None
    assert chain["target"] == "0" * 64
    wait_exact(proxy, "info(auxpow): aux template for z: hash=" + aux.hash + " diff=inf")


def test_no_valid_chain_gives_the_parent_reply_unchanged(proxy_factory, fake_daemon, fake_aux):
    aux = fake_aux(1)
    aux.template_mode = "error"
    proxy, parent = start(proxy_factory, fake_daemon, [aux_chain_entry("x", aux)])
    response = proxy.rpc("getblocktemplate")
    assert response.status == 200
    assert response.body == TEMPLATE + b"\n"
    # The branch is still read (and a snapshot stored) although nothing is committed.
    wait_exact(proxy, "info(http): coinbase Merkle branch: depth=2 from 3 transactions")
