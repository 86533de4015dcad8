"""Backup daemons against fake ones: an aux chain whose main node hangs keeps its work coming
from the backup, a share goes to the node that issued its work, and a wallet call is never
repeated on another node once it reached one."""

import time

from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.fake_daemon import RawReply, json_result
from framework.proxy import parent_entry, rpc_body


def test_hung_aux_node_hands_over_to_its_backup(proxy_factory, fake_daemon, fake_aux):
    template = parent_template(random_txids(3))
    parent = fake_daemon(lambda request: (200, template))
    main, backup = fake_aux(7), fake_aux(7)
    proxy = proxy_factory({"parent": parent_entry(parent), "daemon_timeout_ms": 500, "aux_refresh_ms": 200,
                           "aux_chains": [aux_chain_entry("doge", main, backups=[{"url": backup.url}])]})
    first = template_result(proxy.rpc("getblocktemplate").body)
    assert first["aux_chains"][0]["hash"] == main.hash

    main.hang = True
    host, port = main.daemon.host, main.daemon.port
    wait_exact(proxy, f"warning(rpc): doge daemon {host}:{port} down (error.ConnectionTimedOut), "
                      f"using {backup.daemon.host}:{backup.daemon.port}", timeout=5)
    # Fresh work from the backup reaches the templates while the main node stays hung.
    fresh = backup.new_template()
    deadline = time.monotonic() + 5
    while True:
        result = template_result(proxy.rpc("getblocktemplate").body)
        if result["aux_chains"] and result["aux_chains"][0]["hash"] == fresh:
            break
        assert time.monotonic() < deadline, result.get("aux_chains")
        time.sleep(0.1)

    # A share on the backup's work goes to the backup, which issued it, and is accepted there.
    coinbase = build_coinbase(result)
    reply = proxy.rpc("submitauxblock", [submit_param("doge", fresh, coinbase, build_header(result, coinbase))])
    assert reply.json()["result"] == "true", reply.body
    assert [hash for hash, _ in backup.submissions] == [fresh]
    assert main.submissions == []


def test_wallet_call_that_reached_a_node_is_not_repeated(proxy_factory, fake_daemon):
    main = fake_daemon(lambda request: RawReply(then="hang"))
    backup = fake_daemon(lambda request: (200, json_result("backup", request)))
    proxy = proxy_factory({"parent": parent_entry(main, backups=[{"url": backup.url}]),
                           "daemon_timeout_ms": 300})
    reply = proxy.post(rpc_body("sendtoaddress", ["addr", 1]))
    assert reply.status == 502
    assert [r.method for r in main.requests] == ["sendtoaddress"]
    assert backup.requests == []
    wait_exact(proxy, f"warning(rpc): parent daemon {main.host}:{main.port} down (error.ConnectionTimedOut), "
                      f"using {backup.host}:{backup.port}")

    # While the main node rests, calls go to the backup.
    reply = proxy.post(rpc_body("getblockcount"))
    assert reply.json()["result"] == "backup"
