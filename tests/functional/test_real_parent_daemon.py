"""The block builder against a real litecoind, without the proxy: if these fail, a failure of
the proxy tests that submit blocks says nothing about the proxy."""

import pytest

from framework import blocks
from framework.litecoind import GBT_PARAMS, RpcError, litecoin_pair  # noqa: F401 (fixture)


def test_template_needs_both_rules_and_has_no_mweb(litecoin_pair):
    node = litecoin_pair[0]
    for params in ({}, {"rules": ["segwit"]}):
        with pytest.raises(RpcError) as err:
            node.rpc("getblocktemplate", params)
        assert err.value.code == -8
    template = node.rpc("getblocktemplate", GBT_PARAMS)
    assert "mweb" not in template
    assert template["height"] == node.rpc("getblockcount") + 1
    assert blocks.bits_to_target(template["bits"]) == int(template["target"], 16)


def test_block_with_mempool_transactions_is_accepted(litecoin_pair):
    node0, node1 = litecoin_pair[0], litecoin_pair[1]
    txids = node0.send_transactions(3)
    template = node0.wait_for_template_txs(txids)
    assert len(template["transactions"]) >= 3
    block = blocks.build_block(template, node0.script_of(litecoin_pair.address), b"direct01")
    # The witness commitment we compute for the full template is the one the daemon proposes.
    assert block.coinbase.outputs[1].script.hex() == template["default_witness_commitment"]
    block.solve()
    assert block.pow_value() <= block.target

    assert node0.rpc("submitblock", block.hex()) is None
    assert node0.rpc("getbestblockhash") == block.hash
    stored = node0.rpc("getblock", block.hash)
    assert stored["merkleroot"] == block.merkle_root[::-1].hex()
    assert stored["tx"][0] == block.coinbase.txid
    assert set(txids) <= set(stored["tx"])
    assert not set(txids) & set(node0.rpc("getrawmempool"))
    litecoin_pair.sync()
    assert node1.rpc("getbestblockhash") == block.hash


def test_daemon_rejects_what_the_builder_must_get_right(litecoin_pair):
    node = litecoin_pair[0]
    template = node.getblocktemplate()
    script = node.script_of(litecoin_pair.address)

    # A header whose scrypt value is above the target: the solver is not optional.
    block = blocks.build_block(template, script, b"highhash")
    while block.pow_value() <= block.target:
        block.nonce += 1
    assert node.rpc("submitblock", block.hex()) == "high-hash"

    # A header committing to another coinbase than the one sent along.
    block = blocks.build_block(template, script, b"mismatch")
    block.solve()
    header = block.header()
    block.coinbase.script_sig += b"\x00"
    raw = header + block.serialize()[80:]
    assert node.rpc("submitblock", raw.hex()) == "bad-txnmrklroot"

    # A coinbase paying more than subsidy plus fees.
    block = blocks.build_block(template, script, b"greedy00")
    block.coinbase.outputs[0].value += 1
    block.solve()
    assert node.rpc("submitblock", block.hex()) == "bad-cb-amount"
    assert node.rpc("getbestblockhash") == template["previousblockhash"]


@pytest.mark.parametrize("count", [0, 1, 2, 3, 4, 5, 8])
def test_coinbase_branch_leads_to_the_block_root(count):
    txids = [blocks.sha256d(bytes([i]))[::-1].hex() for i in range(count)]
    coinbase_txid = blocks.sha256d(b"coinbase")
    branch = blocks.coinbase_branch(txids)
    leaves = [coinbase_txid] + [bytes.fromhex(t)[::-1] for t in txids]
    assert blocks.root_from_branch(coinbase_txid, branch) == blocks.merkle_root(leaves)
    assert len(branch) == count.bit_length()


def test_script_number_matches_bip34_encoding():
    assert blocks.script_number(102) == bytes.fromhex("0166")
    assert blocks.script_number(128) == bytes.fromhex("028000")
    assert blocks.script_number(500) == bytes.fromhex("02f401")
    assert blocks.script_number(16) == bytes([0x60])
    assert blocks.script_number(-1) == bytes.fromhex("0181")
