"""Who may use the proxy: client credentials ("listen_user", "listen_pass"), the method
allow-list ("allowed_methods") and the warning for an exposed listener without credentials.
Every daemon records its calls, so "nothing reached a daemon" is checked, not assumed.

The proxy of one configuration serves every row and test that uses that configuration, so
each test looks only at what its own requests did: the daemons' calls and the log lines
after its own mark."""

import base64
import json
import re
import signal
import threading
import time

import pytest

from conftest import SANITIZER_MARKS
from framework.fake_aux import (FakeAux, aux_chain_entry, parent_template, random_txids, template_result,
                                wait_count, wait_exact)
from framework.fake_daemon import FakeDaemon, free_port, json_result
from framework.proxy import Proxy, parent_entry, rpc_body

UNAUTHORIZED = b'{"result":null,"error":{"code":-32001,"message":"unauthorized"},"id":null}'
NOT_ALLOWED = b'{"result":null,"error":{"code":-32601,"message":"method not allowed"},"id":null}'
TEMPLATE = parent_template(random_txids(2))
USER, PASSWORD = "pool", "s3cret:pw"
GUARDED = {"listen_user": USER, "listen_pass": PASSWORD}


def response_bytes(status_line, body):
    return (status_line + "\r\nContent-Type: application/json\r\nContent-Length: "
            + str(len(body) + 1) + "\r\nConnection: close\r\n\r\n").encode() + body + b"\n"


def parent_handler(request):
    return 200, TEMPLATE if request.method == "getblocktemplate" else json_result(7, request)


@pytest.fixture(scope="module")
def configured(tmp_path_factory, skerrow_bin):
    """configured(**settings) -> (proxy, parent, aux): a proxy with these top-level settings in
    front of a parent and one aux chain "one", started by the first test that asks for these
    settings and kept for the rest of the module. The timer refresh is off: a shared proxy
    lives longer than its 5 s default, and a fetch of its own would show as a daemon call or
    a log line of whichever test was running."""
    made = {}

    def get(**settings):
        key = json.dumps(settings, sort_keys=True)
        if key not in made:
            parent, aux = FakeDaemon(parent_handler), FakeAux(1)
            proxy = Proxy({"parent": parent_entry(parent, "rpc", "daemonpw"),
                           "aux_chains": [aux_chain_entry("one", aux)], "aux_refresh_ms": 0, **settings},
                          tmp_path_factory.mktemp("proxy"), skerrow_bin)
            made[key] = (proxy, parent, aux)
            proxy.start()
            # The aux template fetched at start-up is in before a test looks at calls and lines.
            wait_exact(proxy, f"info(auxpow): aux template for one: hash={aux.hash} diff=65793.004")
        return made[key]

    yield get
    reports = []
    for proxy, parent, aux in made.values():
        proxy.stop()
        parent.stop()
        aux.stop()
        reports += [line for line in proxy.lines() if any(m in line for m in SANITIZER_MARKS)]
    # As proxy_factory does for its proxies: a sanitizer build reports on stderr only.
    assert not reports, "sanitizer report in the proxy's output:\n" + "\n".join(reports)


HANGUP = "info(skerrow): configuration reloaded, 0 changes applied"


def settled_mark(proxy) -> int:
    """A mark past every line of the requests before it, which on a shared proxy could
    otherwise land past the next test's mark. A line written before its reply may still be
    unread from the proxy's stderr when the reply arrives: the reload's last line (SIGHUP with
    the file unchanged changes nothing) comes after it. "response sent to client" is written after a passthrough's
    reply: one for each "proxying" line."""
    before = proxy.mark()
    proxy.process.send_signal(signal.SIGHUP)
    wait_exact(proxy, HANGUP, since=before)
    wait_count(proxy, "info(http): response sent to client", proxy.count_lines("info(http): proxying "))
    return proxy.mark()


def token(text: str) -> str:
    return base64.b64encode(text.encode()).decode()


# -- credentials ------------------------------------------------------------------------------

@pytest.mark.parametrize("header", ["Authorization", "authorization", "AUTHORIZATION"])
def test_right_credentials_are_served(configured, header):
    proxy, parent, aux = configured(**GUARDED)
    value = "Basic " + token(f"{USER}:{PASSWORD}")
    seen = len(parent.requests)
    assert proxy.post(rpc_body("getblockcount"), headers={header: value})[::2] == (200, b'{"result":7,"error":null,"id":1}\n')
    response = proxy.post(rpc_body("getblocktemplate"), headers={header: value})
    assert template_result(response.body)["aux_chains"][0]["hash"] == aux.hash
    # The client's credentials stay with the proxy: the parent gets the proxy's own.
    requests = parent.wait_for_requests(seen + 2)
    assert [r.method for r in requests[seen:]] == ["getblockcount", "getblocktemplate"]
    assert all(r.headers["Authorization"] == "Basic " + token("rpc:daemonpw") for r in requests)


@pytest.mark.parametrize("headers", [
    {},                                                          # none at all
    {"Authorization": "Basic " + token(f"other:{PASSWORD}")},    # wrong user
    {"Authorization": "Basic " + token(f"{USER}:s3cret")},       # wrong password
    {"Authorization": "Basic !!" + token(f"{USER}:{PASSWORD}")},  # malformed Base64
    {"Authorizatio": "Basic " + token(f"{USER}:{PASSWORD}")},   # not the header's name
], ids=["missing", "wrong-user", "wrong-password", "malformed", "name"])
@pytest.mark.parametrize("method", ["getblockcount", "getblocktemplate", "submitauxblock"])
def test_refused_credentials_reach_no_daemon(configured, headers, method):
    proxy, parent, aux = configured(**GUARDED)
    mark = settled_mark(proxy)
    calls = len(parent.requests), len(aux.fetches), len(aux.submissions)
    response = proxy.post(rpc_body(method, ["one:" + "00" * 32]), headers=headers)
    assert response.raw == response_bytes("HTTP/1.1 401 Bad Request", UNAUTHORIZED)
    time.sleep(0.1)  # a daemon call would have been made by now
    assert (len(parent.requests), len(aux.fetches), len(aux.submissions)) == calls
    # Refusals log at most a line a second, so this one may have been left out.
    assert all(line.startswith("warning(http): unauthorized request") for line in proxy.lines()[mark:])


def test_a_flood_of_refusals_logs_a_line_a_second_with_the_count_left_out(configured):
    proxy, _, _ = configured(**GUARDED, client_timeout_ms=20000)  # a proxy of its own
    mark = settled_mark(proxy)
    wrong = {"Authorization": "Basic " + token(f"{USER}:guess")}
    threads = [threading.Thread(target=proxy.post, args=(rpc_body("getblockcount"),), kwargs={"headers": wrong})
               for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    time.sleep(1.05)
    # A second after the last line: written, with the count of everything left out before it.
    assert proxy.post(rpc_body("getblockcount"), headers=wrong).status == 401

    def counted(lines):
        matches = [re.fullmatch(r"warning\(http\): unauthorized request(?: \((\d+) more not logged\))?", line)
                   for line in lines]
        assert all(matches), lines
        return sum(1 + int(m.group(1) or 0) for m in matches)

    deadline = time.monotonic() + 5
    while counted(proxy.lines()[mark:]) < 9 and time.monotonic() < deadline:
        time.sleep(0.02)
    lines = proxy.lines()[mark:]
    assert counted(lines) == 9 and len(lines) <= 3, lines


def test_refusal_is_paused_and_logs_no_secret(configured):
    proxy, _, _ = configured(**GUARDED)
    guess = token(f"{USER}:guess-{PASSWORD}")
    for _ in range(2):
        started = time.monotonic()
        assert proxy.post(rpc_body("getblockcount"), headers={"Authorization": "Basic " + guess}).status == 401
        assert 0.25 <= time.monotonic() - started < 5
    # The whole log of this proxy: every request it refused or served, this test's and the others'.
    log = "\n".join(proxy.lines())
    for secret in (PASSWORD, guess, token(f"{USER}:{PASSWORD}"), "getblockcount"):
        assert secret not in log


def test_credentials_are_checked_before_an_empty_body(configured):
    proxy, _, _ = configured(listen_user=USER)   # no listen_pass: empty
    assert proxy.post(b"").status == 401
    good = proxy.post(b"", headers={"Authorization": "Basic " + token(f"{USER}:")})
    assert good[::2] == (400, b'{"error":"empty body"}\n')


def test_refusal_pause_holds_no_lock(configured):
    # The pause holds its worker and nothing shared (neither the aux-state lock nor the log):
    # an authorised getblocktemplate made while three workers sit in their pauses is answered
    # by the fourth at once.
    proxy, _, _ = configured(**GUARDED)
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

def test_allow_list_admits_listed_methods_only(configured):
    proxy, parent, aux = configured(allowed_methods=["getblockcount", "getblocktemplate", "submitauxblock"])
    seen = len(parent.requests)
    assert proxy.rpc("getblockcount").body == b'{"result":7,"error":null,"id":1}\n'
    assert template_result(proxy.rpc("getblocktemplate").body)["aux_chains"][0]["hash"] == aux.hash
    # submitauxblock reaches its handler, which answers on its own.
    assert proxy.rpc("submitauxblock", []).body == (
        b'{"result":null,"error":{"code":-1,"message":"invalid params"},"id":null}\n')
    assert [r.method for r in parent.requests[seen:]] == ["getblockcount", "getblocktemplate"]

    mark = proxy.mark()
    response = proxy.rpc("getpeerinfo")
    assert response.raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, "warning(http): method not allowed: getpeerinfo", since=mark)
    assert len(parent.requests) == seen + 2


@pytest.mark.parametrize("listed", [[], ["getblockcount"]])
@pytest.mark.parametrize("method", ["getblocktemplate", "submitauxblock"])
def test_auxpow_methods_outside_the_list_are_refused(configured, listed, method):
    proxy, parent, aux = configured(allowed_methods=listed)
    calls = len(parent.requests), len(aux.fetches), len(aux.submissions)
    mark = proxy.mark()
    assert proxy.rpc(method, ["one:" + "00" * 32]).raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, f"warning(http): method not allowed: {method}", since=mark)
    time.sleep(0.1)
    assert (len(parent.requests), len(aux.fetches), len(aux.submissions)) == calls


@pytest.mark.parametrize("body, shown", [
    (b'{"params":[],"id":1}', ""),                                            # no method
    (b'{"method":"GetBlockCount"}', "GetBlockCount"),                         # case matters
    (b'{"params":[{"method":"getblockcount"}],"method":"stop"}', "stop"),     # nested decoy
    (b'[{"method":"getblockcount"},{"method":"stop"}]', "stop"),              # batch
    (b'{"method":"x\nerror(skerrow): forged line"}', "x\\x0aerror(skerrow): forged line"),
    (b'{"method":"' + b"m" * 300 + b'"}', "m" * 128 + "..."),
])
def test_refused_bodies_and_their_log_lines(configured, body, shown):
    proxy, parent, _ = configured(allowed_methods=["getblockcount"])
    mark = settled_mark(proxy)
    seen = len(parent.requests)
    assert proxy.post(body).raw == response_bytes("HTTP/1.1 200 OK", NOT_ALLOWED)
    wait_exact(proxy, "warning(http): method not allowed: " + shown, since=mark)
    assert proxy.lines()[mark:] == ["warning(http): method not allowed: " + shown]
    assert len(parent.requests) == seen


def test_batch_of_listed_methods_passes(configured):
    proxy, parent, _ = configured(allowed_methods=["getblockcount", "getbestblockhash"])
    seen = len(parent.requests)
    body = b'[{"method":"getblockcount","id":1},{"method":"getbestblockhash","id":2}]'
    assert proxy.post(body).status == 200
    assert parent.wait_for_requests(seen + 1)[seen].body == body


def test_credentials_before_allow_list(configured):
    proxy, parent, _ = configured(**GUARDED, allowed_methods=["getblockcount"])
    seen = len(parent.requests)
    right = {"Authorization": "Basic " + token(f"{USER}:{PASSWORD}")}
    assert proxy.post(rpc_body("getpeerinfo")).status == 401
    assert proxy.post(rpc_body("getpeerinfo"), headers=right)[::2] == (200, NOT_ALLOWED + b"\n")
    assert proxy.post(rpc_body("getblockcount"), headers=right).status == 200
    assert len(parent.requests) == seen + 1


def test_without_the_keys_every_request_passes(configured):
    proxy, parent, _ = configured()
    seen = len(parent.requests)
    bodies = [rpc_body("stop"), b'{"params":[]}', b"not json"]
    for body in bodies:
        assert proxy.post(body, headers={"Authorization": "Basic !!"}).status == 200
    assert [r.body for r in parent.wait_for_requests(seen + 3)[seen:]] == bodies
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
def test_password_without_user_warning(configured, settings, warned):
    proxy, _, _ = configured(**settings)
    assert proxy.lines().count(PASSWORD_ONLY) == (1 if warned else 0)
    if warned:
        # What the line warns of: the password alone lets every client in.
        assert proxy.post(rpc_body("getblockcount")).status == 200
