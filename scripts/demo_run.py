"""The body of scripts/demo.sh: see there. Prints what goes through the proxy, shortened."""

from __future__ import annotations

import argparse
import json
import pathlib
import signal
import sys
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "functional"))

from framework.litecoind import GBT_PARAMS, LitecoinPair, free_port, rpc_request  # noqa: E402
from framework.proxy import Proxy  # noqa: E402


def say(text: str = "") -> None:
    print(text, flush=True)


def short(value, width: int = 20) -> str:
    text = value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))
    return text if len(text) <= width else text[:width - 3] + "..."


def excerpt(obj: dict, keys, width: int = 68) -> None:
    for key in keys:
        if key in obj:
            say(f"      {key:<27} {short(obj[key], width)}")


class Demo:
    def __init__(self, binary: str, workdir: pathlib.Path):
        self.binary = binary
        self.workdir = workdir
        self.pair: LitecoinPair | None = None
        self.proxy: Proxy | None = None
        self.pidfile = workdir / "pids"

    def remember(self, pid: int) -> None:
        with open(self.pidfile, "a") as f:
            f.write(f"{pid}\n")

    def call(self, method: str, params=()) -> dict:
        reply = self.proxy.post(rpc_request(method, params))
        if reply.status != 200:
            raise RuntimeError(f"{method}: HTTP {reply.status}: {reply.body[:200]!r}")
        doc = json.loads(reply.body)
        if doc.get("error"):
            raise RuntimeError(f"{method}: {doc['error']}")
        return doc["result"]

    def run(self) -> None:
        say("[1/4] starting two litecoind regtest nodes on 127.0.0.1")
        self.pair = LitecoinPair(self.workdir / "litecoin")
        for node in self.pair.nodes:
            node.start()
            self.remember(node.process.pid)
        self.pair.start(blocks=0)
        node = self.pair[0]
        node.generate(101, self.pair.address)
        self.pair.sync()
        say(f"      node0 RPC {node.rpc_url}, node1 connected to it over P2P; "
            f"{node.rpc('getblockcount')} blocks mined to {self.pair.address}")

        config = {"listen": f"127.0.0.1:{free_port()}",
                  "parent": {"url": f"http://{node.rpc_url}", "user": node.user,
                             "pass": node.password}}
        say("[2/4] starting skerrow with this configuration:")
        for line in json.dumps(config, indent=2).splitlines():
            say("      " + line)
        self.proxy = Proxy(config, self.workdir / "proxy", self.binary)
        self.proxy.start(wait=False)
        self.remember(self.proxy.process.pid)
        self.proxy.wait_for_line("info(skerrow): listen:", timeout=10)
        self.wait_ready()
        for line in self.proxy.lines():
            say("      | " + line)

        say("[3/4] getblockchaininfo through the proxy")
        info = self.call("getblockchaininfo")
        excerpt(info, ["chain", "blocks", "bestblockhash", "difficulty", "initialblockdownload"])

        say("[4/4] getblocktemplate through the proxy (a few wallet payments in the mempool)")
        txids = node.send_transactions(2)
        node.wait_for_template_txs(txids)
        template = self.call("getblocktemplate", [GBT_PARAMS])
        excerpt(template, ["height", "previousblockhash", "bits", "curtime", "coinbasevalue",
                           "coinbaseaux", "default_witness_commitment"])
        say(f"      {'transactions':<27} {len(template['transactions'])}: "
            + ", ".join(short(tx["txid"], 16) for tx in template["transactions"]))
        say("      proxy log:")
        for line in self.proxy.lines()[-3:]:
            say("      | " + line)
        say("demo finished: everything is stopped and the temporary directory removed")

    def wait_ready(self) -> None:
        """Ready once a call goes through: does not rely on any particular start-up line."""
        deadline = time.monotonic() + 10
        while True:
            try:
                self.call("getbestblockhash")
                return
            except (OSError, RuntimeError, ValueError):
                if self.proxy.returncode is not None or time.monotonic() > deadline:
                    raise RuntimeError("skerrow did not start:\n" + "\n".join(self.proxy.lines()))
                time.sleep(0.1)

    def stop(self) -> None:
        if self.proxy is not None:
            self.proxy.stop()
        if self.pair is not None:
            self.pair.stop()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--workdir", required=True)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    demo = Demo(args.bin, pathlib.Path(args.workdir))
    try:
        demo.run()
        return 0
    except Exception as exc:
        say(f"demo failed: {exc}")
        return 1
    finally:
        demo.stop()


if __name__ == "__main__":
    sys.exit(main())
