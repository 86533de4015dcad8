"""Merged mining end to end: a real litecoind regtest parent with transactions in its mempool,
fake aux daemons, and the pool's work done here for real (coinbase with the proxy's commitment,
block built from the rewritten template, scrypt-solved, accepted by litecoind). The aux daemons
judge the proofs with the independent checker; the proofs are also compared with the block."""

import json

import pytest

from framework import blocks
from framework.auxpow_checker import parse_auxpow
from framework.fake_aux import aux_chain_entry, fake_aux  # noqa: F401 (fixture)
from framework.litecoind import GBT_PARAMS, litecoin_pair, rpc_request  # noqa: F401 (fixture)

# Least significant byte first; stricter than the regtest parent target (about 2^255), so a
# block solved only for the parent would often miss it.
AUX_TARGET = "ff" * 31 + "3f"
AUX_KEYS = ("aux_merkle_root", "aux_tree_size", "aux_tree_nonce", "n_aux_chains", "aux_chains")


def merged_config(node, chains):
    return {"parent": {"url": f"http://{node.rpc_url}", "user": node.user,
                       "pass": node.password},
            "aux_chains": [aux_chain_entry(name, aux) for name, aux in chains]}


def fetch_template(proxy) -> dict:
    reply = proxy.rpc("getblocktemplate", [GBT_PARAMS])
    assert reply.status == 200
    return reply.json()["result"]


def solve_for_all(block, template):
    goal = min([block.target] + [blocks.target_from_aux_hex(c["target"])
                                 for c in template["aux_chains"]])
    block.solve(goal)
    assert block.pow_value() <= goal


def submit_aux(proxy, chain, aux_hash, block) -> dict:
    param = f"{chain}:{aux_hash}:{block.coinbase.hex()}:{block.header().hex()}"
    reply = proxy.post(rpc_request("submitauxblock", [param], id=5))
    assert reply.status == 200, reply.body
    return json.loads(reply.body)


def assert_proof_is_for(proof_hex, block, template):
    proof = parse_auxpow(proof_hex)
    assert proof.coinbase.raw == block.coinbase.serialize(with_witness=False)
    assert proof.header == block.header()
    assert proof.coinbase_branch == blocks.coinbase_branch(
        [tx["txid"] for tx in template["transactions"]])
    return proof


def test_merged_block_is_accepted_by_the_parent_and_both_aux_chains(
        proxy_factory, fake_aux, litecoin_pair):
    node0, node1 = litecoin_pair[0], litecoin_pair[1]
    aux_a, aux_b = fake_aux(1, target=AUX_TARGET), fake_aux(2, target=AUX_TARGET)
    proxy = proxy_factory(merged_config(node0, [("auxA", aux_a), ("auxB", aux_b)]))
    txids = node0.send_transactions(3)
    node0.wait_for_template_txs(txids)

    body = rpc_request("getblocktemplate", [GBT_PARAMS])
    direct = json.loads(node0.post(body)[1])["result"]
    template = fetch_template(proxy)

    # The parent's template is all there; only the commitment and the aux fields are new.
    flags = template["coinbaseaux"]["flags"]
    assert len(flags) == 88 and flags.startswith("fabe6d6d")
    assert flags[8:72] == template["aux_merkle_root"]
    assert flags[72:] == "02000000" + "00000000"
    assert (template["aux_tree_size"], template["aux_tree_nonce"], template["n_aux_chains"]) \
        == (2, 0, 2)
    # chain id 1 takes slot 1 and chain id 2 slot 0 in a tree of two; "slot" is the position
    # in the configuration
    assert [(c["chain_id"], c["hash"], c["target"], c["slot"]) for c in template["aux_chains"]] \
        == [("auxA", aux_a.hash, AUX_TARGET, 0), ("auxB", aux_b.hash, AUX_TARGET, 1)]
    root = blocks.sha256d(bytes.fromhex(aux_b.hash)[::-1] + bytes.fromhex(aux_a.hash)[::-1])
    assert template["aux_merkle_root"] == root[::-1].hex()
    parent_part = {k: v for k, v in template.items() if k not in AUX_KEYS}
    parent_part["coinbaseaux"] = {}
    for t in (parent_part, direct):
        t.pop("curtime")
    assert parent_part == direct
    assert set(txids) <= {tx["txid"] for tx in template["transactions"]}

    block = blocks.build_block(template, node0.script_of(litecoin_pair.address), b"merged01")
    assert bytes.fromhex(flags) in block.coinbase.script_sig
    solve_for_all(block, template)

    reply = proxy.post(rpc_request("submitblock", [block.hex()], id="sb"))
    assert json.loads(reply.body) == {"result": None, "error": None, "id": "sb"}
    assert node0.rpc("getbestblockhash") == block.hash
    litecoin_pair.sync()
    assert node1.rpc("getbestblockhash") == block.hash

    for name, aux, slot in (("auxA", aux_a, 1), ("auxB", aux_b, 0)):
        assert submit_aux(proxy, name, aux.hash, block) == \
            {"result": "true", "error": None, "id": None}
        assert aux.verdicts == [(True, "")]
        aux_hash, proof_hex = aux.submissions[-1]
        assert aux_hash == aux.hash
        proof = assert_proof_is_for(proof_hex, block, template)
        assert proof.chain_index == slot and len(proof.chain_branch) == 1


def test_proof_follows_the_template_its_block_was_built_from(
        proxy_factory, fake_aux, litecoin_pair):
    """New transactions between two templates: same aux root, different coinbase branches.
    Work from either template must get the branch of its own template."""
    node0 = litecoin_pair[0]
    aux = fake_aux(7, target=AUX_TARGET)
    proxy = proxy_factory(merged_config(node0, [("solo", aux)]))
    first_txids = node0.send_transactions(2)
    node0.wait_for_template_txs(first_txids)
    first = fetch_template(proxy)

    later_txids = node0.send_transactions(3)
    node0.wait_for_template_txs(later_txids)
    second = fetch_template(proxy)

    # One chain: tree of one, the root is the aux hash itself.
    assert first["aux_merkle_root"] == second["aux_merkle_root"] == aux.hash
    assert first["coinbaseaux"]["flags"] == second["coinbaseaux"]["flags"]
    first_ids = [tx["txid"] for tx in first["transactions"]]
    second_ids = [tx["txid"] for tx in second["transactions"]]
    assert set(later_txids).isdisjoint(first_ids) and set(later_txids) <= set(second_ids)
    assert blocks.coinbase_branch(first_ids) != blocks.coinbase_branch(second_ids)

    script = node0.script_of(litecoin_pair.address)
    old_block = blocks.build_block(first, script, b"template1")
    new_block = blocks.build_block(second, script, b"template2")
    solve_for_all(old_block, first)
    solve_for_all(new_block, second)

    # Newest work first, then work from the older template still in the pool's hands.
    for block, template in ((new_block, second), (old_block, first)):
        answer = submit_aux(proxy, "solo", aux.hash, block)
        assert aux.verdicts[-1] == (True, ""), aux.verdicts[-1]
        assert answer["result"] == "true"
        proof = assert_proof_is_for(aux.submissions[-1][1], block, template)
        assert proof.chain_branch == [] and proof.chain_index == 0

    # Both blocks are valid parent blocks: the older one as a proposal on the same tip, the
    # newer one submitted through the proxy.
    assert node0.rpc("getblocktemplate", {"mode": "proposal", "data": old_block.hex(),
                                          "rules": GBT_PARAMS["rules"]}) is None
    reply = proxy.post(rpc_request("submitblock", [new_block.hex()]))
    assert json.loads(reply.body)["result"] is None
    assert node0.rpc("getbestblockhash") == new_block.hash


@pytest.mark.parametrize("mutation", ["header", "coinbase"])
def test_proof_for_a_block_that_is_not_the_solved_one_is_refused(
        proxy_factory, fake_aux, litecoin_pair, mutation):
    """The aux daemon, not the proxy, spots a header that does not commit to the coinbase sent
    with it; the proxy must pass the refusal on, not report success."""
    node0 = litecoin_pair[0]
    aux = fake_aux(3, target=AUX_TARGET)
    proxy = proxy_factory(merged_config(node0, [("solo", aux)]))
    template = fetch_template(proxy)
    block = blocks.build_block(template, node0.script_of(litecoin_pair.address), b"mutate00")
    solve_for_all(block, template)
    header, coinbase = block.header(), block.coinbase.hex()
    if mutation == "header":
        header = header[:36] + bytes(32) + header[68:]
    else:
        coinbase = coinbase[:-8] + "01000000"      # another lock time, another txid
    param = f"solo:{aux.hash}:{coinbase}:{header.hex()}"
    reply = proxy.post(rpc_request("submitauxblock", [param]))
    assert json.loads(reply.body) == {"result": "false", "error": None, "id": None}
    assert aux.verdicts == [(False, "coinbase branch does not lead to the parent header's "
                                    "merkle root")]


def test_work_twenty_answers_old_is_proven_while_the_mempool_changes(
        proxy_factory, fake_aux, litecoin_pair):
    """Wallet payments between the templates give each round its own coinbase branch under one
    aux root; the oldest work must still get the branch of its own template."""
    node0 = litecoin_pair[0]
    aux = fake_aux(5, target=AUX_TARGET)
    proxy = proxy_factory(merged_config(node0, [("solo", aux)]))
    oldest = fetch_template(proxy)
    later = []
    for _ in range(4):
        # litecoind serves its cached template for 5 s after a mempool change: a few rounds of
        # five answers each rather than twenty distinct templates.
        node0.wait_for_template_txs(node0.send_transactions(1))
        later += [fetch_template(proxy) for _ in range(5)]
    branches = {tuple(blocks.coinbase_branch([tx["txid"] for tx in t["transactions"]]))
                for t in later}
    assert len(later) == 20 and len(branches) >= 4
    assert tuple(blocks.coinbase_branch([tx["txid"] for tx in oldest["transactions"]])) not in branches
    assert {t["aux_merkle_root"] for t in later} == {oldest["aux_merkle_root"]}

    block = blocks.build_block(oldest, node0.script_of(litecoin_pair.address), b"oldwork0")
    solve_for_all(block, oldest)
    assert submit_aux(proxy, "solo", aux.hash, block) == {"result": "true", "error": None, "id": None}
    assert aux.verdicts == [(True, "")]
    assert_proof_is_for(aux.submissions[0][1], block, oldest)


BASE58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def extended_key(secret: bytes) -> str:
    """A regtest extended private key (tprv) of depth 0 with `secret` as key and chain code."""
    payload = bytes.fromhex("04358394") + bytes(9) + secret + b"\x00" + secret
    n = int.from_bytes(payload + blocks.sha256d(payload)[:4], "big")
    text = ""
    while n:
        n, digit = divmod(n, 58)
        text = BASE58[digit] + text
    return text


def fill_mempool(pair, size: int, outputs: int = 500, coins: int = 32) -> list[str]:
    """Wallet payments of `outputs` P2WSH outputs each (about 22 kB) until node 0's mempool
    holds `size` virtual bytes. The outputs go to addresses no wallet watches, derived from a
    key made here (a wallet takes seconds to hand out hundreds of addresses); `coins` more
    blocks mature as many coinbases, so every payment spends a confirmed coin of its own and
    none is another's ancestor (the mempool takes chains of 25 at most)."""
    node0 = pair[0]
    key = extended_key(blocks.sha256d(b"skerrow big block"))
    descriptor = node0.rpc("getdescriptorinfo", f"wsh(pk({key}/*))")["descriptor"]
    payment = {address: 0.0005
               for address in node0.rpc("deriveaddresses", descriptor, [0, outputs - 1])}
    node0.generate(coins, pair.address)
    txids = []
    while node0.rpc("getmempoolinfo")["bytes"] < size:
        assert len(txids) < coins, "confirmed coins ran out before the mempool was full"
        txids.append(node0.rpc("sendmany", "", payment, wallet=pair.wallet))
    return txids


def test_parent_block_of_600_kb_goes_through_whole(proxy_factory, fake_aux, litecoin_pair):
    """A block of over half a megabyte (twice that in hex) sent with submitblock must reach
    litecoind whole and become its tip; the aux proof for it is made as for any other."""
    node0 = litecoin_pair[0]
    aux = fake_aux(11, target=AUX_TARGET)
    proxy = proxy_factory(merged_config(node0, [("solo", aux)]))
    node0.wait_for_template_txs(fill_mempool(litecoin_pair, 600_000))
    template = fetch_template(proxy)

    block = blocks.build_block(template, node0.script_of(litecoin_pair.address), b"bigblock")
    solve_for_all(block, template)
    raw = block.serialize()
    assert len(raw) >= 600_000
    reply = proxy.post(rpc_request("submitblock", [raw.hex()], id="big"))
    assert json.loads(reply.body) == {"result": None, "error": None, "id": "big"}
    assert node0.rpc("getbestblockhash") == block.hash
    assert submit_aux(proxy, "solo", aux.hash, block) == \
        {"result": "true", "error": None, "id": None}
    assert aux.verdicts == [(True, "")]
