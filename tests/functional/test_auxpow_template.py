"""Block templates through the proxy: the commitment in the coinbase flags, the aux fields in
the result, the coinbase branch, and every byte of the parent's reply kept."""

import json
import time

import pytest

from framework.auxpow_checker import sha256d
from framework.fake_aux import (EASY_TARGET, aux_chain_entry, build_coinbase, build_header,  # noqa: F401
                                fake_aux, parent_template, random_txids, submit_param, template_result,
                                wait_count, wait_exact)
from framework.fake_daemon import free_port, http_reply
from framework.proxy import parent_entry


def start(proxy_factory, fake_daemon, chains, template):
    parent = fake_daemon(lambda request: (200, template))
    return proxy_factory({"parent": parent_entry(parent), "aux_chains": chains})


def commitment(root_hex: str, size: int, nonce: int = 0) -> str:
    return "fabe6d6d" + root_hex + size.to_bytes(4, "little").hex() + nonce.to_bytes(4, "little").hex()


def expected_fields(root_hex, size, chains):
    """The aux fields text, written out by hand for chains given as (name, hash, target, diff, position)."""
    elements = ",".join('{"chain_id":"%s","hash":"%s","target":"%s","diff":%s,"slot":%d}' % c for c in chains)
    return ('"aux_merkle_root":"%s","aux_tree_size":%d,"aux_tree_nonce":0,"n_aux_chains":%d,"aux_chains":[%s]'
            % (root_hex, size, len(chains), elements))


def spliced(template: bytes, coinbaseaux: str, placed: str, fields: str) -> bytes:
    """The answer the proxy owes for `template`: `placed` in place of the coinbaseaux text, the aux
    fields before the last '},"error"', and the newline."""
    text = template.decode()
    cut = text.rindex('},"error"')
    text = text[:cut] + "," + fields + text[cut:]
    return (text.replace('"coinbaseaux":' + coinbaseaux, '"coinbaseaux":' + placed, 1) + "\n").encode()


@pytest.mark.parametrize("coinbaseaux, placed", [
    ('{"flags":"062f503253482f"}', '{"flags":"062f503253482f%s"}'),
    ('{}', '{"flags":"%s"}'),
    ('{"extra":"1"}', '{"flags":"%s","extra":"1"}'),
    ('{"extra":"1","flags" :"ab"}', '{"extra":"1","flags" :"ab%s"}'),
    (' {"flags" : "00"}', ' {"flags" : "00%s"}'),  # blanks between tokens
    ('{"flags":"ab\\""}', '{"flags":"ab\\"%s"}'),  # a flags text ending in an escaped quote
])
def test_commitment_placement_and_aux_fields_are_spliced_byte_exactly(proxy_factory, fake_daemon, fake_aux,
                                                                         coinbaseaux, placed):
    aux = fake_aux(1, hash="AB" * 32)
    template = parent_template(random_txids(2), coinbaseaux=coinbaseaux)
    proxy = start(proxy_factory, fake_daemon, [aux_chain_entry("one", aux)], template)
    body = proxy.rpc("getblocktemplate").body

    root = "ab" * 32  # one chain: the root is its hash, in lower case
    if "%s" in placed:
        placed = placed % commitment(root, 1)
    fields = expected_fields(root, 1, [("one", "AB" * 32, EASY_TARGET, "65793.003922", 0)])
    assert body == spliced(template, coinbaseaux, placed, fields)


NOT_JSON = "warning(http): getblocktemplate: parent's reply is not valid JSON, sent without aux work"
NO_PLACE = "warning(http): getblocktemplate: no place for the aux commitment in the parent's reply"


@pytest.mark.parametrize("template, warning", [
    (parent_template([], coinbaseaux='{"flags":"00","flags":"01"}'), NOT_JSON),       # a repeated key
    (parent_template([], coinbaseaux='{"flags":"00","x":"Z"}').replace(b"Z", b"\xff"), NOT_JSON),  # bad UTF-8
    (parent_template([]) + b" x", NOT_JSON),                                          # trailing bytes
    (parent_template([], coinbaseaux='{"flags":"00","x":NaN}'), NOT_JSON),
    (parent_template([], coinbaseaux='"none"'), NO_PLACE),
    (parent_template([], coinbaseaux='{"flags":1}'), NO_PLACE),                       # flags not a text
    (parent_template([]).replace(b'"coinbaseaux"', b'"other"'), NO_PLACE),
], ids=["repeated key", "bad UTF-8", "trailing bytes", "NaN", "coinbaseaux a text", "flags a number",
        "no coinbaseaux"])
def test_a_reply_without_provable_work_is_passed_unchanged_with_a_warning(proxy_factory, fake_daemon, fake_aux,
                                                                          template, warning):
    # Then a good template: its snapshot is the only one kept.
    replies = iter([template, parent_template([])])
    parent = fake_daemon(lambda request: (200, next(replies)))
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("one", fake_aux(1))],
                           "metrics_listen": f"127.0.0.1:{free_port()}"})
    assert proxy.rpc("getblocktemplate").body == template + b"\n"
    wait_exact(proxy, warning)
    assert b"fabe6d6d" in proxy.rpc("getblocktemplate").body
    assert proxy.metric("skerrow_snapshots_stored_total") == 1
    assert proxy.count_lines("warning(http): getblocktemplate:") == 1


def unique_keys(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), keys
    return dict(pairs)


@pytest.mark.parametrize("shape", ["line breaks", "flags elsewhere", "escaped flags key"])
def test_aux_work_goes_where_a_strict_parse_finds_the_result(proxy_factory, fake_daemon, fake_aux, shape):
    aux = fake_aux(1, hash="AB" * 32)
    if shape == "line breaks":
        template = json.dumps(json.loads(parent_template(random_txids(2))), indent=2).encode()
    elif shape == "flags elsewhere":  # a "flags" text before the result's coinbaseaux
        template = parent_template(random_txids(1)).replace(b'"depends":[]', b'"depends":[],"flags":"ee"')
    else:
        template = parent_template(random_txids(1), coinbaseaux='{"fl\\u0061gs":"062f"}')
    proxy = start(proxy_factory, fake_daemon, [aux_chain_entry("one", aux)], template)
    body = proxy.rpc("getblocktemplate").body

    root = "ab" * 32
    mark = commitment(root, 1)
    fields = expected_fields(root, 1, [("one", "AB" * 32, EASY_TARGET, "65793.003922", 0)])
    result = json.loads(body, object_pairs_hook=unique_keys)["result"]
    assert result["coinbaseaux"]["flags"] == json.loads(template)["result"]["coinbaseaux"]["flags"] + mark
    assert list(result)[-5:] == ["aux_merkle_root", "aux_tree_size", "aux_tree_nonce", "n_aux_chains", "aux_chains"]
    # Nothing else changed: without the two insertions the parent's bytes are left.
    assert body.decode().replace(mark, "", 1).replace("," + fields, "", 1) == template.decode() + "\n"


def test_tree_of_three_chains_with_one_invalid(proxy_factory, fake_daemon, fake_aux):
    # Chain ids 1, 2, 4 sit in slots 3, 0, 2 of a tree of 4; the middle chain fails.
    a, b, c = fake_aux(1), fake_aux(2), fake_aux(4)
    b.template_mode = "error"
    template = parent_template(random_txids(1))
    proxy = start(proxy_factory, fake_daemon, [aux_chain_entry(n, x) for n, x in (("a", a), ("b", b), ("c", c))],
                  template)
    result = json.loads(proxy.rpc("getblocktemplate").body)["result"]

    leaves = [b"\0" * 32] * 4
    leaves[3] = bytes.fromhex(a.hash)[::-1]
    leaves[2] = bytes.fromhex(c.hash)[::-1]
    root = sha256d(sha256d(leaves[0] + leaves[1]) + sha256d(leaves[2] + leaves[3]))[::-1].hex()
    assert result["aux_merkle_root"] == root
    assert result["aux_tree_size"] == 4
    assert result["n_aux_chains"] == 2
    assert [(x["chain_id"], x["hash"], x["slot"]) for x in result["aux_chains"]] == [("a", a.hash, 0), ("c", c.hash, 2)]
    assert result["coinbaseaux"]["flags"] == "062f503253482f" + commitment(root, 4)


def test_chain_names_are_json_escaped(proxy_factory, fake_daemon, fake_aux):
    aux = fake_aux(1)
    name = 'we"ird\\name\t'
    proxy = start(proxy_factory, fake_daemon, [aux_chain_entry(name, aux)], parent_template([]))
    result = json.loads(proxy.rpc("getblocktemplate").body)["result"]
    assert result["aux_chains"][0]["chain_id"] == name


def test_coinbase_branch_log_lines(proxy_factory, fake_daemon, fake_aux):
    aux = fake_aux(1)
    replies = iter([parent_template(random_txids(3)), parent_template([]),
                    b'{"result":{"coinbaseaux":{},"transactions":[{"txid":"zz"},{"txid":"' + b"a" * 64 + b'"}]},'
                    b'"error":null}',
                    b"not json at all"])
    parent = fake_daemon(lambda request: (200, next(replies)))
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("c", aux)]})
    for _ in range(4):
        assert proxy.rpc("getblocktemplate").status == 200
    wait_count(proxy, "info(http): getblocktemplate: got ", 4)
    lines = [l for l in proxy.lines() if "Merkle branch" in l]
    # No line for an empty list or a reply that is not JSON; unusable txids are not counted.
    assert lines == ["info(http): coinbase Merkle branch: depth=2 from 3 transactions",
                     "info(http): coinbase Merkle branch: depth=1 from 1 transactions"]


def test_without_aux_chains_getblocktemplate_is_passed_through(proxy_factory, fake_daemon):
    template = parent_template(random_txids(2))
    parent = fake_daemon(lambda request: (200, template))
    proxy = proxy_factory({"parent": parent_entry(parent)})
    response = proxy.rpc("getblocktemplate")
    assert response.body == template + b"\n"
    wait_exact(proxy, f"info(http): got {len(template)}-byte response from parent, sending to client")
    assert proxy.count_lines("Merkle branch") == 0


def test_a_16_MiB_template_is_rewritten_and_proved_and_a_reply_over_64_MiB_is_refused(proxy_factory, fake_daemon,
                                                                                       fake_aux):
    aux = fake_aux(1)
    txids = random_txids(20000)
    template = parent_template(txids, tx_data="00" * 320)
    assert 16 << 20 <= len(template) < 17 << 20, len(template)
    # The same template padded with blanks (still a valid reply) to 64 MiB + 1 byte, headers
    # included: over the limit by its size alone.
    total = (64 << 20) + 1
    head = len(http_reply(200, b"")) - 1 + len(str(total))  # Content-Length has 8 digits
    padded = template + b" " * (total - head - len(template))
    assert len(http_reply(200, padded)) == total
    replies = iter([template, padded])
    parent = fake_daemon(lambda request: (200, next(replies)))
    proxy = proxy_factory({"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("c", aux)]})

    started = time.monotonic()
    body = proxy.rpc("getblocktemplate").body
    elapsed = time.monotonic() - started
    flags = '{"flags":"062f503253482f"}'
    placed = '{"flags":"062f503253482f%s"}' % commitment(aux.hash, 1)
    fields = expected_fields(aux.hash, 1, [("c", aux.hash, EASY_TARGET, "65793.003922", 0)])
    assert body == spliced(template, flags, placed, fields)
    wait_exact(proxy, "info(http): coinbase Merkle branch: depth=15 from 20000 transactions")
    result = template_result(body)
    coinbase = build_coinbase(result)
    submitted = proxy.rpc("submitauxblock", [submit_param("c", aux.hash, coinbase, build_header(result, coinbase))])
    assert submitted.body == b'{"result":"true","error":null,"id":null}\n'
    assert aux.verdicts == [(True, "")]

    refused = proxy.rpc("getblocktemplate")
    assert refused[::2] == (502, b'{"result":null,"error":{"code":-1,"message":"upstream connection failed"},'
                                 b'"id":null}\n')
    wait_exact(proxy, "warning(http): HTTP handler error: error.StreamTooLong")
    print(f"20000-transaction template ({len(template)} bytes) answered in {elapsed * 1000:.0f} ms")
