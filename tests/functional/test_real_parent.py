"""The proxy in front of a real litecoind regtest parent, no aux chains configured."""

import json
import re

import pytest

from framework import blocks
from framework.litecoind import GBT_PARAMS, litecoin_pair, rpc_request  # noqa: F401 (fixture)


def parent_config(node, password=None):
    return {"parent": {"url": f"http://{node.rpc_url}", "user": node.user,
                       "pass": node.password if password is None else password}}


@pytest.fixture
def proxy(proxy_factory, litecoin_pair):
    return proxy_factory(parent_config(litecoin_pair[0]))


def without_curtime(raw: bytes) -> bytes:
    stripped, count = re.subn(rb'"curtime":\d+', b'"curtime":0', raw)
    assert count == 1, raw[:300]
    return stripped


def test_chain_queries_come_back_unchanged(proxy, litecoin_pair):
    node = litecoin_pair[0]
    body = rpc_request("getbestblockhash", id="best-1")
    mark = proxy.mark()
    reply = proxy.post(body)
    assert reply.status == 200
    assert reply.body == node.post(body)[1]
    assert json.loads(reply.body) == {"result": node.rpc("getbestblockhash"), "error": None,
                                      "id": "best-1"}
    proxy.wait_for_line(f"info(http): proxying {len(body)}-byte request to parent daemon",
                        since=mark)
    proxy.wait_for_line(f"info(http): got {len(reply.body)}-byte response from parent, "
                        "sending to client", since=mark)
    proxy.wait_for_line("info(http): response sent to client", since=mark)

    body = rpc_request("getblockchaininfo", id=7)
    reply = proxy.post(body)
    assert reply.status == 200
    assert reply.body.endswith(b"}\n") and not reply.body.endswith(b"\n\n")
    through, direct = json.loads(reply.body), json.loads(node.post(body)[1])
    for info in (through["result"], direct["result"]):
        info.pop("size_on_disk"), info.pop("verificationprogress")
    assert through == direct
    assert through["result"]["chain"] == "regtest"

    # A daemon error reply is a reply like any other.
    reply = proxy.post(rpc_request("getblockhash", [10**6], id=3))
    assert reply.status == 200
    assert json.loads(reply.body)["error"]["code"] == -8


def test_getblocktemplate_without_aux_chains_is_the_parents_reply(proxy, litecoin_pair):
    node = litecoin_pair[0]
    txids = node.send_transactions(2)
    node.wait_for_template_txs(txids)
    body = rpc_request("getblocktemplate", [GBT_PARAMS], id=0)

    mempool = sorted(node.rpc("getrawmempool"))
    tip = node.rpc("getbestblockhash")
    direct = node.post(body)[1]
    mark = proxy.mark()
    reply = proxy.post(body)
    assert sorted(node.rpc("getrawmempool")) == mempool
    assert node.rpc("getbestblockhash") == tip

    assert reply.status == 200
    assert without_curtime(reply.body) == without_curtime(direct)
    template = json.loads(reply.body)["result"]
    assert set(txids) <= {tx["txid"] for tx in template["transactions"]}
    assert template["coinbaseaux"] == {}
    assert "aux_merkle_root" not in template
    proxy.wait_for_line(f"info(http): proxying {len(body)}-byte request to parent daemon",
                        since=mark)
    assert proxy.count_lines("getblocktemplate: forwarding", since=mark) == 0


def test_wrong_parent_password_gives_an_empty_reply(proxy_factory, litecoin_pair):
    node = litecoin_pair[0]
    body = rpc_request("getbestblockhash")
    assert node.post(body, password="not-the-password") == (401, b"")

    proxy = proxy_factory(parent_config(node, password="not-the-password"))
    for request in (body, rpc_request("getblocktemplate", [GBT_PARAMS])):
        mark = proxy.mark()
        reply = proxy.post(request)
        assert (reply.status, reply.body) == (200, b"\n")
        proxy.wait_for_line("info(http): got 0-byte response from parent, sending to client",
                            since=mark)


def test_block_built_from_the_proxied_template_is_accepted(proxy, litecoin_pair):
    node0, node1 = litecoin_pair[0], litecoin_pair[1]
    txids = node0.send_transactions(3)
    node0.wait_for_template_txs(txids)
    reply = proxy.rpc("getblocktemplate", [GBT_PARAMS])
    assert reply.status == 200
    template = reply.json()["result"]
    assert set(txids) <= {tx["txid"] for tx in template["transactions"]}

    block = blocks.build_block(template, node0.script_of(litecoin_pair.address), b"viaproxy")
    block.solve()
    submitted = block.hex()
    body = rpc_request("submitblock", [submitted], id="sb")
    assert len(body) < 200_000      # well inside the proxy's request buffer
    reply = proxy.post(body)
    assert reply.status == 200
    assert json.loads(reply.body) == {"result": None, "error": None, "id": "sb"}

    best = proxy.rpc("getbestblockhash").json()["result"]
    assert best == block.hash == node0.rpc("getbestblockhash")
    assert set(txids) <= set(node0.rpc("getblock", best)["tx"])
    litecoin_pair.sync()
    assert node1.rpc("getbestblockhash") == block.hash

    # The same block again is a duplicate, and the daemon says so through the proxy.
    reply = proxy.post(rpc_request("submitblock", [submitted], id="again"))
    assert json.loads(reply.body)["result"] == "duplicate"
