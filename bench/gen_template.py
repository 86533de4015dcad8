#!/usr/bin/env python3
"""Writes the replies the fake daemons serve during a benchmark run.

Block templates are shaped like a litecoind/bitcoind getblocktemplate reply: compact JSON,
members in the daemon's order ("coinbaseaux" after the transaction list, so the proxy has to
search past the whole list to place its commitment), and well-formed transactions whose
"txid" and "hash" really are their double SHA-256, so a proxy that hashes them does the
same work as against a real node.

The submitblock request carries a block of exactly 4,000,000 bytes (8,000,000 hex digits):
an 80-byte header, the transaction count and transactions made like the templates' ones, the
last one sized to fill the block.

Usage: gen_template.py OUTDIR [SIZES...]   (default sizes 0 100 1000 4000 20000)
Writes OUTDIR/gbt<N>.json for each size, OUTDIR/small.json (a fixed getblockcount reply),
OUTDIR/auxblock.json (a getauxblock reply of one aux chain), OUTDIR/submit.json (a
submitblock reply) and the request bodies OUTDIR/req_gbt.json, OUTDIR/req_small.json and
OUTDIR/req_submit.json.
"""

import hashlib
import json
import os
import random
import sys

SEED = 20240611


def dsha(b: bytes) -> bytes:
    return hashlib.sha256(hashlib.sha256(b).digest()).digest()


def compact_size(n: int) -> bytes:
    if n < 0xFD:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + n.to_bytes(2, "little")
    return b"\xfe" + n.to_bytes(4, "little")


def var_bytes(b: bytes) -> bytes:
    return compact_size(len(b)) + b


def make_tx(rng: random.Random):
    """One spend: legacy P2PKH inputs or segwit P2WPKH inputs, two or three outputs."""
    segwit = rng.random() < 0.6
    n_in = rng.choice((1, 1, 1, 1, 2, 2, 3))
    n_out = rng.choice((2, 2, 3))
    ins = b""
    witness = b""
    for _ in range(n_in):
        outpoint = rng.randbytes(32) + rng.randrange(4).to_bytes(4, "little")
        # DER signature (71-72 bytes with the sighash byte) and a compressed public key.
        sig = b"\x30\x45" + rng.randbytes(69) + b"\x01"
        pub = b"\x02" + rng.randbytes(32)
        if segwit:
            script_sig = b""
            witness += compact_size(2) + var_bytes(sig) + var_bytes(pub)
        else:
            script_sig = var_bytes(sig) + var_bytes(pub)
        ins += outpoint + var_bytes(script_sig) + b"\xfd\xff\xff\xff"
    outs = b""
    for _ in range(n_out):
        value = rng.randrange(10_000, 5_000_000_000).to_bytes(8, "little")
        if rng.random() < 0.5:
            script = b"\x00\x14" + rng.randbytes(20)  # P2WPKH
        else:
            script = b"\x76\xa9\x14" + rng.randbytes(20) + b"\x88\xac"  # P2PKH
        outs += value + var_bytes(script)
    version = (2).to_bytes(4, "little")
    locktime = rng.randrange(2_000_000, 2_600_000).to_bytes(4, "little")
    body = compact_size(n_in) + ins + compact_size(n_out) + outs
    stripped = version + body + locktime
    full = version + b"\x00\x01" + body + witness + locktime if segwit else stripped
    txid = dsha(stripped)[::-1].hex()
    wtxid = dsha(full)[::-1].hex()
    weight = 3 * len(stripped) + len(full)
    sigops = 4 * n_in if not segwit else n_in
    fee = rng.randrange(1_000, 200_000)
    return {
        "data": full.hex(),
        "txid": txid,
        "hash": wtxid,
        "depends": [],
        "fee": fee,
        "sigops": sigops,
        "weight": weight,
    }


def block_template(n_tx: int, rng: random.Random) -> bytes:
    txs = [make_tx(rng) for _ in range(n_tx)]
    fees = sum(t["fee"] for t in txs)
    result = {
        "capabilities": ["proposal"],
        "version": 536870912,
        "rules": ["csv", "!segwit", "taproot", "mweb"],
        "vbavailable": {},
        "vbrequired": 0,
        "previousblockhash": rng.randbytes(32).hex(),
        "transactions": txs,
        "coinbaseaux": {"flags": ""},
        "coinbasevalue": 625_000_000 + fees,
        "longpollid": rng.randbytes(32).hex() + "1234",
        "target": "00" * 7 + "0a5b3c" + "00" * 22,
        "mintime": 1718000000,
        "mutable": ["time", "transactions", "prevblock"],
        "noncerange": "00000000ffffffff",
        "sigoplimit": 80000,
        "sizelimit": 4000000,
        "weightlimit": 4000000,
        "curtime": 1718001234,
        "bits": "1a0a5b3c",
        "height": 2712345,
        "default_witness_commitment": "6a24aa21a9ed" + rng.randbytes(32).hex(),
    }
    reply = {"result": result, "error": None, "id": 1}
    return json.dumps(reply, separators=(",", ":")).encode()


BLOCK_BYTES = 4_000_000


def filler_tx(rng: random.Random, size: int) -> bytes:
    """A legacy transaction of exactly `size` bytes (about 400 to 65,000): one P2PKH input, one
    OP_RETURN output whose script takes up the rest behind a 3-byte length."""
    sig = b"\x30\x45" + rng.randbytes(69) + b"\x01"
    script_sig = var_bytes(sig) + var_bytes(b"\x02" + rng.randbytes(32))
    head = ((1).to_bytes(4, "little") + compact_size(1) + rng.randbytes(32) + bytes(4)
            + var_bytes(script_sig) + b"\xff\xff\xff\xff" + compact_size(1) + bytes(8))
    locktime = bytes(4)
    script_len = size - len(head) - len(locktime) - 3
    assert 0xFD <= script_len <= 0xFFFF, size
    tx = head + compact_size(script_len) + b"\x6a" + rng.randbytes(script_len - 1) + locktime
    assert len(tx) == size, (len(tx), size)
    return tx


def block_bytes(rng: random.Random) -> bytes:
    """A serialised block of exactly BLOCK_BYTES: header, transaction count, transactions."""
    txs = []
    used = 0
    while True:
        tx = bytes.fromhex(make_tx(rng)["data"])
        # Room left for the header, the count and a filler of 1,000 bytes or more.
        if used + len(tx) > BLOCK_BYTES - 80 - 3 - 1000:
            break
        txs.append(tx)
        used += len(tx)
    # version, previous block and merkle root, time, bits, nonce
    header = ((536870912).to_bytes(4, "little") + rng.randbytes(64)
              + (1718001234).to_bytes(4, "little") + bytes.fromhex("3c5b0a1a") + rng.randbytes(4))
    count = compact_size(len(txs) + 1)
    txs.append(filler_tx(rng, BLOCK_BYTES - len(header) - len(count) - used))
    block = header + count + b"".join(txs)
    assert len(block) == BLOCK_BYTES, len(block)
    return block


def aux_block(rng: random.Random) -> bytes:
    reply = {
        "result": {
            "hash": rng.randbytes(32).hex(),
            "chainid": 98,
            "previousblockhash": rng.randbytes(32).hex(),
            "coinbasevalue": 1_000_000_000_000,
            "bits": "1a01b2c3",
            "height": 5234567,
            # Little-endian, as aux daemons send it.
            "target": "00" * 20 + "c3b201" + "00" * 9,
        },
        "error": None,
        "id": None,
    }
    return json.dumps(reply, separators=(",", ":")).encode()


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = sys.argv[1]
    sizes = [int(s) for s in sys.argv[2:]] or [0, 100, 1000, 4000, 20000]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(SEED)
    for n in sizes:
        # Templates beyond 4,000 transactions and the submitted block draw from generators of
        # their own, so the smaller replies stay the same bytes as before they were added.
        data = block_template(n, rng if n <= 4000 else random.Random(f"{SEED}/gbt{n}"))
        # Daemon replies are read up to 64 MiB, headers included.
        if len(data) > 64 * 1024 * 1024 - 1024:
            print(f"template of {n} transactions is {len(data)} bytes, too big", file=sys.stderr)
            return 1
        with open(os.path.join(out, f"gbt{n}.json"), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "auxblock.json"), "wb") as f:
        f.write(aux_block(rng))
    with open(os.path.join(out, "small.json"), "wb") as f:
        f.write(b'{"result":2712345,"error":null,"id":1}')
    with open(os.path.join(out, "req_gbt.json"), "wb") as f:
        f.write(b'{"id":1,"method":"getblocktemplate","params":[{"rules":["segwit","mweb"]}]}')
    with open(os.path.join(out, "req_small.json"), "wb") as f:
        f.write(b'{"id":1,"method":"getblockcount","params":[]}')
    with open(os.path.join(out, "submit.json"), "wb") as f:
        f.write(b'{"result":null,"error":null,"id":1}')
    with open(os.path.join(out, "req_submit.json"), "wb") as f:
        block = block_bytes(random.Random(f"{SEED}/block"))
        f.write(b'{"id":1,"method":"submitblock","params":["' + block.hex().encode() + b'"]}')
    return 0


if __name__ == "__main__":
    sys.exit(main())
