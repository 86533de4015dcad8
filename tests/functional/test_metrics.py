"""The Prometheus endpoint on "metrics_listen": nothing of it exists without the key, a bind
failure stops the start with one line, and a real Prometheus scrapes it, finds the values the
proxy's own log and its peers vouch for, evaluates the alert rules on them and runs every
query of the Grafana dashboard."""

from __future__ import annotations

import json
import pathlib
import re
import secrets
import socket
import subprocess
import threading
import time
import urllib.request

import pytest
import zmq

from framework.fake_aux import (FakeAux, build_coinbase, build_header, parent_template, random_txids,
                                submit_param, template_result)
from framework.fake_daemon import FakeDaemon, free_port, json_result
from framework.prometheus import (ALERT_RULES, ALERT_TESTS, DASHBOARD, JOB, Prometheus, by_label,
                                  require_tools)
from framework.proxy import Proxy, http_post, parent_entry, rpc_body
from conftest import SANITIZER_MARKS

CHAINS = ("dogecoin", "namecoin")  # dogecoin publishes hashblock, namecoin does not
DOGECOIN_CHAIN_ID = 1
AUX_REFRESH_MS = 2500


# -- what the process holds ---------------------------------------------------------------


def listening_ports(pid: int) -> set[int]:
    """Local ports of the TCP sockets in LISTEN state that process `pid` holds."""
    inodes = set()
    for fd in pathlib.Path(f"/proc/{pid}/fd").iterdir():
        try:
            target = fd.readlink().as_posix()
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in pathlib.Path(table).read_text().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def thread_names(pid: int) -> list[str]:
    return [(task / "comm").read_text().strip() for task in pathlib.Path(f"/proc/{pid}/task").iterdir()]


@pytest.mark.parametrize("with_metrics", [False, True], ids=["without key", "with key"])
def test_endpoint_exists_only_with_the_key(fake_daemon, proxy_factory, with_metrics):
    config = {"parent": parent_entry(fake_daemon())}
    metrics_port = free_port()
    if with_metrics:
        config["metrics_listen"] = f"127.0.0.1:{metrics_port}"
    proxy = proxy_factory(config)
    pid = proxy.process.pid
    # The web server names its threads once they run: give them a moment on a loaded machine.
    deadline = time.monotonic() + (5 if with_metrics else 0.5)
    while True:
        web_threads = [n for n in thread_names(pid) if n.startswith("civetweb")]
        if web_threads or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    if with_metrics:
        assert listening_ports(pid) == {proxy.port, metrics_port}
        assert web_threads, thread_names(pid)
        assert f"info(skerrow): metrics listening on 127.0.0.1:{metrics_port}" in proxy.lines()
    else:
        assert listening_ports(pid) == {proxy.port}
        assert web_threads == []
        assert not any("metrics" in line for line in proxy.lines())


@pytest.mark.parametrize("text, error", [
    ("127.0.0.1:{held}", "AddressInUse"),
    ("127.0.0.1", "InvalidListenAddress"),        # no port: 8332 would take the proxy's own
    ("127.0.0.1:70000", "InvalidListenAddress"),
    ("localhost:{free}", "InvalidCharacter"),
    ("192.0.2.1:{free}", "AddressNotAvailable"),  # no interface has it
])
def test_failed_endpoint_stops_the_start_with_one_line(fake_daemon, proxy_factory, text, error):
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    try:
        text = text.format(held=holder.getsockname()[1], free=free_port())
        proxy = proxy_factory({"parent": parent_entry(fake_daemon()), "metrics_listen": text},
                              wait=False)
        assert proxy.wait_exit() == 1
    finally:
        holder.close()
    lines = proxy.lines()
    assert lines[-1] == f"error(skerrow): metrics listener on {text} failed: error.{error}"
    assert [line for line in lines if line.startswith("error")] == [lines[-1]]
    assert not any("HTTP JSON-RPC proxy listening" in line for line in lines)


def test_alert_rules_pass_their_promtool_tests():
    require_tools("promtool")
    run = subprocess.run(["promtool", "test", "rules", str(ALERT_TESTS)], capture_output=True,
                         text=True, timeout=120, cwd=ALERT_TESTS.parent)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "SUCCESS" in run.stdout


# -- one proxy scraped by a real Prometheus -------------------------------------------------


class Stack:
    """A proxy with two aux chains (dogecoin's daemon a fake that answers no JSON until a test
    turns it on, namecoin's down, its backup too), ZMQ publishers standing in for the parent's and dogecoin's,
    a parent daemon that serves templates and holds "getblock" calls on request, and a
    Prometheus scraping the proxy's metrics."""

    def __init__(self, workdir: pathlib.Path, binary: str):
        self.release = threading.Event()
        self.release.set()

        def parent_handler(request):
            if request.method == "getblock":
                self.release.wait(30)
            if request.method == "getblocktemplate":
                return 200, parent_template(random_txids(3))
            return 200, json_result("ok", request)

        self.parent = FakeDaemon(parent_handler)
        self.dogecoin = FakeAux(DOGECOIN_CHAIN_ID)
        self.dogecoin.template_mode = "garbage"
        self.zctx = zmq.Context()
        self.publishers = {}
        endpoints = {}
        for name in ("parent", "dogecoin"):
            pub = self.zctx.socket(zmq.PUB)
            pub.bind("tcp://127.0.0.1:*")
            self.publishers[name] = pub
            endpoints[name] = pub.getsockopt(zmq.LAST_ENDPOINT).decode()
        self.zmq_pub = f"tcp://127.0.0.1:{free_port()}"
        self.metrics_port = free_port()
        self.proxy = Proxy({
            "parent": parent_entry(self.parent, zmq_hashblock=endpoints["parent"]),
            "aux_chains": [
                {"chain_id": "dogecoin", "url": self.dogecoin.url,
                 "zmq_hashblock": endpoints["dogecoin"]},
                {"chain_id": "namecoin", "url": f"127.0.0.1:{free_port()}",
                 "backups": [{"url": f"127.0.0.1:{free_port()}"}]},
            ],
            "zmq_pub": self.zmq_pub,
            "aux_refresh_ms": AUX_REFRESH_MS,
            "metrics_listen": f"127.0.0.1:{self.metrics_port}",
        }, workdir / "proxy", binary)
        self.started_at = time.time()
        self.proxy.start()
        self.prometheus = Prometheus(workdir / "prometheus", [f"127.0.0.1:{self.metrics_port}"])
        self.prometheus.start()
        self.instance = f"127.0.0.1:{self.metrics_port}"

    def scrape_text(self) -> str:
        url = f"http://127.0.0.1:{self.metrics_port}/metrics"
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.read().decode()

    def close(self):
        self.release.set()
        self.prometheus.stop()
        self.proxy.stop()
        self.parent.stop()
        self.dogecoin.stop()
        self.zctx.destroy(linger=0)


@pytest.fixture(scope="module")
def stack(tmp_path_factory, skerrow_bin):
    require_tools("prometheus", "promtool")
    s = Stack(tmp_path_factory.mktemp("metrics"), skerrow_bin)
    yield s
    s.close()
    # As proxy_factory does for its proxies: a sanitizer build reports on stderr only.
    reports = [line for line in s.proxy.lines() if any(m in line for m in SANITIZER_MARKS)]
    assert not reports, "sanitizer report in the proxy's output:\n" + "\n".join(reports)


def relay_notifications(stack: Stack, counts: dict[str, int]) -> dict[str, int]:
    """Publishes hashblock notifications until the proxy has relayed at least counts[name]
    from each publisher; returns how many it relayed by its own log."""
    sub = stack.zctx.socket(zmq.SUB)
    sub.setsockopt(zmq.SUBSCRIBE, b"")
    sub.connect(stack.zmq_pub)
    deadline = time.monotonic() + 15
    relayed = {}
    try:
        for name, wanted in counts.items():
            while (relayed.setdefault(name, stack.proxy.count_lines(f"hashblock from {name} ")) < wanted
                   and time.monotonic() < deadline):
                stack.publishers[name].send_multipart(
                    [b"hashblock", secrets.token_bytes(32), (1).to_bytes(4, "little")])
                sub.poll(100)  # ZeroMQ drops what is published before both hops connect
                while sub.poll(0):
                    sub.recv_multipart()
                relayed[name] = stack.proxy.count_lines(f"hashblock from {name} ")
    finally:
        sub.close(linger=0)
    time.sleep(0.2)  # a relay in flight ends up in the log too
    return {name: stack.proxy.count_lines(f"hashblock from {name} ") for name in counts}


def test_prometheus_reads_counters_and_per_chain_gauges(stack):
    prom = stack.prometheus
    version = subprocess.run([stack.proxy.binary, "-v"], capture_output=True, text=True,
                             timeout=10).stdout.split()[1]
    prom.wait_for('skerrow_build_info{job="%s"}' % JOB, lambda s: len(s) == 1)
    info = prom.samples("skerrow_build_info")
    assert info == {(("instance", stack.instance), ("job", JOB), ("version", version)): 1.0}

    # Per chain, from the configuration: both chains there, without work (no JSON from their
    # daemons), out of the tree, and ageing since start-up.
    assert by_label(prom.samples("skerrow_aux_template_valid"), "chain") == {c: 0.0 for c in CHAINS}
    prom.wait_for("skerrow_aux_template_fetch_failures_total",
                  lambda s: all(v > 0 for v in by_label(s, "chain").values()))
    assert by_label(prom.samples("skerrow_aux_tree_slot"), "chain") == {c: -1.0 for c in CHAINS}
    first_age = by_label(prom.samples("skerrow_aux_template_age_seconds"), "chain")
    assert set(first_age) == set(CHAINS)
    assert all(0 < age < time.time() - stack.started_at + 1 for age in first_age.values())
    prom.wait_for("skerrow_aux_template_age_seconds",
                  lambda s: all(by_label(s, "chain")[c] > first_age[c] + 0.3 for c in CHAINS))
    assert prom.samples("skerrow_aux_refresh_period_seconds") == {
        (("instance", stack.instance), ("job", JOB)): AUX_REFRESH_MS / 1000}

    # ZMQ notifications, as many as the proxy's log says it relayed, by source.
    relayed = relay_notifications(stack, {"parent": 3, "dogecoin": 1})
    prom.wait_for("skerrow_zmq_notifications_relayed_total",
                  lambda s: by_label(s, "daemon") == {k: float(v) for k, v in relayed.items()})

    # Merged mining: dogecoin's daemon starts answering; the pool takes a template, has a
    # block accepted, one refused and one of unknown work, takes a second template, makes one
    # passthrough call and sends one empty body.
    aux = stack.dogecoin
    aux.template_mode = "ok"
    prom.wait_for("skerrow_aux_template_valid",
                  lambda s: by_label(s, "chain") == {"dogecoin": 1.0, "namecoin": 0.0})
    result = template_result(stack.proxy.rpc("getblocktemplate").body)
    [doge] = result["aux_chains"]
    coinbase = build_coinbase(result)
    header = build_header(result, coinbase)
    unknown_work = build_coinbase({"height": 5, "coinbaseaux": {"flags": "fabe6d6d" + "77" * 32 + "01" + "00" * 7}})
    answers = []
    for verdict, cb in ((True, coinbase), (False, coinbase), (True, unknown_work)):
        aux.submit_result = verdict
        answers.append(stack.proxy.rpc("submitauxblock", [submit_param("dogecoin", doge["hash"], cb, header)]).body)
    assert [json.loads(a)["result"] for a in answers] == ["true", "false", None]
    assert stack.proxy.rpc("getblocktemplate").status == 200
    assert stack.proxy.rpc("getblockcount").status == 200
    assert stack.proxy.post(b"").status == 400

    def nonzero(samples, *labels):
        return {tuple(dict(k)[name] for name in labels): v for k, v in samples.items() if v > 0}
    prom.wait_for("skerrow_requests_total", lambda s: nonzero(s, "kind", "outcome") == {
        ("getblocktemplate", "ok"): 2, ("submitauxblock", "ok"): 3, ("passthrough", "ok"): 1,
        ("refused", "bad_request"): 1})
    assert nonzero(prom.samples("skerrow_aux_submissions_total"), "chain", "result") == {
        ("dogecoin", "accepted"): 1, ("dogecoin", "rejected"): 1, ("dogecoin", "stale"): 1}
    assert nonzero(prom.samples("skerrow_snapshot_lookups_total"), "outcome") == {("found",): 2, ("not_found",): 1}
    assert list(prom.samples("skerrow_snapshots_stored_total").values()) == [2.0]
    assert by_label(prom.samples("skerrow_aux_difficulty"), "chain")["dogecoin"] == pytest.approx(doge["diff"])
    r = (result["aux_tree_nonce"] * 1103515245 + 12345 + DOGECOIN_CHAIN_ID) * 1103515245 + 12345
    assert by_label(prom.samples("skerrow_aux_tree_slot"), "chain") == {
        "dogecoin": float(r % 2**32 % result["aux_tree_size"]), "namecoin": -1.0}
    # Every daemon call, as many as the daemons saw (a fetch may be in flight), by outcome.
    calls = prom.wait_for("skerrow_daemon_calls_total", lambda s: (
        sum(v for k, v in s.items() if dict(k)["daemon"] != "namecoin")
        == len(stack.parent.requests) + len(aux.fetches) + len(aux.submissions)))
    outcomes = {(d, o) for d, o in nonzero(calls, "daemon", "outcome")}
    assert outcomes == {("parent", "ok"), ("dogecoin", "ok"), ("dogecoin", "SyntaxError"),
                        ("namecoin", "ConnectionRefused")}
    # Only namecoin has a backup: both of its nodes are marked down, and no other chain has node series.
    prom.wait_for("skerrow_daemon_node_up", lambda s: {
        (dict(k)["daemon"], dict(k)["node"]): v for k, v in s.items()} == {("namecoin", "0"): 0.0, ("namecoin", "1"): 0.0})

    # An RPC error takes dogecoin out of the work and the tree again.
    aux.template_mode = "error"
    prom.wait_for("skerrow_aux_tree_slot", lambda s: by_label(s, "chain") == {c: -1.0 for c in CHAINS})
    assert by_label(prom.samples("skerrow_aux_template_valid"), "chain") == {c: 0.0 for c in CHAINS}

    # The queue: hold every worker on the parent, then more connections than the queue
    # takes. The parent sees the busy workers, the log the drops; the rest wait.
    stack.release.clear()
    sockets = []
    try:
        mark = stack.proxy.mark()
        parent_calls = len(stack.parent.requests)
        for i in range(100):
            s = socket.create_connection(("127.0.0.1", stack.proxy.port), timeout=30)
            s.sendall(http_post(rpc_body("getblock", id=i)))
            sockets.append(s)
        drops, settled = -1, time.monotonic() + 10
        while time.monotonic() < settled:
            time.sleep(0.5)
            now = stack.proxy.count_lines("job queue full", since=mark)
            if now == drops and now > 0:
                break
            drops = now
        assert drops > 0, "100 connections did not fill the queue"
        busy = len(stack.parent.requests) - parent_calls
        waiting = len(sockets) - drops - busy
        prom.wait_for("skerrow_workers_busy", lambda s: list(s.values()) == [float(busy)])
        prom.wait_for("skerrow_queue_depth", lambda s: list(s.values()) == [float(waiting)])
        prom.wait_for("skerrow_queue_dropped_total", lambda s: list(s.values()) == [float(drops)])
        prom.wait_for("skerrow_connections_open", lambda s: list(s.values()) == [float(busy + waiting)])
    finally:
        stack.release.set()
        for s in sockets:
            s.close()
    prom.wait_for("skerrow_queue_depth", lambda s: list(s.values()) == [0.0])
    prom.wait_for("skerrow_workers_busy", lambda s: list(s.values()) == [0.0])
    prom.wait_for("skerrow_connections_open", lambda s: list(s.values()) == [0.0])

    # The process: the figures the kernel has for the proxy's pid.
    pid = stack.proxy.process.pid
    proc = {name: prom.samples(name)[(("instance", stack.instance), ("job", JOB))] for name in (
        "process_start_time_seconds", "process_resident_memory_bytes", "process_open_fds",
        "process_max_fds", "process_cpu_seconds_total", "process_virtual_memory_bytes")}
    assert abs(proc["process_start_time_seconds"] - stack.started_at) < 2
    assert 1 << 20 < proc["process_resident_memory_bytes"] < proc["process_virtual_memory_bytes"]
    limits = pathlib.Path(f"/proc/{pid}/limits").read_text()
    assert proc["process_max_fds"] == float(re.search(r"Max open files\s+(\d+)", limits).group(1))
    open_now = len(list(pathlib.Path(f"/proc/{pid}/fd").iterdir()))
    assert abs(proc["process_open_fds"] - open_now) <= 2  # the scrape's own connection, if any
    assert proc["process_cpu_seconds_total"] > 0


def test_scraped_text_passes_promtool_check_metrics(stack):
    text = stack.scrape_text()
    assert "# TYPE skerrow_request_duration_seconds histogram" in text
    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                           text=True, timeout=60)
    assert (check.returncode, check.stdout + check.stderr) == (0, "")


def test_alert_rules_run_on_the_exported_series(stack):
    prom = stack.prometheus
    deadline = time.monotonic() + 20
    while True:
        rules = [r for g in prom.api("rules")["data"]["groups"] for r in g["rules"]]
        alerts = prom.api("alerts")["data"]["alerts"]
        no_work = {a["labels"]["chain"]: a["state"] for a in alerts
                   if a["labels"]["alertname"] == "SkerrowAuxChainWithoutWork"}
        if set(no_work) == set(CHAINS) or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    assert sorted(r["name"] for r in rules) == sorted(re.findall(r"- alert: (\w+)", ALERT_RULES.read_text()))
    assert [(r["name"], r["lastError"]) for r in rules if r["health"] != "ok"] == []
    # The chains have no work: pending now, firing after the rule's minute.
    assert no_work == {c: "pending" for c in CHAINS}
    assert not [a for a in alerts if a["labels"]["alertname"] == "SkerrowDown"]


def dashboard_queries() -> list[str]:
    """Every PromQL text of the dashboard: the panels' targets and the selectors inside the
    template variables' label_values(...)."""
    board = json.loads(DASHBOARD.read_text())
    exprs = []

    def walk(panels):
        for panel in panels:
            exprs.extend(t["expr"] for t in panel.get("targets", []))
            walk(panel.get("panels", []))
    walk(board["panels"])
    for var in board["templating"]["list"]:
        query = var["query"]["query"] if isinstance(var["query"], dict) else var["query"]
        m = re.fullmatch(r"label_values\((.*),\s*\w+\)", query)
        exprs.append(m.group(1) if m else query)
    return exprs


def as_prometheus_sees_it(expr: str) -> str:
    """What Grafana sends: its interval variables as durations, the others as values."""
    expr = expr.replace("$__rate_interval", "1m").replace("$__interval", "15s").replace("$__range", "1h")
    expr = expr.replace('"$job"', f'"{JOB}"')
    return re.sub(r"\$\{?\w+\}?", ".*", expr)


def test_every_dashboard_query_runs_and_names_exported_metrics(stack):
    exported = set(re.findall(r"^# TYPE (\w+) ", stack.scrape_text(), re.M))
    queries = dashboard_queries()
    assert len(queries) >= 20
    failed = {}
    for expr in queries:
        answer = stack.prometheus.query(as_prometheus_sees_it(expr))
        if answer.get("status") != "success":
            failed[expr] = answer.get("error")
    assert failed == {}

    # A misspelt metric parses and runs, then shows nothing: hold every name the dashboard
    # and the alert rules use to the endpoint's exposition.
    used = set(re.findall(r"\b((?:skerrow|process)_\w+)", " ".join(queries) + ALERT_RULES.read_text()))
    unknown = {name for name in used
               if name not in exported and re.sub(r"_(bucket|sum|count)$", "", name) not in exported}
    assert unknown == set()


def test_a_scrape_is_answered_while_idle_clients_hold_connections(fake_daemon, proxy_factory):
    metrics_port = free_port()
    proxy = proxy_factory({"parent": parent_entry(fake_daemon()), "metrics_listen": f"127.0.0.1:{metrics_port}"})
    idle = [socket.create_connection(("127.0.0.1", metrics_port)) for _ in range(50)]
    try:
        time.sleep(0.2)  # all of them taken by the web server
        began = time.monotonic()
        with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=10) as reply:
            text = reply.read().decode()
        took = time.monotonic() - began
    finally:
        for s in idle:
            s.close()
    assert "skerrow_build_info" in text
    assert took < 2.0, f"the scrape took {took:.2f}s behind 50 idle connections"
    assert proxy.returncode is None
