"""Chains whose ids would share a leaf: the tree grows until each has one of its own, proofs
carry the branch of the tree that was committed, and chains no tree size separates sit out."""

import time

import pytest

from framework.auxpow_checker import parse_auxpow
from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.proxy import parent_entry


def start(proxy_factory, fake_daemon, chains, **settings):
    template = parent_template(random_txids(4))
    parent = fake_daemon(lambda request: (200, template))
    return proxy_factory({"parent": parent_entry(parent),
                          "aux_chains": [aux_chain_entry(name, aux) for name, aux in chains], **settings})


def work(proxy):
    result = template_result(proxy.rpc("getblocktemplate").body)
    coinbase = build_coinbase(result)
    return result, coinbase, build_header(result, coinbase)


def submit(proxy, name, aux, coinbase, header):
    return proxy.rpc("submitauxblock", [submit_param(name, aux.hash, coinbase, header)]).json()["result"]


@pytest.mark.parametrize("ids, size", [((1, 3), 4), ((2, 98), 64)])
def test_colliding_ids_grow_the_tree_and_both_proofs_hold(proxy_factory, fake_daemon, fake_aux, ids, size):
    chains = [("first", fake_aux(ids[0])), ("second", fake_aux(ids[1]))]
    proxy = start(proxy_factory, fake_daemon, chains)
    result, coinbase, header = work(proxy)
    assert result["aux_tree_size"] == size
    assert result["n_aux_chains"] == 2
    assert result["coinbaseaux"]["flags"].endswith(size.to_bytes(4, "little").hex() + "00000000")
    for name, aux in chains:
        assert submit(proxy, name, aux, coinbase, header) == "true"
        assert aux.verdicts == [(True, "")]
        assert len(parse_auxpow(aux.submissions[0][1]).chain_branch) == size.bit_length() - 1


def test_a_proof_keeps_the_tree_its_template_committed_to(proxy_factory, fake_daemon, fake_aux):
    a, b = fake_aux(1), fake_aux(3)
    b.template_mode = "error"  # absent at first: chain 1 alone fits the base tree of 2
    proxy = start(proxy_factory, fake_daemon, [("a", a), ("b", b)], aux_refresh_ms=200)
    small = work(proxy)
    assert small[0]["aux_tree_size"] == 2

    b.template_mode = "ok"  # back at the next timer tick
    wait_exact(proxy, f"info(auxpow): aux template for b: hash={b.hash} diff=65793.004")
    assert submit(proxy, "a", a, *small[1:]) == "true"
    large = work(proxy)
    assert large[0]["aux_tree_size"] == 4
    assert large[0]["n_aux_chains"] == 2

    # The older template's work still proves chain a against the tree of 2 it committed to.
    assert submit(proxy, "a", a, *small[1:]) == "true"
    assert len(parse_auxpow(a.submissions[-1][1]).chain_branch) == 1
    assert submit(proxy, "a", a, *large[1:]) == "true"
    assert submit(proxy, "b", b, *large[1:]) == "true"
    assert [len(parse_auxpow(p).chain_branch) for _, p in a.submissions[-1:] + b.submissions] == [2, 2]
    assert a.verdicts == [(True, "")] * 3 and b.verdicts == [(True, "")]


def test_chains_no_tree_size_separates_are_left_out(proxy_factory, fake_daemon, fake_aux):
    # Ids equal modulo 1024 share a slot in every tree up to 1024 leaves.
    x, keep, y = fake_aux(5), fake_aux(1), fake_aux(5 + 1024)
    proxy = start(proxy_factory, fake_daemon, [("x", x), ("keep", keep), ("y", y)])
    result, coinbase, header = work(proxy)
    assert result["n_aux_chains"] == 1
    assert [c["chain_id"] for c in result["aux_chains"]] == ["keep"]
    assert result["aux_tree_size"] == 4
    assert result["aux_merkle_root"] != keep.hash  # a real tree of 4, not the lone hash
    for line in ("aux chain x (chain id 5) collides with y (chain id 1029)",
                 "aux chain y (chain id 1029) collides with x (chain id 5)"):
        wait_exact(proxy, "warning(auxpow): " + line + " in every tree up to 1024 leaves, left out of this round")
    assert submit(proxy, "keep", keep, coinbase, header) == "true"


def test_all_aux_daemons_are_asked_at_once(proxy_factory, fake_daemon, fake_aux):
    chains = [(name, fake_aux(i + 1, delay=0.5)) for i, name in enumerate(("one", "two", "three"))]
    proxy = start(proxy_factory, fake_daemon, chains)
    started = time.monotonic()
    response = proxy.rpc("getblocktemplate")
    elapsed = time.monotonic() - started
    assert response.status == 200
    assert elapsed < 1.5, f"refresh of three 500 ms daemons took {elapsed:.3f} s"
    print(f"refresh of three 500 ms aux daemons: {elapsed * 1000:.0f} ms")


def test_each_chain_is_logged_as_its_answer_comes_in(proxy_factory, fake_daemon, fake_aux):
    chains = [(name, fake_aux(i + 1, delay=delay)) for i, (name, delay) in
              enumerate((("one", 0.6), ("two", 0.3), ("three", 0.0)))]
    proxy = start(proxy_factory, fake_daemon, chains)
    wait_exact(proxy, "info(auxpow): aux template for one: hash=" + chains[0][1].hash + " diff=65793.004")
    order = [line.split(" for ")[1].split(":")[0] for line in proxy.lines()
             if line.startswith("info(auxpow): aux template for ")]
    assert order == ["three", "two", "one"]
