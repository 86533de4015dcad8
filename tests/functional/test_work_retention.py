"""Work stays provable for work_retention_s, however many templates are answered meanwhile, and
across a kill -9 with a state file; the state file refuses what it cannot use or another proxy
uses, serves what it holds while it cannot be written, and records the submissions that reached an
aux daemon. Proofs are judged by the independent checker in the fake aux daemons."""

import itertools
import os
import shutil
import sqlite3
import subprocess
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import pytest

from framework.auxpow_checker import parse_auxpow, sha256d
from framework.fake_aux import (aux_chain_entry, build_coinbase, build_header, fake_aux,  # noqa: F401
                                parent_template, random_txids, submit_param, template_result, wait_exact)
from framework.process import sanitized, status_kb
from framework.fake_daemon import free_port
from framework.proxy import parent_entry

STALE = b'{"result":null,"error":{"code":-1,"message":"stale aux snapshot"},"id":null}\n'
ACCEPTED = b'{"result":"true","error":null,"id":null}\n'
RSS_BOUND_KB = 32 * 1024


class Pool:
    """A proxy in front of a parent whose transactions change at every template request."""

    def __init__(self, proxy_factory, fake_daemon, chains, **config):
        self.counter = itertools.count(1)
        self.parent = fake_daemon(self._template)
        self.config = {"parent": parent_entry(self.parent),
                       "aux_chains": [aux_chain_entry(n, a) for n, a in chains], **config}
        self.proxy_factory = proxy_factory
        self.proxy = proxy_factory(self.config)

    def _template(self, request):
        n = next(self.counter)
        return 200, parent_template(random_txids(1 + n % 7, seed=n))

    def restart(self, **start_kw):
        """Kills the proxy and starts another with the same configuration."""
        self.proxy.stop()
        self.proxy = self.proxy_factory(self.config, **start_kw)
        return self.proxy

    def work(self, proxy=None):
        result = template_result((proxy or self.proxy).rpc("getblocktemplate").body)
        coinbase = build_coinbase(result)
        return result, coinbase, build_header(result, coinbase)

    def submit(self, chain, aux_hash, work):
        _, coinbase, header = work
        return self.proxy.rpc("submitauxblock", [submit_param(chain, aux_hash, coinbase, header)])


@pytest.fixture
def pool(proxy_factory, fake_daemon):
    return lambda chains, **config: Pool(proxy_factory, fake_daemon, chains, **config)


def test_shares_on_any_of_sixty_templates_are_proven(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)])
    works = [p.work() for _ in range(60)]
    # One aux root for all: the snapshot is told apart by the coinbase branch alone.
    assert len({w[0]["aux_merkle_root"] for w in works}) == 1
    assert len({tuple(t["txid"] for t in w[0]["transactions"]) for w in works}) == 60
    for i in (1, 2, 30, 59, 60):
        assert p.submit("c", aux.hash, works[i - 1]).body == ACCEPTED, i
    assert aux.verdicts == [(True, "")] * 5
    assert p.proxy.count_lines("no snapshot's coinbase branch") == 0


def test_a_share_on_an_old_root_is_proven_for_the_other_chain(pool, fake_aux):
    a, b = fake_aux(1), fake_aux(2)
    p = pool([("a", a), ("b", b)])
    old = p.work()
    old_root = old[0]["aux_merkle_root"]
    a_hash = a.hash
    a.new_template()   # what chain a's node offers once its block is in
    assert p.submit("a", a_hash, old).body == ACCEPTED
    deadline = time.monotonic() + 10
    while p.work()[0]["aux_merkle_root"] == old_root:
        assert time.monotonic() < deadline, "the aux root never changed after the accepted block"
    later = [p.work() for _ in range(20)]
    assert old_root not in {w[0]["aux_merkle_root"] for w in later}
    assert p.submit("b", b.hash, old).body == ACCEPTED
    assert b.verdicts == [(True, "")]
    assert parse_auxpow(b.submissions[0][1]).header == old[2]


def test_six_thousand_templates_stay_within_the_memory_bound(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)], workers=8)
    first = p.work()
    errors = []

    def client(n):
        try:
            for _ in range(n):
                assert p.proxy.rpc("getblocktemplate").status == 200
        except Exception as exc:  # a failed client must fail the test, not vanish with its thread
            errors.append(repr(exc))

    threads = [threading.Thread(target=client, args=(750,)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors and not any(t.is_alive() for t in threads), errors[:3]
    assert next(p.counter) > 6000
    peak = status_kb(p.proxy.process.pid, "VmHWM")
    print(f"peak RSS after 6,000 distinct templates: {peak / 1024:.1f} MB")
    # A sanitizer's shadow memory and quarantine are not the proxy's: the bound holds for the
    # build operators run.
    if not sanitized(p.proxy.process.pid):
        assert peak <= RSS_BOUND_KB
    assert p.proxy.count_lines("snapshot store full") == 0
    assert p.submit("c", aux.hash, first).body == ACCEPTED
    assert aux.verdicts == [(True, "")]


def test_work_older_than_the_retention_is_stale(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)], work_retention_s=1, aux_refresh_ms=100)
    old = p.work()
    old_hash = aux.hash
    aux.new_template()   # a root still answered for is found through the newer snapshots
    time.sleep(2.5)
    new = p.work()       # expired snapshots go when a template is put
    assert new[0]["aux_merkle_root"] != old[0]["aux_merkle_root"]
    assert p.submit("c", old_hash, old).body == STALE
    assert p.submit("c", aux.hash, new).body == ACCEPTED
    assert len(aux.submissions) == 1


def test_work_older_than_the_retention_is_stale_without_a_later_template(pool, fake_aux):
    aux = fake_aux(1)
    p = pool([("c", aux)], work_retention_s=1)
    old = p.work()
    time.sleep(2.5)
    assert p.submit("c", aux.hash, old).body == STALE


def test_work_from_before_a_kill_9_is_proven_after_the_restart(pool, fake_aux, tmp_path):
    aux = fake_aux(1)
    state = tmp_path / "state.sqlite"
    p = pool([("c", aux)], state_file=str(state))
    works = [p.work() for _ in range(3)]
    p.proxy.stop()
    assert p.proxy.returncode == -9
    proxy = p.restart()
    wait_exact(proxy, f"info(auxpow): loaded 3 snapshots from {state}")
    assert p.submit("c", aux.hash, works[0]).body == ACCEPTED
    assert aux.verdicts == [(True, "")]


def _another_programs_database(path):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE notes(text TEXT)")
    db.execute("INSERT INTO notes VALUES ('keep me')")
    db.commit()
    db.close()
    os.chmod(path, 0o644)


def _text_file(path):
    path.write_text("snapshots, one a line\n")


def _directory(path):
    path.mkdir()
    (path / "inside").write_text("x")


def _unreadable(path):
    path.write_bytes(b"")
    os.chmod(path, 0o600)


AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
UNUSABLE = {
    "directory": (_directory, "IsDir (is a directory)", ()),
    "text file": (_text_file, "StateFileUnusable (file is not a database)", ()),
    "another program's database": (_another_programs_database,
                                   "StateFileUnusable (another program's database, application_id 0)", ()),
    "no permission": (_unreadable, "AccessDenied (Permission denied)", AS_NOBODY),
}


def _snapshot_of(path):
    """Mode and bytes of a file, or the listing of a directory."""
    st = os.stat(path)
    if path.is_dir():
        return st.st_mode, sorted(os.listdir(path))
    return st.st_mode, path.read_bytes()


@pytest.mark.parametrize("make, error, prefix", UNUSABLE.values(), ids=UNUSABLE.keys())
def test_an_unusable_state_file_stops_the_start_and_is_left_as_it_was(skerrow_bin, make, error, prefix):
    if prefix and shutil.which(prefix[0]) is None:
        pytest.skip("setpriv (util-linux) is not installed")
    # A folder all may enter, with its own copy of the binary: the no-permission case runs as
    # nobody, who could not reach pytest's tmp_path.
    work = Path(tempfile.mkdtemp(prefix="skerrow-state-"))
    try:
        os.chmod(work, 0o755)
        binary = work / "skerrow"
        shutil.copy2(skerrow_bin, binary)
        state = work / "state.sqlite"
        make(state)
        before = _snapshot_of(state)
        conf = work / "skerrow.conf"
        conf.write_text('{"parent": {"url": "127.0.0.1:1"}, "listen": "127.0.0.1:1", '
                        '"state_file": "%s"}' % state)
        os.chmod(conf, 0o644)
        done = subprocess.run([*prefix, str(binary), "-c", str(conf)], cwd=work, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        err = done.stderr.decode()
        if err.startswith("setpriv:"):
            pytest.skip("setpriv cannot change user here: " + err.strip())
        assert done.returncode == 1, err
        assert f"error(skerrow): state file {state}: error.{error}" in err.splitlines(), err
        assert _snapshot_of(state) == before
        assert sorted(os.listdir(work)) == ["skerrow", "skerrow.conf", "state.sqlite"]
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _metric(port, name):
    """The samples of one metric family, {labels text: value}, read straight from /metrics."""
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as r:
        text = r.read().decode()
    return {line.split(" ")[0]: float(line.split(" ")[1]) for line in text.splitlines()
            if line.startswith(name + "{")}


def test_only_submissions_sent_to_an_aux_daemon_are_recorded_cut_as_in_the_log(pool, fake_aux, tmp_path):
    aux = fake_aux(1)
    state = tmp_path / "state.sqlite"
    metrics_port = free_port()
    p = pool([("c", aux)], state_file=str(state), metrics_listen=f"127.0.0.1:{metrics_port}")
    start = int(time.time())
    accepted, refused, long_hash = p.work(), p.work(), p.work()
    assert p.submit("c", aux.hash, accepted).body == ACCEPTED
    aux.submit_result = False
    assert p.submit("c", aux.hash, refused).json()["result"] == "false"
    aux.submit_result = "no " * 100  # a daemon's long message: cut in the row as in the log
    assert p.submit("c", "ab" * 100, long_hash).json()["result"] == "no " * 100
    _, coinbase, header = accepted
    stale_root = "77" * 32
    stale_coinbase = build_coinbase({"height": 5, "coinbaseaux": {
        "flags": "fabe6d6d" + stale_root + "01000000" + "00000000"}})
    # Refused before any daemon call: logged and counted, never stored, however long.
    refusals = [("c", aux.hash, stale_coinbase, STALE),
                ("x" * 4000, "ab" * 2000, coinbase, b'"unknown chain"'),
                ("c", aux.hash, b"\x00", b'"no AuxPoW commitment in coinbase"')]
    for chain, aux_hash, cb, answer in refusals:
        assert answer in p.submit(chain, aux_hash, (None, cb, header)).body
    assert p.proxy.rpc("submitauxblock", ["c:" + aux.hash]).status == 502
    end = int(time.time())
    assert len(aux.submissions) == 3

    def block_hash(work):
        return sha256d(work[2])[::-1].hex()

    def proof_size(n):
        return len(bytes.fromhex(aux.submissions[n][1]))

    expected = [("c", aux.hash, block_hash(accepted), proof_size(0), "true"),
                ("c", aux.hash, block_hash(refused), proof_size(1), "false"),
                ("c", "ab" * 64 + "...", block_hash(long_hash), proof_size(2), ("no " * 100)[:128] + "...")]
    rows = []
    deadline = time.monotonic() + 10
    while len(rows) < 3 and time.monotonic() < deadline:
        db = sqlite3.connect(f"file:{state}?mode=ro", uri=True)
        try:
            rows = db.execute("SELECT time, chain, aux_hash, parent_block_hash, proof_size, result "
                              "FROM submissions ORDER BY id").fetchall()
        finally:
            db.close()
        time.sleep(0.05)
    assert [row[1:] for row in rows] == expected
    assert all(start <= row[0] <= end for row in rows)
    assert _metric(metrics_port, "skerrow_aux_submissions_refused_total") == {
        'skerrow_aux_submissions_refused_total{reason="malformed"}': 1.0,
        'skerrow_aux_submissions_refused_total{reason="unknown_chain"}': 1.0,
        'skerrow_aux_submissions_refused_total{reason="no_commitment"}': 1.0}
    assert _metric(metrics_port, "skerrow_aux_submissions_total")[
        'skerrow_aux_submissions_total{chain="c",result="stale"}'] == 1.0


def test_a_second_proxy_on_a_state_file_in_use_refuses_to_start(pool, fake_aux, proxy_factory, tmp_path):
    aux = fake_aux(1)
    state = tmp_path / "state.sqlite"
    p = pool([("c", aux)], state_file=str(state))
    work = p.work()
    second = proxy_factory(p.config | {"listen": f"127.0.0.1:{free_port()}"}, wait=False)
    assert second.wait_exit() == 1
    assert f"error(skerrow): state file {state}: error.Locked (in use by another process)" in second.lines()
    # The first goes on, its work untouched; a kill -9 leaves the file to the next proxy.
    assert p.submit("c", aux.hash, work).body == ACCEPTED
    p.restart()
    wait_exact(p.proxy, f"info(auxpow): loaded 1 snapshots from {state}")


def test_a_state_file_that_cannot_be_written_is_served_until_it_can(pool, fake_aux, tmp_path):
    # Another program holding the database's write lock makes every write of the proxy fail as a
    # full disk would, and works as root (a read-only bind or a small file system would not).
    aux = fake_aux(1)
    state = tmp_path / "state.sqlite"
    p = pool([("c", aux)], state_file=str(state))
    old = p.work()
    p.proxy.stop()
    holder = sqlite3.connect(state, isolation_level=None)
    try:
        holder.execute("BEGIN EXCLUSIVE")
        proxy = p.restart()
        wait_exact(proxy, f"info(auxpow): loaded 1 snapshots from {state}")
        wait_exact(proxy, "warning(auxpow): state file write failed: error.FileBusy")
        new = p.work()
        assert p.submit("c", aux.hash, old).body == ACCEPTED
        assert p.submit("c", aux.hash, new).body == ACCEPTED
        assert proxy.count_lines("state file write failed") == 1
    finally:
        holder.execute("COMMIT")
        holder.close()
    deadline = time.monotonic() + 10
    while proxy.count_lines(f"info(auxpow): state file written again: {state}") == 0:
        assert time.monotonic() < deadline, "writing never resumed"
        p.work()
        time.sleep(0.2)
