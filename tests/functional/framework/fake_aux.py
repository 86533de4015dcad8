"""A fake aux chain daemon, and the pool's side of merged mining against a fake parent.

FakeAux answers getauxblock / createauxblock with a template of its own (hash, chainid and
the target under "target" or "_target"), records every submitauxblock and, by default, judges
the proof with the independent checker the way an aux node would. Templates can change,
replies can be errors, garbage or late, and `unreachable_url()` names a daemon that is not
there.

The pool helpers build what a pool builds from a rewritten template: a parent template
text with real txids (for a FakeDaemon parent to serve), the coinbase carrying the template's
coinbase flags, and the 80-byte header over the block's merkle root.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import threading
import time

from .auxpow_checker import AuxPowError, check_auxpow, sha256d, txid_of
from .fake_daemon import FakeDaemon, RawReply, free_port, json_result

EASY_TARGET = "0" * 56 + "ffff0000"   # least significant byte first: t[28] = t[29] = 0xff


def unreachable_url() -> str:
    """The URL of a port on 127.0.0.1 where nothing listens."""
    return f"http://127.0.0.1:{free_port()}"


def random_hash() -> str:
    return os.urandom(32).hex()


class FakeAux:
    """An aux daemon. Attributes a test may change at any time:

    template_mode: "ok", "error" (result null with an error object), "garbage" (a body that
        is not JSON), "no_result" (an object without "result") or "short_hash" (a 63-digit hash);
    target_key: "target" or "_target";
    submit_result: "check" (True when the checker accepts the proof for a hash this daemon
        handed out, else False), or a fixed result value (True, False, None, a string...);
    submit_mode: "ok", "no_result", "garbage", "reset" or "error" (HTTP 500, result null and an
        error object, as a node refusing the block answers);
    delay: seconds before every answer;
    hang: accept every request and never answer it (a node in initial block download).
    """

    def __init__(self, chainid: int = 1, *, hash: str | None = None, target: str = EASY_TARGET,
                 target_key: str = "target", delay: float = 0.0):
        self.chainid = chainid
        self.hash = hash or random_hash()
        self.target = target
        self.target_key = target_key
        self.template_mode = "ok"
        self.submit_result = "check"
        self.submit_mode = "ok"
        self.delay = delay
        self.hang = False
        self.in_flight = 0
        self.max_in_flight = 0           # the most requests it was answering at once
        self.handed_out: list[str] = []
        self.fetches: list = []          # request bodies of template fetches
        self.submissions: list = []      # (aux hash text, proof hex)
        self.verdicts: list = []         # (accepted, reason) per checked submission
        self._lock = threading.Lock()
        self.daemon = FakeDaemon(self._handle)

    @property
    def url(self) -> str:
        return self.daemon.url

    def new_template(self) -> str:
        with self._lock:
            self.hash = random_hash()
            return self.hash

    def stop(self) -> None:
        self.daemon.stop()

    def wait_for_submissions(self, n: int, timeout: float = 10.0) -> list:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.submissions) >= n:
                    return list(self.submissions)
            time.sleep(0.02)
        raise TimeoutError(f"{len(self.submissions)} of {n} submissions arrived")

    # -- serving ------------------------------------------------------------------------

    def _handle(self, request):
        with self._lock:
            self.in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self.in_flight)
        try:
            return self._answer(request)
        finally:
            with self._lock:
                self.in_flight -= 1

    def _answer(self, request):
        if self.delay:
            time.sleep(self.delay)
        try:
            doc = request.json()
        except ValueError:
            return 200, json_result(None, None, {"code": -32700, "message": "parse error"})
        method = doc.get("method")
        if method in ("getauxblock", "createauxblock"):
            return self._template(request, doc)
        if method == "submitauxblock":
            return self._submit(request, doc)
        return 200, json_result(None, request, {"code": -32601, "message": "method not found"})

    def _template(self, request, doc):
        with self._lock:
            self.fetches.append(request.body)
            mode = self.template_mode
            aux_hash = self.hash
            self.handed_out.append(aux_hash)
        if self.hang:
            return RawReply(then="hang")
        if mode == "garbage":
            return 200, b"<html>not json</html>"
        if mode == "error":
            return 500, json_result(None, request, {"code": -8, "message": "no template"})
        if mode == "no_result":
            return 200, b'{"error":null,"id":1}'
        if mode == "short_hash":
            aux_hash = aux_hash[:63]
        result = {"hash": aux_hash, "chainid": self.chainid, self.target_key: self.target,
                  "bits": "207fffff", "height": 1, "previousblockhash": "00" * 32,
                  "coinbasevalue": 5000000000}
        return 200, json_result(result, request)

    def _submit(self, request, doc):
        params = doc.get("params") or []
        aux_hash = params[0] if len(params) > 0 else ""
        proof = params[1] if len(params) > 1 else ""
        with self._lock:
            self.submissions.append((aux_hash, proof))
            handed_out = set(self.handed_out)
            mode = self.submit_mode
            wanted = self.submit_result
        if self.hang:
            return RawReply(then="hang")
        if mode == "reset":
            return RawReply(then="reset")
        if mode == "garbage":
            return 200, b"}{"
        if mode == "no_result":
            return 200, b'{"error":null,"id":1}'
        if mode == "error":
            return 500, json_result(None, request, {"code": -8, "message": "block hash unknown"})
        if wanted != "check":
            return 200, json_result(wanted, request)
        try:
            if aux_hash.lower() not in handed_out:
                raise AuxPowError("unknown aux block hash")
            check_auxpow(proof, aux_hash, self.chainid)
            verdict = (True, "")
        except (AuxPowError, ValueError) as exc:
            verdict = (False, str(exc))
        with self._lock:
            self.verdicts.append(verdict)
        return 200, json_result(verdict[0], request)


# -- the pool's side ------------------------------------------------------------------------

def random_txids(n: int, seed: int = 1) -> list:
    """n distinct txids (display order hex), reproducible for a seed."""
    return [hashlib.sha256(f"{seed}:{i}".encode()).hexdigest() for i in range(n)]


def parent_template(txids: list, *, coinbaseaux: str = '{"flags":"062f503253482f"}',
                    height: int = 102, tail: str = ',"error":null,"id":1}', tx_data: str = "00" * 60) -> bytes:
    """A compact getblocktemplate reply of a parent daemon. `coinbaseaux` is spliced in as
    raw text (so tests can write it any way a daemon might); `tail` follows the result."""
    txs = ",".join(json.dumps({"data": tx_data, "txid": t, "hash": t, "depends": [], "fee": 100,
                               "sigops": 1, "weight": 240}, separators=(",", ":")) for t in txids)
    result = ('{"capabilities":["proposal"],"version":536870912,"rules":["csv","segwit"],'
              '"previousblockhash":"' + "11" * 32 + '","transactions":[' + txs + '],'
              '"coinbaseaux":' + coinbaseaux + ',"coinbasevalue":5000000000,'
              '"target":"7fffff0000000000000000000000000000000000000000000000000000000000",'
              '"mintime":1700000000,"curtime":1700000600,"bits":"207fffff","height":' + str(height) + '}')
    return ('{"result":' + result + tail).encode()


def template_result(rewritten: bytes | str) -> dict:
    return json.loads(rewritten)["result"]


def build_coinbase(result: dict, extranonce: bytes = b"\x00" * 8, segwit: bool = False) -> bytes:
    """A coinbase transaction whose input script holds the height, the "coinbaseaux" flags
    (where the proxy put the commitment) and an extranonce."""
    height = result.get("height", 1)
    hb = height.to_bytes((height.bit_length() + 8) // 8, "little")
    flags = bytes.fromhex(result.get("coinbaseaux", {}).get("flags", ""))
    script = bytes([len(hb)]) + hb + flags + extranonce
    out_script = bytes.fromhex("a914") + b"\x22" * 20 + b"\x87"
    tx_in = b"\x00" * 32 + b"\xff\xff\xff\xff" + _compact(len(script)) + script + b"\xff\xff\xff\xff"
    tx_out = struct.pack("<q", result.get("coinbasevalue", 0)) + _compact(len(out_script)) + out_script
    body = b"\x01" + tx_in + b"\x01" + tx_out
    if segwit:
        witness = b"\x01\x20" + b"\x00" * 32
        return struct.pack("<i", 2) + b"\x00\x01" + body + witness + b"\x00" * 4
    return struct.pack("<i", 2) + body + b"\x00" * 4


def merkle_root(leaves: list) -> bytes:
    """Internal order leaves -> internal order root; an odd level repeats its last node."""
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def build_header(result: dict, coinbase: bytes, nonce: int = 0) -> bytes:
    """The 80-byte parent header over the coinbase and the template's transactions."""
    leaves = [txid_of(coinbase)] + [bytes.fromhex(t["txid"])[::-1] for t in result.get("transactions", [])]
    return (struct.pack("<i", result.get("version", 1)) + bytes.fromhex(result["previousblockhash"])[::-1]
            + merkle_root(leaves) + struct.pack("<I", result.get("curtime", 0))
            + bytes.fromhex(result.get("bits", "207fffff"))[::-1] + struct.pack("<I", nonce))


def submit_param(chain: str, aux_hash: str, coinbase: bytes, header: bytes) -> str:
    return f"{chain}:{aux_hash}:{coinbase.hex()}:{header.hex()}"


def _compact(n: int) -> bytes:
    if n < 253:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + struct.pack("<H", n)
    return b"\xfe" + struct.pack("<I", n)


# -- configuration and fixtures ---------------------------------------------------------------

def aux_chain_entry(name: str, daemon, **extra) -> dict:
    """One "aux_chains" element for a FakeAux (or any .url holder, or a URL text)."""
    entry = {"chain_id": name, "url": daemon.url if hasattr(daemon, "url") else str(daemon)}
    entry.update(extra)
    return entry


try:
    import pytest

    @pytest.fixture
    def fake_aux():
        """Factory: fake_aux(chainid=1, **kw) -> a running FakeAux, stopped after the test."""
        made = []

        def make(*args, **kw):
            aux = FakeAux(*args, **kw)
            made.append(aux)
            return aux

        yield make
        for aux in made:
            aux.stop()
except ImportError:  # the helpers above work without pytest
    pass


# -- log helpers -------------------------------------------------------------------------------
# A reply can reach the test before the proxy's log line has been collected from its stderr,
# so log checks wait (bounded) instead of looking once.

def wait_exact(proxy, line: str, timeout: float = 10.0, since: int = 0) -> str:
    """Waits for a log line equal to `line`."""
    import re
    return proxy.wait_for_line(re.compile("^" + re.escape(line) + "$"), timeout=timeout, since=since)


def wait_count(proxy, pattern, n: int, timeout: float = 10.0) -> None:
    """Waits until at least n log lines contain `pattern`."""
    deadline = time.monotonic() + timeout
    while proxy.count_lines(pattern) < n:
        if time.monotonic() > deadline:
            raise TimeoutError(f"{proxy.count_lines(pattern)} of {n} lines with {pattern!r}:\n"
                               + "\n".join(proxy.lines()))
        time.sleep(0.02)
