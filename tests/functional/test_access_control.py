"""Who may use the proxy: client credentials ("listen_user", "listen_pass"), the method
allow-list ("allowed_methods") and the warning for an exposed listener without credentials.
Every daemon records its calls, so "nothing reached a daemon" is checked, not assumed."""

import base64
import threading
import time

import pytest

from framework.fake_aux import (aux_chain_entry, fake_aux, parent_template, random_txids,  # noqa: F401
                                template_result, wait_exact)
from framework.fake_daemon import free_port, json_result
from framework.proxy import parent_entry, rpc_body

UNAUTHORIZED = b'{"result":null,"error":{"code":-32001,"message":"unauthorized"},"id":null}'
NOT_ALLOWED = b'{"result":null,"error":{"code":-32601,"message":"method not allowed"},"id":null}'
TEMPLATE = parent_template(random_txids(2))
USER, PASSWORD = "pool", "s3cret:pw"


def response_bytes(status_line, body):
    return (status_line + "\r\nContent-Type: application/json\r\nContent-Length: "
            + str(len(body) + 1) + "\r\nConnection: close\r\n\r\n").encode() + body + b"\n"


def parent_handler(request):
    return 200, TEMPLATE if request.method == "getblocktemplate" else json_result(7, request)


def start(proxy_factory, fake_daemon, fake_aux, **settings):
    parent = fake_daemon(parent_handler)
    aux = fake_aux(1)
    proxy = proxy_factory({"parent": parent_entry(parent, "rpc", "daemonpw"),
                           "aux_chains": [aux_chain_entry("one", aux)], **settings})
    # The aux template fetched at start-up is in before the test looks at calls and lines.
    wait_exact(proxy, f"info(auxpow): aux template for one: hash={aux.hash} diff=65793.004")
    return proxy, parent, aux


def token(text: str) -> str:
    return base64.b64encode(text.encode()).decode()


# -- credentials ------------------------------------------------------------------------------

@pytest.mark.parametrize("header", ["Authorization", "authorization", "AUTHORIZATION"])
def test_right_credentials_are_served(proxy_factory, fake_daemon, fake_aux, header):
    proxy, parent, aux = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER, listen_pass=PASSWORD)
    value = "Basic " + token(f"{USER}:{PASSWORD}")
    assert proxy.post(rpc_body("getblockcount"), headers={header: value})[::2] == (200, b'{"result":7,"error":null,"id":1}\n')
    response = proxy.post(rpc_body("getblocktemplate"), headers={header: value})
    assert template_result(response.body)["aux_chains"][0]["hash"] == aux.hash
    # The client's credentials stay with the proxy: the parent gets the proxy's own.
    requests = parent.wait_for_requests(2)
    assert all(r.headers["Authorization"] == "Basic " + token("rpc:daemonpw") for r in requests)


@pytest.mark.parametrize("headers", [
    {},                                                          # none at all
    {"Authorization": "Basic " + token(f"other:{PASSWORD}")},    # wrong user
    {"Authorization": "Basic " + token(f"{USER}:s3cret")},       # wrong password
    {"Authorization": "Basic !!" + token(f"{USER}:{PASSWORD}")},  # malformed Base64
    {"Authorizatio": "Basic " + token(f"{USER}:{PASSWORD}")},   # not the header's name
], ids=["missing", "wrong-user", "wrong-password", "malformed", "name"])
@pytest.mark.parametrize("method", ["getblockcount", "getblocktemplate", "submitauxblock"])
def test_refused_credentials_reach_no_daemon(proxy_factory, fake_daemon, fake_aux, headers, method):
    proxy, parent, aux = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER, listen_pass=PASSWORD)
    mark = proxy.mark()
    response = proxy.post(rpc_body(method, ["one:" + "00" * 32]), headers=headers)
    assert response.raw == response_bytes("HTTP/1.1 401 Bad Request", UNAUTHORIZED)
    wait_exact(proxy, "warning(http): unauthorized request", since=mark)
    time.sleep(0.1)  # a daemon call would have been made by now
    assert parent.requests == [] and len(aux.fetches) == 1 and aux.submissions == []
    assert proxy.lines()[mark:] == ["warning(http): unauthorized request"]


def test_refusal_is_paused_and_logs_no_secret(proxy_factory, fake_daemon, fake_aux):
    proxy, _, _ = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER, listen_pass=PASSWORD)
    guess = token(f"{USER}:guess-{PASSWORD}")
    for _ in range(2):
        started = time.monotonic()
        assert proxy.post(rpc_body("getblockcount"), headers={"Authorization": "Basic " + guess}).status == 401
        assert 0.25 <= time.monotonic() - started < 5
    log = "\n".join(proxy.lines())
    for secret in (PASSWORD, guess, token(f"{USER}:{PASSWORD}"), "getblockcount"):
        assert secret not in log


def test_credentials_are_checked_before_an_empty_body(proxy_factory, fake_daemon, fake_aux):
    proxy, _, _ = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER)   # no listen_pass: empty
    assert proxy.post(b"").status == 401
    good = proxy.post(b"", headers={"Authorization": "Basic " + token(f"{USER}:")})
    assert good[::2] == (400, b'{"error":"empty body"}\n')


def test_refusal_pause_holds_no_lock(proxy_factory, fake_daemon, fake_aux):
    # The pause holds its worker and nothing shared (neither the aux-state lock nor the log):
    # an authorised getblocktemplate made while three workers sit in their pauses is answered
    # by the fourth at once.
    proxy, _, _ = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER, listen_pass=PASSWORD)
    right = {"Authorization": "Basic " + token(f"{USER}:{PASSWORD}")}
    threads = [threading.Thread(target=proxy.post, args=(rpc_body("getblockcount"),), daemon=True)
               for _ in range(3)]
    for t in threads:
        t.start()
    time.sleep(0.05)
    started = time.monotonic()
    assert proxy.post(rpc_body("getblocktemplate"), headers=right).status == 200
    assert time.monotonic() - started < 0.25
    for t in threads:
        t.join(5)


# -- method allow-list -------------------------------------------------------------------------

def test_allow_list_admits_listed_methods_only(proxy_factory, fake_daemon, fake_aux):
    proxy, parent, aux = start(proxy_factory, fake_daemon, fake_aux,
                               allowed_methods=["getblockcount", "getblocktemplate", "submitauxblock"])
    assert proxy.rpc("getblockcount").body == b'{"result":7,"error":null,"id":1}\n'
    assert template_result(proxy.rpc("getblocktemplate").body)["aux_chains"][0]["hash"] == aux.hash
    # submitauxblock reaches its handler, which answers on its own.
    assert proxy.rpc("submitauxblock", []).body == (
        b'{"result":null,"error":{"code":-1,"message":"invalid params"},"id":null}\n')
    assert [r.method for r in parent.requests] == ["getblockcount", "getblocktemplate"]

    mark = proxy.mark()
    response = proxy.rpc("getpeerinfo")
    assert response.raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, "warning(http): method not allowed: getpeerinfo", since=mark)
    assert len(parent.requests) == 2


@pytest.mark.parametrize("listed", [[], ["getblockcount"]])
@pytest.mark.parametrize("method", ["getblocktemplate", "submitauxblock"])
def test_auxpow_methods_outside_the_list_are_refused(proxy_factory, fake_daemon, fake_aux, listed, method):
    proxy, parent, aux = start(proxy_factory, fake_daemon, fake_aux, allowed_methods=listed)
    mark = proxy.mark()
    assert proxy.rpc(method, ["one:" + "00" * 32]).raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, f"warning(http): method not allowed: {method}", since=mark)
    time.sleep(0.1)
    assert parent.requests == [] and len(aux.fetches) == 1 and aux.submissions == []


@pytest.mark.parametrize("body, shown", [
    (b'{"params":[],"id":1}', ""),                                            # no method
    (b'{"method":"GetBlockCount"}', "GetBlockCount"),                         # case matters
    (b'{"params":[{"method":"getblockcount"}],"method":"stop"}', "stop"),     # nested decoy
    (b'[{"method":"getblockcount"},{"method":"stop"}]', "stop"),              # batch
    (b'{"method":"x\nerror(skerrow): forged line"}', "x\\x0aerror(skerrow): forged line"),
    (b'{"method":"' + b"m" * 300 + b'"}', "m" * 128 + "..."),
])
def test_refused_bodies_and_their_log_lines(proxy_factory, fake_daemon, fake_aux, body, shown):
    proxy, parent, _ = start(proxy_factory, fake_daemon, fake_aux, allowed_methods=["getblockcount"])
    mark = proxy.mark()
    assert proxy.post(body).raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, "warning(http): method not allowed: " + shown, since=mark)
    assert proxy.lines()[mark:] == ["warning(http): method not allowed: " + shown]
    assert parent.requests == []


def test_batch_of_listed_methods_passes(proxy_factory, fake_daemon, fake_aux):
    proxy, parent, _ = start(proxy_factory, fake_daemon, fake_aux,
                             allowed_methods=["getblockcount", "getbestblockhash"])
    body = b'[{"method":"getblockcount","id":1},{"method":"getbestblockhash","id":2}]'
    assert proxy.post(body).status == 200
    assert parent.wait_for_requests(1)[0].body == body


def test_credentials_before_allow_list(proxy_factory, fake_daemon, fake_aux):
    proxy, parent, _ = start(proxy_factory, fake_daemon, fake_aux, listen_user=USER, listen_pass=PASSWORD,
                             allowed_methods=["getblockcount"])
    right = {"Authorization": "Basic " + token(f"{USER}:{PASSWORD}")}
    assert proxy.post(rpc_body("getpeerinfo")).status == 401
    assert proxy.post(rpc_body("getpeerinfo"), headers=right)[::2] == (200, NOT_ALLOWED + b"\n")
    assert proxy.post(rpc_body("getblockcount"), headers=right).status == 200
    assert len(parent.requests) == 1


def test_without_the_keys_every_request_passes(proxy_factory, fake_daemon, fake_aux):
    proxy, parent, _ = start(proxy_factory, fake_daemon, fake_aux)
    bodies = [rpc_body("stop"), b'{"params":[]}', b"not json"]
    for body in bodies:
        assert proxy.post(body, headers={"Authorization": "Basic !!"}).status == 200
    assert [r.body for r in parent.wait_for_requests(3)] == bodies
    assert proxy.post(b"")[::2] == (400, b'{"error":"empty body"}\n')
    assert not any("unauthorized" in l or "not allowed" in l or "without listen_user" in l
                   for l in proxy.lines())


# -- exposure warning --------------------------------------------------------------------------

def exposure_line(host, port):
    return (f"warning(http): listening on {host}:{port} without listen_user: any client that "
            "reaches it uses the parent daemon's RPC with its credentials")


@pytest.mark.parametrize("host, user, warned", [
    ("0.0.0.0", None, True),
    ("0.0.0.0", USER, False),
    ("127.0.0.1", None, False),
    ("127.3.2.1", None, False),   # all of 127.0.0.0/8 is this machine
])
def test_exposure_warning(proxy_factory, fake_daemon, host, user, warned):
    port = free_port()
    config = {"parent": parent_entry(fake_daemon()), "listen": f"{host}:{port}"}
    if user is not None:
        config["listen_user"] = user
    proxy = proxy_factory(config)
    lines = proxy.lines()
    listening = lines.index(f"info(http): HTTP JSON-RPC proxy listening on {host}:{port}")
    if warned:
        assert lines[listening + 1] == exposure_line(host, port)
    else:
        assert not any("without listen_user" in line for line in lines)


PASSWORD_ONLY = ("warning(http): listen_pass is set without listen_user: clients are not asked "
                 "for credentials")


@pytest.mark.parametrize("settings, warned", [
    ({"listen_pass": PASSWORD}, True),
    ({"listen_pass": ""}, True),                          # present is enough
    ({"listen_user": USER, "listen_pass": PASSWORD}, False),
    ({"listen_user": USER}, False),
    ({}, False),
])
def test_password_without_user_warning(proxy_factory, fake_daemon, settings, warned):
    proxy = proxy_factory({"parent": parent_entry(fake_daemon(parent_handler)), **settings})
    assert proxy.lines().count(PASSWORD_ONLY) == (1 if warned else 0)
    if warned:
        # What the line warns of: the password alone lets every client in.
        assert proxy.post(rpc_body("getblockcount")).status == 200
