"""Builds a Litecoin block from a getblocktemplate result the way a pool does.

Coinbase scriptSig: the BIP34 height push, then the raw bytes of "coinbaseaux"."flags" (where a
merged-mining proxy places its commitment), then a push of the extranonce. Outputs: the whole
"coinbasevalue" to the payout script, then the witness commitment when the template asks for
one, with the 32-byte reserved value as the coinbase witness. Proof of work is scrypt
(N=1024, r=1, p=1) of the 80-byte header, read as a little-endian number; the block's
identity is still the double SHA-256 of the header.

MWEB: a template carrying an "mweb" member would need a HogEx transaction and extension block
data; on regtest MWEB cannot be active below height 432, and such templates are refused here
rather than turned into invalid blocks.
"""

from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass, field

WITNESS_MAGIC = bytes.fromhex("aa21a9ed")
WITNESS_RESERVED = bytes(32)
MAX_COINBASE_SCRIPT = 100


# -- primitives -----------------------------------------------------------------------------

def sha256d(data: bytes) -> bytes:
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


def scrypt_pow(header: bytes) -> bytes:
    return hashlib.scrypt(header, salt=header, n=1024, r=1, p=1, dklen=32)


def compact_size(n: int) -> bytes:
    if n < 0xfd:
        return bytes([n])
    if n <= 0xffff:
        return b"\xfd" + struct.pack("<H", n)
    if n <= 0xffffffff:
        return b"\xfe" + struct.pack("<I", n)
    return b"\xff" + struct.pack("<Q", n)


def push_data(data: bytes) -> bytes:
    """The shortest script push of `data`."""
    n = len(data)
    if n < 0x4c:
        return bytes([n]) + data
    if n <= 0xff:
        return b"\x4c" + bytes([n]) + data
    if n <= 0xffff:
        return b"\x4d" + struct.pack("<H", n) + data
    return b"\x4e" + struct.pack("<I", n) + data


def script_number(n: int) -> bytes:
    """A number as the script pushes it (what BIP34 requires for the height)."""
    if n == 0:
        return b"\x00"
    if 1 <= n <= 16:
        return bytes([0x50 + n])
    negative = n < 0
    magnitude = abs(n)
    out = bytearray()
    while magnitude:
        out.append(magnitude & 0xff)
        magnitude >>= 8
    if out[-1] & 0x80:
        out.append(0x80 if negative else 0x00)
    elif negative:
        out[-1] |= 0x80
    return push_data(bytes(out))


def bits_to_target(bits: str | int) -> int:
    """The target of a compact "bits" value (hex text as in templates, or an integer)."""
    value = int(bits, 16) if isinstance(bits, str) else bits
    exponent = value >> 24
    mantissa = value & 0x007fffff
    if value & 0x00800000:
        raise ValueError(f"negative compact target {value:08x}")
    if exponent <= 3:
        return mantissa >> (8 * (3 - exponent))
    return mantissa << (8 * (exponent - 3))


def merkle_root(hashes: list[bytes]) -> bytes:
    """Bitcoin merkle root over hashes in internal order (the last one doubled on odd levels)."""
    if not hashes:
        raise ValueError("merkle root of nothing")
    level = list(hashes)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def coinbase_branch(txids_display: list[str]) -> list[bytes]:
    """The merkle branch (internal order, deepest first) linking the coinbase, leaf 0, to the
    root of a block whose other transactions have these txids."""
    level = [bytes(32)] + [bytes.fromhex(t)[::-1] for t in txids_display]
    branch = []
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        branch.append(level[1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return branch


def root_from_branch(leaf: bytes, branch: list[bytes], index: int = 0) -> bytes:
    h = leaf
    for sibling in branch:
        h = sha256d(sibling + h) if index & 1 else sha256d(h + sibling)
        index >>= 1
    return h


def witness_commitment_script(wtxids_display: list[str],
                              reserved: bytes = WITNESS_RESERVED) -> bytes:
    """The coinbase output script committing to the witnesses of the non-coinbase
    transactions (their "hash" fields); the coinbase's own wtxid counts as zero."""
    leaves = [bytes(32)] + [bytes.fromhex(w)[::-1] for w in wtxids_display]
    commitment = sha256d(merkle_root(leaves) + reserved)
    return b"\x6a\x24" + WITNESS_MAGIC + commitment


# -- transactions ---------------------------------------------------------------------------

@dataclass
class TxOut:
    value: int
    script: bytes

    def serialize(self) -> bytes:
        return struct.pack("<q", self.value) + compact_size(len(self.script)) + self.script


@dataclass
class Coinbase:
    script_sig: bytes
    outputs: list[TxOut]
    witness: list[bytes] = field(default_factory=list)
    version: int = 1
    lock_time: int = 0

    def serialize(self, with_witness: bool = True) -> bytes:
        txin = (bytes(32) + b"\xff\xff\xff\xff" + compact_size(len(self.script_sig))
                + self.script_sig + b"\xff\xff\xff\xff")
        outs = compact_size(len(self.outputs)) + b"".join(o.serialize() for o in self.outputs)
        body_in = compact_size(1) + txin
        if with_witness and self.witness:
            wit = compact_size(len(self.witness)) + b"".join(
                compact_size(len(item)) + item for item in self.witness)
            return (struct.pack("<i", self.version) + b"\x00\x01" + body_in + outs + wit
                    + struct.pack("<I", self.lock_time))
        return struct.pack("<i", self.version) + body_in + outs + struct.pack("<I", self.lock_time)

    @property
    def txid_internal(self) -> bytes:
        return sha256d(self.serialize(with_witness=False))

    @property
    def txid(self) -> str:
        return self.txid_internal[::-1].hex()

    def hex(self) -> str:
        """The coinbase as a pool hands it over for an aux proof: without witness data, so
        that its double SHA-256 is the txid in the block's merkle tree."""
        return self.serialize(with_witness=False).hex()


def coinbase_flags(template: dict) -> bytes:
    aux = template.get("coinbaseaux")
    if isinstance(aux, dict) and isinstance(aux.get("flags"), str):
        return bytes.fromhex(aux["flags"])
    return b""


def build_coinbase(template: dict, payout_script: bytes, extranonce: bytes = bytes(8),
                   transactions: list[dict] | None = None) -> Coinbase:
    """The coinbase for `template`, committing to the witnesses of `transactions` (default:
    all of the template's)."""
    txs = template["transactions"] if transactions is None else transactions
    script_sig = script_number(template["height"]) + coinbase_flags(template) + push_data(extranonce)
    if not 2 <= len(script_sig) <= MAX_COINBASE_SCRIPT:
        raise ValueError(f"coinbase scriptSig of {len(script_sig)} bytes (allowed 2..100)")
    outputs = [TxOut(template["coinbasevalue"] - _fees_left_out(template, txs), payout_script)]
    witness = []
    if "default_witness_commitment" in template:
        outputs.append(TxOut(0, witness_commitment_script([tx["hash"] for tx in txs])))
        witness = [WITNESS_RESERVED]
    return Coinbase(script_sig, outputs, witness)


def _fees_left_out(template: dict, txs: list[dict]) -> int:
    kept = {tx["txid"] for tx in txs}
    return sum(tx.get("fee", 0) for tx in template["transactions"] if tx["txid"] not in kept)


# -- blocks ---------------------------------------------------------------------------------

@dataclass
class Block:
    version: int
    prev_hash: str          # display order
    time: int
    bits: str
    coinbase: Coinbase
    transactions: list[dict]
    nonce: int = 0

    @property
    def merkle_root(self) -> bytes:
        return merkle_root([self.coinbase.txid_internal]
                           + [bytes.fromhex(tx["txid"])[::-1] for tx in self.transactions])

    def header(self, nonce: int | None = None) -> bytes:
        return (struct.pack("<i", self.version) + bytes.fromhex(self.prev_hash)[::-1]
                + self.merkle_root + struct.pack("<I", self.time)
                + struct.pack("<I", int(self.bits, 16))
                + struct.pack("<I", self.nonce if nonce is None else nonce))

    @property
    def hash(self) -> str:
        return sha256d(self.header())[::-1].hex()

    @property
    def target(self) -> int:
        return bits_to_target(self.bits)

    def pow_value(self) -> int:
        return int.from_bytes(scrypt_pow(self.header()), "little")

    def solve(self, target: int | None = None, max_tries: int = 200_000) -> int:
        """Searches nonces from the current one until the scrypt hash is at most `target`
        (default: the block's own target) and keeps that nonce."""
        goal = self.target if target is None else target
        header = bytearray(self.header())
        for nonce in range(self.nonce, self.nonce + max_tries):
            header[76:80] = struct.pack("<I", nonce & 0xffffffff)
            if int.from_bytes(scrypt_pow(bytes(header)), "little") <= goal:
                self.nonce = nonce & 0xffffffff
                return self.nonce
        raise RuntimeError(f"no nonce found in {max_tries} tries for target {goal:064x}")

    def serialize(self) -> bytes:
        txs = [self.coinbase.serialize(with_witness=True)]
        txs += [bytes.fromhex(tx["data"]) for tx in self.transactions]
        return self.header() + compact_size(len(txs)) + b"".join(txs)

    def hex(self) -> str:
        return self.serialize().hex()


def build_block(template: dict, payout_script: bytes, extranonce: bytes = bytes(8),
                transactions: list[dict] | None = None) -> Block:
    """An unsolved block for `template` holding `transactions` (default: all of the
    template's, in template order; a subset must keep parents before children)."""
    if "mweb" in template:
        raise NotImplementedError("template asks for an MWEB extension block; not supported")
    txs = list(template["transactions"] if transactions is None else transactions)
    coinbase = build_coinbase(template, payout_script, extranonce, txs)
    return Block(template["version"], template["previousblockhash"], template["curtime"],
                 template["bits"], coinbase, txs)


def target_from_aux_hex(target_hex: str) -> int:
    """An aux chain's "target" text (least significant byte first) as a number."""
    return int.from_bytes(bytes.fromhex(target_hex), "little")
