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

from framework import blocks  # noqa: E402
from framework.fake_aux import FakeAux, aux_chain_entry  # noqa: E402
from framework.litecoind import GBT_PARAMS, LitecoinPair, free_port, rpc_request  # noqa: E402
from framework.proxy import Proxy  # noqa: E402

AUX_CHAIN = "demoaux"
AUX_TARGET = "ff" * 31 + "3f"       # least significant byte first: easy, like regtest


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
        self.aux: FakeAux | None = None
        self.pidfile = workdir / "pids"

    def remember(self, pid: int) -> None:
        with open(self.pidfile, "a") as f:
            f.write(f"{pid}\n")

    def call(self, method: str, params=()):
        reply = self.proxy.post(rpc_request(method, params))
        if reply.status != 200:
            raise RuntimeError(f"{method}: HTTP {reply.status}: {reply.body[:200]!r}")
        doc = json.loads(reply.body)
        if doc.get("error"):
            raise RuntimeError(f"{method}: {doc['error']}")
        return doc["result"]

    def show_log(self, since: int, last: str) -> None:
        """Prints the proxy's log from `since` once the line containing `last` is there (a
        reply can arrive before the log line written after it)."""
        try:
            self.proxy.wait_for_line(last, timeout=5, since=since)
        except TimeoutError:
            pass
        for line in self.proxy.lines()[since:]:
            say("      | " + line)

    def run(self) -> None:
        say("[1/5] starting two litecoind regtest nodes on 127.0.0.1")
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

        self.aux = FakeAux(chainid=1, target=AUX_TARGET)
        say(f"[2/5] a stand-in aux chain daemon ({AUX_CHAIN}, chain id 1) on {self.aux.url}; "
            "skerrow configured as:")
        config = {"listen": f"127.0.0.1:{free_port()}",
                  "parent": {"url": f"http://{node.rpc_url}", "user": node.user,
                             "pass": node.password},
                  "aux_chains": [aux_chain_entry(AUX_CHAIN, self.aux)]}
        for line in json.dumps(config, indent=2).splitlines():
            say("      " + line)
        self.proxy = Proxy(config, self.workdir / "proxy", self.binary)
        self.proxy.start(wait=False)
        self.remember(self.proxy.process.pid)
        self.wait_ready()
        self.show_log(0, "response sent to client")

        say("[3/5] getblockchaininfo through the proxy (passed through unchanged)")
        info = self.call("getblockchaininfo")
        excerpt(info, ["chain", "blocks", "bestblockhash", "difficulty", "initialblockdownload"])

        say("[4/5] getblocktemplate through the proxy, with wallet payments in the mempool")
        txids = node.send_transactions(2)
        node.wait_for_template_txs(txids)
        mark = self.proxy.mark()
        template = self.call("getblocktemplate", [GBT_PARAMS])
        excerpt(template, ["height", "previousblockhash", "bits", "coinbasevalue"])
        say(f"      {'transactions':<27} {len(template['transactions'])}: "
            + ", ".join(short(tx["txid"], 16) for tx in template["transactions"]))
        say("      added by skerrow:")
        flags = template["coinbaseaux"]["flags"]
        say(f"      {'coinbaseaux.flags':<27} {flags[:8]} {flags[8:72]} {flags[72:80]} {flags[80:]}")
        say(f"      {'':<27} (magic, aux merkle root, tree size, nonce)")
        excerpt(template, ["aux_merkle_root", "aux_tree_size", "aux_tree_nonce", "n_aux_chains"])
        for chain in template["aux_chains"]:
            say(f"      {'aux_chains[]':<27} {chain['chain_id']}: hash {short(chain['hash'], 19)} "
                f"target {short(chain['target'], 19)} diff {chain['diff']} slot {chain['slot']}")
        self.show_log(mark, f"aux template for {AUX_CHAIN}")

        say("[5/5] mining a block on that template and submitting it to both chains")
        block = blocks.build_block(template, node.script_of(self.pair.address), b"skerrow!")
        goal = min([block.target] + [blocks.target_from_aux_hex(c["target"])
                                     for c in template["aux_chains"]])
        block.solve(goal)
        say(f"      solved: nonce {block.nonce}, block {block.hash}")
        result = self.call("submitblock", [block.hex()])
        if result is not None or node.rpc("getbestblockhash") != block.hash:
            raise RuntimeError(f"litecoind refused the block: {result}")
        self.pair.sync()
        say(f"      submitblock -> {json.dumps(result)}; litecoind tip is now height "
            f"{node.rpc('getblockcount')}, node1 has it too")
        mark = self.proxy.mark()
        param = (f"{AUX_CHAIN}:{self.aux.hash}:{block.coinbase.hex()}:{block.header().hex()}")
        say(f"      submitauxblock \"{short(param, 60)}\"")
        result = self.call("submitauxblock", [param])
        say(f"      -> {json.dumps(result)}")
        accepted, reason = self.aux.verdicts[-1] if self.aux.verdicts else (False, "no proof")
        say(f"      the aux daemon checked the proof: {'accepted' if accepted else reason}")
        self.show_log(mark, "submitauxblock result for")
        if result != "true" or not accepted:
            raise RuntimeError("the aux chain did not accept the proof")
        say("demo finished: everything is stopped and the temporary directory removed")

    def wait_ready(self, timeout: float = 10.0) -> None:
        """Ready once a call goes through: does not rely on any particular start-up line."""
        deadline = time.monotonic() + timeout
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
        if self.aux is not None:
            self.aux.stop()
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
