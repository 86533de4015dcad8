"""An AuxPoW proof checker written from the merged-mining rules that aux chain nodes apply.

It shares nothing with the proxy: it parses the serialised proof the way an aux node
deserialises it (coinbase transaction, parent block hash, coinbase merkle branch with its
index, chain merkle branch with its index, 80-byte parent header) and runs the node's checks:

  * the coinbase is leaf 0 of the parent block's merkle tree: its branch leads from the
    coinbase's txid (witness data stripped) to the merkle root in the parent header;
  * the chain branch leads from the aux block hash to the aux merkle root;
  * that root stands in the coinbase input's script, in display byte order, right after the
    "fabe6d6d" magic, and the magic occurs only once;
  * the 4 bytes after the root give the tree size, which must be 2 ** (chain branch length);
    the 4 bytes after that give the nonce, and the chain index must be the slot that the
    merged-mining formula gives for that nonce and the chain's id.

check_auxpow raises AuxPowError naming the first rule that fails.
"""

from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass

MAGIC = bytes.fromhex("fabe6d6d")
MAX_CHAIN_BRANCH = 30


class AuxPowError(Exception):
    pass


def sha256d(data: bytes) -> bytes:
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


class _Stream:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise AuxPowError(f"proof ends early: need {n} bytes at offset {self.pos}")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def i32(self) -> int:
        return struct.unpack("<i", self.take(4))[0]

    def compact(self) -> int:
        first = self.u8()
        if first < 253:
            return first
        width = {253: 2, 254: 4, 255: 8}[first]
        return int.from_bytes(self.take(width), "little")

    def var_bytes(self) -> bytes:
        return self.take(self.compact())


@dataclass
class Transaction:
    raw: bytes               # as serialised in the proof
    stripped: bytes          # without marker, flag and witnesses
    input_scripts: list

    @property
    def txid(self) -> bytes:
        """Internal byte order."""
        return sha256d(self.stripped)


def read_transaction(s: _Stream) -> Transaction:
    start = s.pos
    version = s.take(4)
    witness = False
    body_start = s.pos          # the input count belongs to the stripped form
    n_in = s.compact()
    if n_in == 0:
        flag = s.u8()
        if flag == 0:
            raise AuxPowError("transaction without inputs")
        if flag != 1:
            raise AuxPowError(f"unknown transaction flag {flag}")
        witness = True
        body_start = s.pos
        n_in = s.compact()
    scripts = []
    for _ in range(n_in):
        s.take(36)
        scripts.append(s.var_bytes())
        s.take(4)
    for _ in range(s.compact()):
        s.take(8)
        s.var_bytes()
    body_end = s.pos
    if witness:
        for _ in range(n_in):
            for _ in range(s.compact()):
                s.var_bytes()
    locktime = s.take(4)
    raw = s.data[start:s.pos]
    stripped = version + s.data[body_start:body_end] + locktime
    return Transaction(raw, stripped, scripts)


def transaction_from_bytes(data: bytes) -> Transaction:
    s = _Stream(data)
    tx = read_transaction(s)
    if s.pos != len(data):
        raise AuxPowError("bytes after the transaction")
    return tx


def txid_of(data: bytes) -> bytes:
    return transaction_from_bytes(data).txid


@dataclass
class AuxPow:
    coinbase: Transaction
    parent_hash: bytes
    coinbase_branch: list
    coinbase_index: int
    chain_branch: list
    chain_index: int
    header: bytes

    @property
    def header_merkle_root(self) -> bytes:
        return self.header[36:68]


def parse_auxpow(proof: bytes | str) -> AuxPow:
    data = bytes.fromhex(proof) if isinstance(proof, str) else bytes(proof)
    s = _Stream(data)
    coinbase = read_transaction(s)
    parent_hash = s.take(32)
    cb_branch = [s.take(32) for _ in range(s.compact())]
    cb_index = s.i32()
    chain_branch = [s.take(32) for _ in range(s.compact())]
    chain_index = s.i32()
    header = s.take(80)
    if s.pos != len(data):
        raise AuxPowError(f"{len(data) - s.pos} bytes after the parent header")
    return AuxPow(coinbase, parent_hash, cb_branch, cb_index, chain_branch, chain_index, header)


def branch_root(leaf: bytes, branch: list, index: int) -> bytes:
    """Walks a merkle branch: each index bit says whether the node is the right child."""
    node = leaf
    for sibling in branch:
        node = sha256d(sibling + node) if index & 1 else sha256d(node + sibling)
        index >>= 1
    return node


def expected_index(nonce: int, chain_id: int, height: int) -> int:
    rand = nonce
    rand = (rand * 1103515245 + 12345) & 0xFFFFFFFF
    rand = (rand + chain_id) & 0xFFFFFFFF
    rand = (rand * 1103515245 + 12345) & 0xFFFFFFFF
    return rand % (1 << height)


def check_auxpow(proof: bytes | str, aux_hash_hex: str, chain_id: int) -> AuxPow:
    """Parses and checks a proof for the aux block `aux_hash_hex` (display order) of the chain
    with numeric id `chain_id`. Returns the parsed proof; raises AuxPowError otherwise."""
    pow_ = parse_auxpow(proof)
    if pow_.coinbase_index != 0:
        raise AuxPowError("coinbase is not leaf 0 of the parent block")
    if len(pow_.chain_branch) > MAX_CHAIN_BRANCH:
        raise AuxPowError("chain merkle branch too long")

    aux_leaf = bytes.fromhex(aux_hash_hex)[::-1]
    root_display = branch_root(aux_leaf, pow_.chain_branch, pow_.chain_index)[::-1]

    if branch_root(pow_.coinbase.txid, pow_.coinbase_branch, 0) != pow_.header_merkle_root:
        raise AuxPowError("coinbase branch does not lead to the parent header's merkle root")

    if not pow_.coinbase.input_scripts:
        raise AuxPowError("coinbase has no input")
    script = pow_.coinbase.input_scripts[0]
    root_at = script.find(root_display)
    if root_at < 0:
        raise AuxPowError("chain merkle root not in the parent coinbase")
    head_at = script.find(MAGIC)
    if head_at < 0:
        raise AuxPowError("no merged-mining magic in the parent coinbase")
    if script.find(MAGIC, head_at + 1) >= 0:
        raise AuxPowError("more than one merged-mining magic in the parent coinbase")
    if head_at + len(MAGIC) != root_at:
        raise AuxPowError("merged-mining magic is not right before the chain merkle root")

    rest = script[root_at + 32:]
    if len(rest) < 8:
        raise AuxPowError("tree size and nonce missing after the chain merkle root")
    size, nonce = struct.unpack("<II", rest[:8])
    height = len(pow_.chain_branch)
    if size != 1 << height:
        raise AuxPowError(f"tree size {size} does not match a chain branch of {height} entries")
    if pow_.chain_index != expected_index(nonce, chain_id, height):
        raise AuxPowError(f"chain index {pow_.chain_index} is not the slot of chain id {chain_id}")
    return pow_
