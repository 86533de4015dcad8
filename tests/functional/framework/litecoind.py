"""Real litecoind regtest nodes for the tests and the demo.

What litecoind 0.21.2.1 (Debian) needs, found by trying it:

* getblocktemplate must be called with params [{"rules":["mweb","segwit"]}]; without both rules
  it answers error -8. With 101 blocks MWEB is still "defined" (it can only start at the
  retarget boundary of height 144 and become active at 432), so templates carry no "mweb"
  member and blocks need no HogEx transaction.
* getblocktemplate answers -9 "Litecoin Core is not connected!" without a peer, hence pairs.
* There is no default wallet: createwallet first.
* The Debian build has no ZMQ: -zmqpubhashblock is accepted and ignored, getzmqnotifications
  is "Method not found". `LitecoinNode.zmq_supported()` tells.
* With -bind given, litecoind also binds its Tor target port (regtest: 19444) unless an
  explicit "=onion" bind names another one; two nodes would fight over it, so each node gets
  its own onion port.
* /usr/bin/litecoind is a wrapper script that writes ~/.litecoin; the real binary under
  /usr/lib/litecoin is started directly when it exists.
* The JSON-RPC reply is compact JSON followed by one "\n"; a wrong password gets 401 with an
  empty body (after a short deliberate delay).
* Templates are cached by the daemon: a mempool change shows in getblocktemplate only once the
  cached template is more than 5 seconds old (see `wait_for_template_txs`).
"""

from __future__ import annotations

import base64
import contextlib
import http.client
import json
import os
import pathlib
import socket
import subprocess
import time

WRAPPER = "/usr/bin/litecoind"
REAL_BINARY = "/usr/lib/litecoin/litecoind"
GBT_PARAMS = {"rules": ["mweb", "segwit"]}
RPC_USER = "skerrowtest"
RPC_PASSWORD = "regtest-password"


def litecoind_binary() -> str | None:
    """The litecoind executable to run, or None when litecoind is not installed."""
    if not os.path.exists(WRAPPER):
        return None
    if os.access(REAL_BINARY, os.X_OK):
        return REAL_BINARY
    return WRAPPER


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_ports(count: int) -> list[int]:
    """`count` distinct free ports (held open together so they cannot repeat)."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


class _PortTaken(Exception):
    pass


class RpcError(RuntimeError):
    def __init__(self, method: str, error: dict):
        self.code = error.get("code")
        self.message = error.get("message")
        super().__init__(f"{method}: error {self.code}: {self.message}")


def http_post(port: int, body: bytes, user: str | None, password: str | None,
              timeout: float = 60.0) -> tuple[int, bytes]:
    """One POST to 127.0.0.1:`port`/ on a fresh connection; (status, raw body bytes)."""
    headers = {"Content-Type": "application/json", "Connection": "close"}
    if user is not None:
        token = base64.b64encode(f"{user}:{password or ''}".encode()).decode()
        headers["Authorization"] = "Basic " + token
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", "/", body, headers)
        reply = conn.getresponse()
        return reply.status, reply.read()
    finally:
        conn.close()


def rpc_request(method: str, params=(), id=1) -> bytes:
    return json.dumps({"jsonrpc": "1.0", "id": id, "method": method, "params": list(params)},
                      separators=(",", ":")).encode()


class LitecoinNode:
    """One litecoind in regtest mode with its data directory under `workdir`.

    RPC and P2P listen on 127.0.0.1 only, on ports picked free at construction."""

    def __init__(self, workdir: str | os.PathLike, name: str = "node0", txindex: bool = False,
                 zmq: bool = False, extra_args: list[str] | None = None):
        binary = litecoind_binary()
        if binary is None:
            raise FileNotFoundError(f"{WRAPPER} is not installed")
        self.binary = binary
        self.name = name
        self.datadir = pathlib.Path(workdir) / name
        self.datadir.mkdir(parents=True, exist_ok=True)
        self.zmq = zmq
        self._pick_ports()
        self.user = RPC_USER
        self.password = RPC_PASSWORD
        self.txindex = txindex
        self.extra_args = list(extra_args or [])
        self.process: subprocess.Popen | None = None
        self._output = None

    def _pick_ports(self) -> None:
        ports = free_ports(4)
        self.rpc_port, self.p2p_port, self.onion_port = ports[:3]
        self.zmq_port = ports[3] if self.zmq else None

    # -- addresses ---------------------------------------------------------------------

    @property
    def rpc_url(self) -> str:
        return f"127.0.0.1:{self.rpc_port}"

    @property
    def p2p_address(self) -> str:
        return f"127.0.0.1:{self.p2p_port}"

    @property
    def zmq_endpoint(self) -> str | None:
        return None if self.zmq_port is None else f"tcp://127.0.0.1:{self.zmq_port}"

    def command(self) -> list[str]:
        cmd = [self.binary, "-regtest", f"-datadir={self.datadir}", "-server", "-listen",
               f"-bind=127.0.0.1:{self.p2p_port}", f"-bind=127.0.0.1:{self.onion_port}=onion",
               "-listenonion=0", "-discover=0", "-dnsseed=0", "-upnp=0",
               "-rpcbind=127.0.0.1", "-rpcallowip=127.0.0.1", f"-rpcport={self.rpc_port}",
               f"-rpcuser={self.user}", f"-rpcpassword={self.password}",
               "-fallbackfee=0.0002", "-printtoconsole=0", "-daemon=0"]
        if self.txindex:
            cmd.append("-txindex")
        if self.zmq_port is not None:
            cmd.append(f"-zmqpubhashblock={self.zmq_endpoint}")
        return cmd + self.extra_args

    # -- life cycle --------------------------------------------------------------------

    def start(self, timeout: float = 60.0, attempts: int = 3) -> "LitecoinNode":
        """Starts the daemon and returns once its RPC answers; raises with the end of its
        debug log when it exits first or does not answer within `timeout`. A port taken by
        someone else between picking and binding it costs a retry on fresh ports."""
        if self.process is not None:
            raise RuntimeError(f"{self.name} already started")
        for attempt in range(attempts):
            try:
                return self._start_once(timeout)
            except _PortTaken:
                if attempt + 1 == attempts:
                    raise RuntimeError(f"{self.name}: ports kept being taken:\n"
                                       + self.log_tail()) from None
                self.process = None
                self._pick_ports()
        raise AssertionError("unreachable")

    def _start_once(self, timeout: float) -> "LitecoinNode":
        debug_log = self.datadir / "regtest" / "debug.log"
        if debug_log.exists():      # an earlier attempt's bind failure is not this one's
            debug_log.unlink()
        self._output = open(self.datadir / "stdout.log", "wb")
        self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL,
                                        stdout=self._output, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self._close_output()
                if self._bind_failed():
                    raise _PortTaken()
                raise RuntimeError(f"{self.name} exited with {self.process.returncode}:\n"
                                   + self.log_tail())
            try:
                self.rpc("getnetworkinfo", timeout=5)
            except RpcError as e:      # -28: still loading
                last = e
            except OSError as e:       # not listening yet
                last = e
            else:
                # A P2P bind that fails is only a warning when another bind worked; the
                # node would run with someone else answering on its P2P port.
                if self._bind_failed():
                    self.stop()
                    raise _PortTaken()
                return self
            time.sleep(0.2)
        self.kill()
        raise TimeoutError(f"{self.name} did not answer RPC within {timeout}s ({last}):\n"
                           + self.log_tail())

    def _bind_failed(self) -> bool:
        for path in (self.datadir / "stdout.log", self.datadir / "regtest" / "debug.log"):
            if path.exists() and "Unable to bind" in path.read_text(errors="replace"):
                return True
        return False


    def stop(self, timeout: float = 30.0) -> None:
        """Asks the daemon to stop; kills it when it has not ended within `timeout`."""
        if self.process is None:
            return
        if self.process.poll() is None:
            with contextlib.suppress(Exception):
                self.rpc("stop", timeout=5)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.kill()
        self._close_output()

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(10)
        self._close_output()

    def _close_output(self) -> None:
        if self._output is not None:
            self._output.close()
            self._output = None

    def __enter__(self):
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def log_tail(self, lines: int = 30) -> str:
        log = self.datadir / "regtest" / "debug.log"
        out = self.datadir / "stdout.log"
        text = ""
        for path in (out, log):
            if path.exists():
                text += "".join(path.read_text(errors="replace").splitlines(True)[-lines:])
        return text

    # -- RPC ---------------------------------------------------------------------------

    def post(self, body: bytes, user: str | None = None, password: str | None = None,
             timeout: float = 60.0) -> tuple[int, bytes]:
        """Sends a raw JSON-RPC body with this node's credentials (or the given ones)."""
        return http_post(self.rpc_port, body, self.user if user is None else user,
                         self.password if password is None else password, timeout)

    def rpc(self, method: str, *params, wallet: str | None = None, timeout: float = 60.0):
        """Calls `method`; returns its result or raises RpcError."""
        body = rpc_request(method, params)
        if wallet is None:
            status, raw = self.post(body, timeout=timeout)
        else:
            status, raw = self._post_path(f"/wallet/{wallet}", body, timeout)
        if not raw:
            raise RpcError(method, {"code": None, "message": f"HTTP {status} with empty body"})
        reply = json.loads(raw)
        if reply.get("error"):
            raise RpcError(method, reply["error"])
        return reply["result"]

    def _post_path(self, path: str, body: bytes, timeout: float) -> tuple[int, bytes]:
        token = base64.b64encode(f"{self.user}:{self.password}".encode()).decode()
        conn = http.client.HTTPConnection("127.0.0.1", self.rpc_port, timeout=timeout)
        try:
            conn.request("POST", path, body, {"Authorization": "Basic " + token,
                                              "Content-Type": "application/json"})
            reply = conn.getresponse()
            return reply.status, reply.read()
        finally:
            conn.close()

    def getblocktemplate(self) -> dict:
        return self.rpc("getblocktemplate", GBT_PARAMS)

    def zmq_supported(self) -> bool:
        """Whether this litecoind publishes ZMQ notifications at all."""
        try:
            self.rpc("getzmqnotifications")
            return True
        except RpcError as e:
            if e.code == -32601:
                return False
            raise

    # -- helpers used by the tests -----------------------------------------------------

    def wait_until(self, predicate, timeout: float = 30.0, what: str = "condition"):
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{self.name}: {what} not reached within {timeout}s")
            time.sleep(0.2)

    def connect_to(self, other: "LitecoinNode", timeout: float = 30.0) -> None:
        """Opens an outbound P2P connection to `other` and waits until both see it."""
        self.rpc("addnode", other.p2p_address, "onetry")
        self.wait_until(lambda: self.rpc("getconnectioncount") >= 1 and
                        other.rpc("getconnectioncount") >= 1, timeout, "peer connection")

    def wait_for_height(self, height: int, timeout: float = 60.0) -> None:
        self.wait_until(lambda: self.rpc("getblockcount") >= height, timeout,
                        f"height {height}")

    def wait_for_block(self, block_hash: str, timeout: float = 60.0) -> None:
        self.wait_until(lambda: self.rpc("getbestblockhash") == block_hash, timeout,
                        f"best block {block_hash}")

    def ensure_wallet(self, name: str = "miner") -> str:
        """Creates (or loads) wallet `name` and returns it."""
        loaded = self.rpc("listwallets")
        if name not in loaded:
            try:
                self.rpc("createwallet", name)
            except RpcError as e:
                if e.code != -4:    # already exists on disk
                    raise
                self.rpc("loadwallet", name)
        return name

    def new_address(self, wallet: str = "miner") -> str:
        return self.rpc("getnewaddress", wallet=wallet)

    def script_of(self, address: str) -> bytes:
        return bytes.fromhex(self.rpc("validateaddress", address)["scriptPubKey"])

    def generate(self, count: int, address: str) -> list[str]:
        return self.rpc("generatetoaddress", count, address, timeout=300)

    def send_transactions(self, count: int, amount: float = 0.1, wallet: str = "miner") -> list[str]:
        """Puts `count` wallet payments into the mempool and returns their txids."""
        txids = []
        for _ in range(count):
            txids.append(self.rpc("sendtoaddress", self.new_address(wallet), amount,
                                  wallet=wallet))
        self.wait_until(lambda: set(txids) <= set(self.rpc("getrawmempool")), 30,
                        "transactions in mempool")
        return txids

    def wait_for_template_txs(self, txids, timeout: float = 30.0) -> dict:
        """Polls getblocktemplate until every txid of `txids` is in it. The daemon reuses its
        cached template for 5 seconds after a mempool change, so this may take that long."""
        wanted = set(txids)

        def ready():
            t = self.getblocktemplate()
            return t if wanted <= {tx["txid"] for tx in t["transactions"]} else None
        return self.wait_until(ready, timeout, "template with the new transactions")


class LitecoinPair:
    """Two connected regtest nodes; node 0 has a wallet "miner" owning 101 blocks."""

    def __init__(self, workdir: str | os.PathLike, txindex: bool = False):
        self.workdir = pathlib.Path(workdir)
        self.nodes = [LitecoinNode(self.workdir, "node0", txindex=txindex),
                      LitecoinNode(self.workdir, "node1")]
        self.wallet = "miner"
        self.address: str | None = None

    def __getitem__(self, i: int) -> LitecoinNode:
        return self.nodes[i]

    def start(self, blocks: int = 101) -> "LitecoinPair":
        try:
            for node in self.nodes:
                if node.process is None:
                    node.start()
            self.nodes[1].connect_to(self.nodes[0])
            self.nodes[0].ensure_wallet(self.wallet)
            self.address = self.nodes[0].new_address(self.wallet)
            if blocks:
                self.nodes[0].generate(blocks, self.address)
                self.sync()
        except BaseException:
            self.stop()
            raise
        return self

    def sync(self, timeout: float = 60.0) -> None:
        """Waits until node 1 has node 0's best block."""
        self.nodes[1].wait_for_block(self.nodes[0].rpc("getbestblockhash"), timeout)

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


_shared_pair: LitecoinPair | None = None
_shared_users = 0


def _pytest_fixture():
    import pytest

    @pytest.fixture(scope="session")
    def litecoin_pair(tmp_path_factory):
        """Two connected regtest litecoind nodes, node 0 holding 101 mined blocks.

        Every test module imports this fixture, which makes pytest set it up once per module
        even at session scope; the nodes are shared and stopped with the last user."""
        global _shared_pair, _shared_users
        if litecoind_binary() is None:
            pytest.skip(f"{WRAPPER} not installed (Debian package litecoind)")
        if _shared_pair is None:
            _shared_pair = LitecoinPair(tmp_path_factory.mktemp("litecoin")).start()
        _shared_users += 1
        try:
            yield _shared_pair
        finally:
            _shared_users -= 1
            if _shared_users == 0:
                _shared_pair.stop()
                _shared_pair = None
    return litecoin_pair


try:
    litecoin_pair = _pytest_fixture()
except ImportError:     # used without pytest (the demo)
    pass


__all__ = ["LitecoinNode", "LitecoinPair", "RpcError", "GBT_PARAMS", "litecoind_binary",
           "litecoin_pair", "http_post", "rpc_request", "free_port", "free_ports"]
