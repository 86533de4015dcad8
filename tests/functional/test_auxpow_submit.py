"""submitauxblock: every reply the pool can get, and proofs that an aux node would accept."""

import json

import pytest

from conftest import SANITIZER_MARKS
from framework.auxpow_checker import AuxPowError, check_auxpow, parse_auxpow
from framework.fake_aux import (FakeAux, aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_count,
                                wait_exact)
from framework.fake_daemon import FakeDaemon, free_port
from framework.proxy import Proxy, parent_entry, rpc_body


def error_body(message):
    return ('{"result":null,"error":{"code":-1,"message":"%s"},"id":null}\n' % message).encode()


class Pool:
    """A proxy in front of a fake parent whose template can change, with aux chains."""

    def __init__(self, proxy_factory, fake_daemon, chains, txids=None, **settings):
        self.template = parent_template(random_txids(5) if txids is None else txids)
        parent = fake_daemon(lambda request: (200, self.template))
        self.proxy = proxy_factory({"parent": parent_entry(parent),
                                    "aux_chains": [aux_chain_entry(n, a) for n, a in chains], **settings})

    def work(self, segwit=False, extranonce=b"\0" * 8):
        """getblocktemplate, then the coinbase and header a pool would mine from it."""
        result = template_result(self.proxy.rpc("getblocktemplate").body)
        coinbase = build_coinbase(result, extranonce, segwit)
        return result, coinbase, build_header(result, coinbase)

    def submit(self, param, id=1):
        return self.proxy.rpc("submitauxblock", [param], id=id)


@pytest.fixture
def pool(proxy_factory, fake_daemon):
    return lambda chains, **kw: Pool(proxy_factory, fake_daemon, chains, **kw)


@pytest.fixture(scope="module")
def kept_pool(tmp_path_factory, skerrow_bin):
    """kept_pool(name=chain id, ...) -> (Pool, [(name, FakeAux)]): the pool of these aux chains,
    made by the first test that asks for them and kept for the rest of the module, for tables
    whose rows change only what the daemons answer. A test sets the parent's template and the
    aux daemons' answers it relies on, and reads the daemons' records and the log past what
    was there before it."""
    daemons, proxies, pools = [], [], {}

    def make_daemon(handler):
        daemons.append(FakeDaemon(handler))
        return daemons[-1]

    def make_proxy(config):
        proxies.append(Proxy(config, tmp_path_factory.mktemp("proxy"), skerrow_bin))
        return proxies[-1].start()

    def get(**chain_ids):
        key = tuple(chain_ids.items())
        if key not in pools:
            chains = [(name, FakeAux(chain_id)) for name, chain_id in chain_ids.items()]
            daemons.extend(aux for _, aux in chains)
            pools[key] = Pool(make_proxy, make_daemon, chains), chains
        return pools[key]

    yield get
    for proxy in proxies:
        proxy.stop()
    for daemon in daemons:
        daemon.stop()
    # As proxy_factory does for its proxies: a sanitizer build reports on stderr only.
    reports = [line for proxy in proxies for line in proxy.lines() if any(m in line for m in SANITIZER_MARKS)]
    assert not reports, "sanitizer report in the proxy's output:\n" + "\n".join(reports)


@pytest.mark.parametrize("txs", [0, 1, 7])
@pytest.mark.parametrize("segwit", [False, True])
def test_proofs_for_every_chain_are_accepted(kept_pool, txs, segwit):
    p, chains = kept_pool(a=1, b=2, c=4)
    p.template = parent_template(random_txids(txs))
    mark = p.proxy.mark()
    _, coinbase, header = p.work(segwit)
    for name, aux in chains:
        seen = len(aux.submissions), len(aux.verdicts)
        response = p.submit(submit_param(name, aux.hash, coinbase, header), id=9)
        assert response.body == b'{"result":"true","error":null,"id":null}\n'
        assert aux.verdicts[seen[1]:] == [(True, "")]
        proof = parse_auxpow(aux.submissions[seen[0]][1])
        assert proof.coinbase.raw == coinbase
        assert proof.header == header
        assert proof.parent_hash == b"\0" * 32
        assert len(proof.chain_branch) == 2
    depth = {0: 0, 1: 1, 7: 3}[txs]
    size = len(coinbase) + 122 + 32 * (depth + 2)
    wait_exact(p.proxy, f"info(http): submitauxblock: proof {size} bytes for b (cb_branch={depth}, aux_branch=2)",
               since=mark)
    wait_exact(p.proxy, "info(http): submitauxblock result for c: true", since=mark)
    assert p.proxy.count_lines("no snapshot's coinbase branch") == 0


def test_any_changed_byte_in_a_branch_is_rejected(pool, fake_aux):
    aux = fake_aux(2)
    p = pool([("x", fake_aux(1)), ("y", aux)], txids=random_txids(3))
    _, coinbase, header = p.work()
    p.submit(submit_param("y", aux.hash, coinbase, header))
    proof = bytes.fromhex(aux.submissions[0][1])
    check_auxpow(proof, aux.hash, 2)

    start = len(coinbase) + 32  # the coinbase branch count, entries, mask, then the chain branch
    end = len(proof) - 80
    for i in range(start, end):
        changed = bytearray(proof)
        changed[i] ^= 0x01
        with pytest.raises(AuxPowError):
            check_auxpow(bytes(changed), aux.hash, 2)


def test_every_error_reply(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)])
    _, coinbase, header = p.work()
    proxy = p.proxy

    def post(body):
        return proxy.post(body)

    assert post(rpc_body("submitauxblock", [5])).body == error_body("invalid params")
    assert post(b'{"method":"submitauxblock","id":1}').body == error_body("invalid params")
    wait_count(proxy, "warning(http): submitauxblock: failed to extract params", 2)
    assert p.submit(submit_param("nope", aux.hash, coinbase, header)).body == error_body("unknown chain")
    wait_exact(proxy, "warning(http): submitauxblock: unknown chain nope")

    plain = build_coinbase({"height": 5})
    assert p.submit(submit_param("c", aux.hash, plain, header)).body == error_body("no AuxPoW commitment in coinbase")
    wait_exact(proxy, "warning(http): submitauxblock: no AuxPoW commitment found in coinbase for c")

    stale_root = "77" * 32
    stale = build_coinbase({"height": 5, "coinbaseaux": {"flags": "fabe6d6d" + stale_root + "01000000" + "00000000"}})
    assert p.submit(submit_param("c", aux.hash, stale, header)).body == error_body("stale aux snapshot")
    wait_exact(proxy, f"warning(http): submitauxblock: no snapshot for merkle root {stale_root} (chain c)")

    # Malformed fields are the handler's error: status 502, no reply of its own.
    for param in ["c:" + aux.hash + ":" + coinbase.hex(),                     # three fields
                  submit_param("c", aux.hash, coinbase, header)[:-1],       # header 159 digits
                  "c:h:" + coinbase.hex() + "0:" + header.hex(),             # odd coinbase
                  "c:h:" + coinbase.hex()[:-2] + "zz:" + header.hex()]:      # bad digit
        response = p.submit(param)
        assert response.status == 502
    wait_count(proxy, "warning(http): HTTP handler error: error.InvalidAuxSubmit", 4)
    assert aux.submissions == []


@pytest.mark.parametrize("mode, error", [("reset", None), ("garbage", "error.SyntaxError"),
                                         ("no_result", "error.MissingResult")])
def test_aux_daemon_failures(kept_pool, mode, error):
    p, [(_, aux)] = kept_pool(c=1)
    mark = p.proxy.mark()
    _, coinbase, header = p.work()
    aux.submit_mode, aux.submit_result = mode, "check"
    response = p.submit(submit_param("c", aux.hash, coinbase, header))
    assert response.status == 200
    assert response.body == error_body("aux daemon RPC failed")
    line = p.proxy.wait_for_line("error(http): submitauxblock RPC failed for c: ", since=mark)
    if error:
        assert line.endswith(error)


@pytest.mark.parametrize("result, text", [(False, "false"), (None, "null"), ("duplicate", "duplicate"),
                                          ('say "hi"\n', 'say "hi"\n'), ({"a": [1, "b"]}, '{"a":[1,"b"]}')])
def test_daemon_results_are_relayed_as_escaped_text(kept_pool, result, text):
    p, [(_, aux)] = kept_pool(c=1)
    aux.submit_mode, aux.submit_result = "ok", result
    mark = p.proxy.mark()
    _, coinbase, header = p.work()
    response = p.submit(submit_param("c", aux.hash, coinbase, header))
    assert response.status == 200
    assert response.json() == {"result": text, "error": None, "id": None}
    # A line feed in the result cannot start a log line of its own.
    wait_exact(p.proxy, "info(http): submitauxblock result for c: " + text.replace("\n", "\\x0a"), since=mark)
    assert p.proxy.count_lines("aux block accepted", since=mark) == 0
    # A refusal must stand out from a find in the log (written after the result line, so
    # waited for in its own right).
    if text in ("false", "null"):
        wait_exact(p.proxy, f"warning(http): aux block rejected for c: {text}", since=mark)
    else:
        assert p.proxy.count_lines("aux block rejected", since=mark) == 0


def test_a_refusing_daemon_error_reaches_the_pool_as_an_error(pool, fake_aux):
    aux = fake_aux(1)
    aux.submit_mode = "error"
    p = pool([("c", aux)])
    _, coinbase, header = p.work()
    response = p.submit(submit_param("c", aux.hash, coinbase, header))
    assert response.status == 200
    assert response.body == b'{"result":null,"error":{"code":-8,"message":"block hash unknown"},"id":null}\n'
    wait_exact(p.proxy, "error(http): aux daemon refused the block for c: block hash unknown")
    assert p.proxy.count_lines("submitauxblock result for") == 0


def test_pool_texts_are_escaped_for_the_daemon_and_cut_in_the_log(pool, fake_aux):
    aux = fake_aux(1)
    aux.submit_result = False
    p = pool([("c", aux)])
    _, coinbase, header = p.work()
    # No escape processing of the pool's parameter: a lone backslash reaches the daemon as one.
    raw = ('{"method":"submitauxblock","params":["c:ab\\:%s:%s"]}' % (coinbase.hex(), header.hex())).encode()
    assert p.proxy.post(raw).json()["result"] == "false"
    assert aux.submissions[0][0] == "ab\\"

    long_name, long_hash = "n" * 300, "h" * 300
    assert p.submit(submit_param(long_name, long_hash, coinbase, header)).body == error_body("unknown chain")
    wait_exact(p.proxy, f"info(http): submitauxblock for {'n' * 128}...: aux_hash={'h' * 128}...")
    wait_exact(p.proxy, f"warning(http): submitauxblock: unknown chain {'n' * 128}...")


def test_aux_hash_is_sent_in_lower_case(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)])
    _, coinbase, header = p.work()
    upper = aux.hash.upper()
    assert p.submit(submit_param("c", upper, coinbase, header)).json()["result"] == "true"
    assert aux.submissions[0][0] == aux.hash
    wait_exact(p.proxy, f"info(http): submitauxblock for c: aux_hash={upper}")
    assert p.submit(submit_param("c", "not-a-HASH", coinbase, header)).json()["result"] == "false"
    assert aux.submissions[1][0] == "not-a-HASH"


def test_the_snapshot_matching_the_header_is_used(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)], txids=random_txids(3, seed=1), metrics_listen=f"127.0.0.1:{free_port()}")
    first = p.work()
    p.template = parent_template(random_txids(6, seed=2))
    second = p.work()
    p.template = parent_template(random_txids(1, seed=3))
    p.work()  # the newest snapshot, same aux root again
    assert first[0]["aux_merkle_root"] == second[0]["aux_merkle_root"]

    for result, coinbase, header in (first, second):
        assert p.submit(submit_param("c", aux.hash, coinbase, header)).json()["result"] == "true"
    assert aux.verdicts == [(True, ""), (True, "")]
    wait_count(p.proxy, "info(http): submitauxblock result for c: true", 2)
    assert p.proxy.count_lines("no snapshot's coinbase branch") == 0

    # A header over other transactions matches no snapshot: the newest is used, with a warning.
    _, coinbase, _ = first
    foreign = build_header({**first[0], "transactions": [{"txid": t} for t in random_txids(2, seed=9)]}, coinbase)
    assert p.submit(submit_param("c", aux.hash, coinbase, foreign)).json()["result"] == "false"
    p.proxy.wait_for_line("warning(http): submitauxblock: no snapshot's coinbase branch matches the header "
                          "for c, using the newest")
    assert len(parse_auxpow(aux.submissions[-1][1]).coinbase_branch) == 1
    lookups = 'skerrow_snapshot_lookups_total{outcome="%s"}'
    assert [p.proxy.metric(lookups % o) for o in ("found", "not_found", "branch_mismatch")] == [2, 0, 1]
    assert p.proxy.metric('skerrow_aux_submissions_total{chain="c",result="rejected"}') == 1
