"""A real Prometheus server (Debian's `prometheus`) on 127.0.0.1 for the metrics tests: it
scrapes the proxy's metrics endpoint every 200 ms, evaluates the project's alert rules, and
answers PromQL through its HTTP query API."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from .fake_daemon import free_port

ROOT = pathlib.Path(__file__).resolve().parents[3]
ALERT_RULES = ROOT / "contrib" / "prometheus" / "skerrow-alerts.yml"
ALERT_TESTS = ROOT / "contrib" / "prometheus" / "skerrow-alerts.test.yml"
DASHBOARD = ROOT / "contrib" / "grafana" / "skerrow.json"
SCRAPE_INTERVAL = "200ms"
JOB = "skerrow"


def require_tools(*tools: str) -> None:
    """Skips the test when a tool is missing, or fails it when SKERROW_REQUIRE_PROMETHEUS is
    set (CI installs the tools, so there a missing one is a fault, not a reason to skip)."""
    missing = [t for t in tools if shutil.which(t) is None]
    if not missing:
        return
    reason = f"{', '.join(missing)} not installed (bash scripts/bootstrap.sh metrics)"
    if os.environ.get("SKERROW_REQUIRE_PROMETHEUS"):
        pytest.fail(reason)
    pytest.skip(reason)


class PrometheusError(RuntimeError):
    pass


class Prometheus:
    """One prometheus process with its own configuration and storage under `workdir`."""

    def __init__(self, workdir: pathlib.Path, targets: list[str]):
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.config = self.workdir / "prometheus.yml"
        # JSON is YAML: no YAML writer needed.
        self.config.write_text(json.dumps({
            "global": {"scrape_interval": SCRAPE_INTERVAL, "scrape_timeout": SCRAPE_INTERVAL,
                       "evaluation_interval": SCRAPE_INTERVAL},
            "rule_files": [str(ALERT_RULES)],
            "scrape_configs": [{"job_name": JOB, "static_configs": [{"targets": targets}]}],
        }, indent=2))
        self.log_path = self.workdir / "prometheus.log"
        self.process: subprocess.Popen | None = None

    def start(self, timeout: float = 30.0) -> "Prometheus":
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                ["prometheus", f"--config.file={self.config}",
                 f"--storage.tsdb.path={self.workdir / 'data'}",
                 f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn"],
                cwd=self.workdir, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise PrometheusError(f"prometheus exited ({self.process.returncode}):\n{self.log()}")
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/-/ready", timeout=2) as r:
                    if r.status == 200:
                        return self
            except (urllib.error.URLError, ConnectionError):
                pass
            time.sleep(0.1)
        raise PrometheusError(f"prometheus not ready within {timeout}s:\n{self.log()}")

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)

    def log(self) -> str:
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def api(self, path: str, **params) -> dict:
        """GET /api/v1/<path>; returns the whole JSON answer, errors included (a query that
        does not parse is answered 400 with status "error")."""
        url = f"http://127.0.0.1:{self.port}/api/v1/{path}"
        if params:
            url += "?" + urllib.parse.urlencode(params)
        try:
            with urllib.request.urlopen(url, timeout=10) as r:
                return json.loads(r.read())
        except urllib.error.HTTPError as e:
            return json.loads(e.read())

    def query(self, expr: str) -> dict:
        return self.api("query", query=expr)

    def samples(self, expr: str) -> dict[tuple, float]:
        """An instant vector as {sorted (label, value) pairs without __name__: value}."""
        answer = self.query(expr)
        if answer.get("status") != "success":
            raise PrometheusError(f"{expr}: {answer}")
        out = {}
        for item in answer["data"]["result"]:
            labels = tuple(sorted((k, v) for k, v in item["metric"].items() if k != "__name__"))
            out[labels] = float(item["value"][1])
        return out

    def wait_for(self, expr: str, accept, timeout: float = 20.0) -> dict[tuple, float]:
        """Polls `expr` until accept(samples) is true; returns the samples, or raises with the
        last ones seen. The first scrape can take a few seconds: Prometheus hands new targets
        to its scrapers at most every 5 s."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.samples(expr)
            if accept(got):
                return got
            if time.monotonic() > deadline:
                raise PrometheusError(f"{expr}: still {got} after {timeout}s")
            time.sleep(0.1)


def by_label(samples: dict[tuple, float], name: str) -> dict[str, float]:
    """{value of label `name`: sample value} for a vector with one sample per value."""
    return {dict(labels).get(name): value for labels, value in samples.items()}
