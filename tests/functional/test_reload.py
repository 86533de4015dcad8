"""SIGHUP reads the configuration again: what may change while the proxy runs takes effect for
the requests after it, what is bound at the start is kept with a warning, and a file that
cannot be used changes nothing. Work handed out before a reload stays provable."""

import base64
import json
import re
import signal
import urllib.request

from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids,
                                submit_param, template_result, wait_exact)
from framework.fake_daemon import free_port
from framework.proxy import parent_entry, rpc_body

TEMPLATE = parent_template(random_txids(3))


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


def test_a_reload_applies_what_it_can_keeps_the_rest_and_survives_a_broken_file(fake_daemon, fake_aux,
                                                                                proxy_factory):
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    aux = fake_aux(1)
    settings = {"parent": parent_entry(parent), "aux_chains": [aux_chain_entry("c", aux)], "aux_refresh_ms": 0,
                "listen_user": "pool", "listen_pass": "old", "allowed_methods": ["getblocktemplate", "submitauxblock"]}
    proxy = proxy_factory(settings)
    old = basic("pool", "old")
    result = template_result(proxy.post(rpc_body("getblocktemplate"), headers=old).body)
    coinbase = build_coinbase(result)
    share = rpc_body("submitauxblock", [submit_param("c", aux.hash, coinbase, build_header(result, coinbase))])

    mark = proxy.mark()
    proxy.conf_path.write_text(json.dumps({**settings, "listen_pass": "new", "workers": 2,
                                           "listen": f"127.0.0.1:{free_port()}",
                                           "allowed_methods": ["getblocktemplate", "submitauxblock", "getblockcount"]}))
    proxy.process.send_signal(signal.SIGHUP)
    wait_exact(proxy, "info(skerrow): configuration reloaded, 2 changes applied", since=mark)
    # The reload's own lines: those of the template before it may still be on their way from the pipe.
    reload_lines = [line for line in proxy.lines()[mark:] if "(skerrow): " in line]
    assert sorted(reload_lines) == sorted([
        f"info(skerrow): reloading configuration {proxy.conf_path}",
        "warning(skerrow): reload: listen changed, kept until a restart",
        "warning(skerrow): reload: workers changed, kept until a restart",
        "info(skerrow): reload: listen_pass changed",
        "info(skerrow): reload: allowed_methods changed",
        "info(skerrow): configuration reloaded, 2 changes applied",
    ])
    new = basic("pool", "new")
    assert proxy.post(rpc_body("getblockcount"), headers=old).status == 401
    assert proxy.post(rpc_body("getblockcount"), headers=new).status == 200  # on the port it had, newly allowed
    # The work handed out before the reload is proven after it.
    assert proxy.post(share, headers=new).status == 200
    assert aux.verdicts == [(True, "")]

    mark = proxy.mark()
    proxy.conf_path.write_text('{"parent": {"url": "a"},}')
    proxy.process.send_signal(signal.SIGHUP)
    wait_exact(proxy, "warning(skerrow): configuration not reloaded, running values kept", since=mark)
    assert f"error(skerrow): failed to load config {proxy.conf_path}: error.SyntaxError" in proxy.lines()[mark:]
    assert proxy.post(rpc_body("getblockcount"), headers=new).status == 200


def test_a_reload_adds_removes_and_changes_aux_chains_and_kept_chains_work_stays_provable(
        fake_daemon, fake_aux, proxy_factory):
    parent = fake_daemon(lambda request: (200, TEMPLATE))
    a, b, d, c, b_moved = fake_aux(1), fake_aux(2), fake_aux(4), fake_aux(3), fake_aux(2)
    metrics_port = free_port()
    settings = {"parent": parent_entry(parent), "aux_refresh_ms": 0, "metrics_listen": f"127.0.0.1:{metrics_port}",
                "aux_chains": [aux_chain_entry("a", a), aux_chain_entry("b", b), aux_chain_entry("d", d)]}
    proxy = proxy_factory(settings)
    before = template_result(proxy.post(rpc_body("getblocktemplate")).body)
    assert [x["chain_id"] for x in before["aux_chains"]] == ["a", "b", "d"]
    coinbase = build_coinbase(before)
    header = build_header(before, coinbase)

    # c added in front, a kept (moved to the second place), b's daemon changed, d removed.
    mark = proxy.mark()
    proxy.conf_path.write_text(json.dumps({**json.loads(proxy.conf_path.read_text()), "aux_chains": [
        aux_chain_entry("c", c), aux_chain_entry("a", a), aux_chain_entry("b", b_moved)]}))
    proxy.process.send_signal(signal.SIGHUP)
    wait_exact(proxy, "info(skerrow): configuration reloaded, 3 changes applied", since=mark)
    assert [line for line in proxy.lines()[mark:] if "reload: " in line] == [
        "info(skerrow): reload: aux chain d removed",
        "info(skerrow): reload: aux chain c added",
        "info(skerrow): reload: aux chain b changed",
    ]

    # Work handed out before the reload: provable for the kept chain, gone for the removed one.
    assert proxy.post(rpc_body("submitauxblock", [submit_param("a", a.hash, coinbase, header)])).status == 200
    assert a.verdicts == [(True, "")]
    gone = proxy.post(rpc_body("submitauxblock", [submit_param("d", d.hash, coinbase, header)]))
    assert json.loads(gone.body)["error"]["message"] == "unknown chain"

    # New work: the chains of the file, in its order, b's from its new daemon, each provable.
    after = template_result(proxy.post(rpc_body("getblocktemplate")).body)
    assert [(x["chain_id"], x["hash"]) for x in after["aux_chains"]] == [
        ("c", c.hash), ("a", a.hash), ("b", b_moved.hash)]
    coinbase = build_coinbase(after)
    header = build_header(after, coinbase)
    for name, daemon in (("c", c), ("b", b_moved)):
        assert proxy.post(rpc_body("submitauxblock", [submit_param(name, daemon.hash, coinbase, header)])).status == 200
        assert daemon.verdicts == [(True, "")]
    assert b.verdicts == []

    # The metrics follow: no series of the removed chain, whose alerts would fire for ever.
    with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=10) as reply:
        exposition = reply.read().decode()
    valid = dict(re.findall(r'^skerrow_aux_template_valid\{chain="(\w+)"\} (\S+)$', exposition, re.M))
    assert valid == {"a": "1", "b": "1", "c": "1"}
    assert 'daemon="d"' not in exposition
