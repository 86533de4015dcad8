"""The hashblock relay of the running proxy: daemons' ZeroMQ publishers stand in as test PUB
sockets on 127.0.0.1, and a test SUB listens on the proxy's own "zmq_pub"."""

from __future__ import annotations

import os
import pathlib
import secrets
import shutil
import socket
import subprocess
import time

import pytest
import zmq

from framework.fake_aux import fake_aux, wait_count  # noqa: F401
from framework.fake_daemon import free_port, json_result
from framework.proxy import parent_entry

READY = "kqueue event loop started"
DEADLINE = 10.0


# -- helpers -------------------------------------------------------------------------------


@pytest.fixture
def zctx():
    ctx = zmq.Context()
    yield ctx
    ctx.destroy(linger=0)


def daemon_publisher(ctx) -> tuple[zmq.Socket, str]:
    """A PUB socket standing in for a daemon, bound on a kernel-chosen 127.0.0.1 port."""
    pub = ctx.socket(zmq.PUB)
    pub.bind("tcp://127.0.0.1:*")
    return pub, pub.getsockopt(zmq.LAST_ENDPOINT).decode()


def relay_subscriber(ctx, endpoint: str) -> zmq.Socket:
    sub = ctx.socket(zmq.SUB)
    sub.setsockopt(zmq.SUBSCRIBE, b"")
    sub.connect(endpoint)
    return sub


def notification(seq: int, hash_bytes: bytes | None = None) -> list[bytes]:
    """What a daemon publishes for a new block: topic, 32-byte hash, 4-byte sequence."""
    return [b"hashblock", hash_bytes or secrets.token_bytes(32), seq.to_bytes(4, "little")]


def relay_until_received(pub, sub, parts, timeout=DEADLINE) -> list[bytes]:
    """Publishes `parts` again and again until `sub` gets a message; ZeroMQ drops what is
    published before both hops are connected."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pub.send_multipart(parts)
        if sub.poll(100):
            return sub.recv_multipart()
    raise TimeoutError("nothing came out of the relay")


def drain(sub, quiet=0.3):
    """Reads until nothing has arrived for `quiet` seconds (copies left by the warm-up)."""
    got = []
    while sub.poll(int(quiet * 1000)):
        got.append(sub.recv_multipart())
    return got


def tcp_endpoint() -> str:
    return f"tcp://127.0.0.1:{free_port()}"


def aux_entry(chain_id: str, daemon, hashblock: str | None = None) -> dict:
    entry = {"chain_id": chain_id, "url": daemon.url}
    if hashblock is not None:
        entry["zmq_hashblock"] = hashblock
    return entry


def port_is_free(endpoint: str) -> bool:
    port = int(endpoint.rsplit(":", 1)[1])
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


def assert_serves_http(proxy, daemon):
    """One passthrough call: the proxy answers with what the parent daemon said."""
    reply = proxy.rpc("getblockcount", id=7)
    assert reply.status == 200
    assert reply.json() == {"result": 812, "error": None, "id": 7}
    assert daemon.requests[-1].method == "getblockcount"


def block_count_daemon(fake_daemon):
    return fake_daemon(lambda request: (200, json_result(812, request)))


def zmq_lines(proxy) -> list[str]:
    return [line for line in proxy.lines() if "(zmq)" in line or "ZMQ" in line]


# -- relaying ------------------------------------------------------------------------------


def test_notifications_are_relayed_unchanged_and_logged_by_chain(proxy_factory, fake_daemon, fake_aux, zctx):
    parent_pub, parent_ep = daemon_publisher(zctx)
    aux_pub, aux_ep = daemon_publisher(zctx)
    daemon = fake_daemon()
    relay_ep = tcp_endpoint()
    quiet, doge = fake_aux(1), fake_aux(2)
    proxy = proxy_factory({
        "zmq_pub": relay_ep,
        "parent": parent_entry(daemon, zmq_hashblock=parent_ep),
        "aux_chains": [aux_entry("quiet", quiet), aux_entry("doge", doge, aux_ep)],
    })
    wait_count(proxy, "info(auxpow): aux template for ", 2)
    proxy.wait_for_line("info(zmq): aggregator polling 2 subscription(s)")
    assert zmq_lines(proxy)[:3] == [
        f"info(zmq): ZMQ PUB bound to {relay_ep}",
        f"info(zmq): ZMQ SUB connected to {parent_ep} (parent)",
        f"info(zmq): ZMQ SUB connected to {aux_ep} (doge)",
    ]
    sub = relay_subscriber(zctx, relay_ep)

    sent = notification(1)
    assert relay_until_received(parent_pub, sub, sent) == sent
    proxy.wait_for_line("info(zmq): hashblock from parent (3 parts forwarded)")
    drain(sub)

    mark = proxy.mark()
    sent = notification(2)
    assert relay_until_received(aux_pub, sub, sent) == sent
    proxy.wait_for_line("info(zmq): hashblock from doge (3 parts forwarded)", since=mark)
    drain(sub)
    # A new aux block makes that chain's work stale: its template, and only its, is fetched anew.
    proxy.wait_for_line("info(auxpow): aux template for doge", since=mark)
    assert len(quiet.fetches) == 1 and len(doge.fetches) >= 2

    # Parts longer than the 256-byte buffer leave cut; shorter ones (empty too) as they are.
    long_part = secrets.token_bytes(300)
    parent_pub.send_multipart([b"hashblock", long_part, b"", b"\x05\x00\x00\x00"])
    assert sub.poll(int(DEADLINE * 1000))
    assert sub.recv_multipart() == [b"hashblock", long_part[:256], b"", b"\x05\x00\x00\x00"]

    # Only the "hashblock" topic is taken from the daemons; a one-part message is still
    # relayed as one part.
    mark = proxy.mark()
    parent_pub.send_multipart([b"rawtx", b"\x00" * 40])
    parent_pub.send_multipart([b"hashblockX"])
    assert sub.poll(int(DEADLINE * 1000))
    assert sub.recv_multipart() == [b"hashblockX"]
    proxy.wait_for_line("info(zmq): hashblock from parent (1 parts forwarded)", since=mark)
    assert not any("(zmq)" in line and "2 parts" in line for line in proxy.lines()[mark:])


# -- running without a relay ---------------------------------------------------------------


def test_every_node_of_a_chain_is_heard_and_each_block_relayed_once(proxy_factory, fake_daemon, zctx):
    main_pub, main_ep = daemon_publisher(zctx)
    backup_pub, backup_ep = daemon_publisher(zctx)
    relay_ep = tcp_endpoint()
    proxy = proxy_factory({"zmq_pub": relay_ep, "parent": parent_entry(
        fake_daemon(), zmq_hashblock=main_ep, backups=[{"url": fake_daemon().url, "zmq_hashblock": backup_ep}])})
    proxy.wait_for_line("info(zmq): aggregator polling 2 subscription(s)")
    sub = relay_subscriber(zctx, relay_ep)
    # A block each node announces first is relayed from it (once both hops are connected).
    first, second = notification(1), notification(2)
    assert relay_until_received(main_pub, sub, first) == first
    assert relay_until_received(backup_pub, sub, second) == second
    drain(sub)

    # The same blocks from the other node: not relayed twice.
    mark = proxy.mark()
    backup_pub.send_multipart(first)
    main_pub.send_multipart(second)
    wait_count(proxy, "already relayed from another node", 2)
    assert drain(sub) == []
    assert proxy.count_lines("(3 parts forwarded)", since=mark) == 0


def test_publisher_without_subscriptions_stays_bound(proxy_factory, fake_daemon):
    daemon = block_count_daemon(fake_daemon)
    relay_ep = tcp_endpoint()
    proxy = proxy_factory({"zmq_pub": relay_ep, "parent": parent_entry(daemon)})
    proxy.wait_for_line("warning(zmq): no ZMQ subscriptions configured, aggregator exiting")
    assert f"info(zmq): ZMQ PUB bound to {relay_ep}" in proxy.lines()
    assert not port_is_free(relay_ep)
    assert_serves_http(proxy, daemon)
    assert proxy.returncode is None


@pytest.mark.parametrize("second_aux, expected_line, error", [
    ("bogus://nowhere", "error(zmq): zmq_connect(bogus://nowhere) failed for nmc",
     "ZmqConnectFailed"),
    ("tcp://127.0.0.1", "error(zmq): zmq_connect(tcp://127.0.0.1) failed for nmc",
     "ZmqConnectFailed"),
    ("tcp://127.0.0.1:" + "0" * 239 + "1", None, "EndpointTooLong"),
])
def test_failed_subscription_abandons_the_relay(proxy_factory, fake_daemon, second_aux,
                                                expected_line, error):
    daemon = block_count_daemon(fake_daemon)
    relay_ep, parent_zmq, first_aux = tcp_endpoint(), tcp_endpoint(), tcp_endpoint()
    proxy = proxy_factory({
        "zmq_pub": relay_ep,
        "parent": parent_entry(daemon, zmq_hashblock=parent_zmq),
        "aux_chains": [aux_entry("doge", fake_daemon(), first_aux),
                       aux_entry("nmc", fake_daemon(), second_aux),
                       aux_entry("later", fake_daemon(), tcp_endpoint())],
    })
    expected = [f"info(zmq): ZMQ PUB bound to {relay_ep}",
                f"info(zmq): ZMQ SUB connected to {parent_zmq} (parent)",
                f"info(zmq): ZMQ SUB connected to {first_aux} (doge)"]
    if expected_line:
        expected.append(expected_line)
    expected.append(f"error(http): ZMQ aggregator init failed: error.{error}, continuing without ZMQ")
    assert zmq_lines(proxy) == expected
    # No thread, and the publisher is gone with its context.
    assert port_is_free(relay_ep)
    assert_serves_http(proxy, daemon)
    assert not any("aggregator" in line and "(zmq)" in line for line in proxy.lines())


def test_bind_failure_abandons_the_relay(proxy_factory, fake_daemon):
    daemon = block_count_daemon(fake_daemon)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        relay_ep = f"tcp://127.0.0.1:{taken.getsockname()[1]}"
        proxy = proxy_factory({"zmq_pub": relay_ep,
                               "parent": parent_entry(daemon, zmq_hashblock=tcp_endpoint())})
        assert zmq_lines(proxy) == [
            f"error(zmq): zmq_bind({relay_ep}) failed",
            "error(http): ZMQ aggregator init failed: error.ZmqBindFailed, continuing without ZMQ",
        ]
        assert_serves_http(proxy, daemon)


# -- what the proxy asks of libzmq, observed through an interposed library -----------------

SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void mark(const char *what) {
  const char *path = getenv("SKERROW_SHIM_MARKER");
  if (!path) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  (void)!write(fd, what, strlen(what));
  (void)!write(fd, "\n", 1);
  close(fd);
}

static int failing(const char *what) {
  const char *mode = getenv("SKERROW_SHIM_FAIL");
  return mode && strcmp(mode, what) == 0;
}

void *zmq_ctx_new(void) {
  mark("zmq_ctx_new");
  if (failing("ctx")) return NULL;
  void *(*real)(void) = (void *(*)(void))dlsym(RTLD_NEXT, "zmq_ctx_new");
  return real();
}

void *zmq_init(int io_threads) {
  mark("zmq_init");
  void *(*real)(int) = (void *(*)(int))dlsym(RTLD_NEXT, "zmq_init");
  return real(io_threads);
}

void *zmq_socket(void *ctx, int type) {
  mark("zmq_socket");
  if (failing("pub") && type == 1) return NULL;
  if (failing("sub") && type == 2) return NULL;
  void *(*real)(void *, int) = (void *(*)(void *, int))dlsym(RTLD_NEXT, "zmq_socket");
  return real(ctx, type);
}

/* With SKERROW_SHIM_POLL_SETTLE_MS set, a poll that found something waits that long and
   looks again without waiting, so that notifications published close together are all
   ready in one pass. */
int zmq_poll(void *items, int count, long timeout) {
  int (*real)(void *, int, long) = (int (*)(void *, int, long))dlsym(RTLD_NEXT, "zmq_poll");
  int rc = real(items, count, timeout);
  const char *settle = getenv("SKERROW_SHIM_POLL_SETTLE_MS");
  if (rc > 0 && settle) {
    usleep((useconds_t)atoi(settle) * 1000);
    rc = real(items, count, 0);
  }
  return rc;
}

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

/* Only the aggregator is started detached; the workers and libzmq's own threads are not. */
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
  if (failing("thread") && attr) {
    int state = 0;
    pthread_attr_getdetachstate(attr, &state);
    if (state == PTHREAD_CREATE_DETACHED) return EAGAIN;
  }
  create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  return real(thread, attr, start, arg);
}
"""


@pytest.fixture(scope="module")
def zmq_shim(tmp_path_factory) -> pathlib.Path:
    gcc = shutil.which("gcc")
    if gcc is None:
        pytest.skip("gcc is needed to build the interposed libzmq functions")
    folder = tmp_path_factory.mktemp("shim")
    source = folder / "shim.c"
    source.write_text(SHIM_SOURCE)
    library = folder / "libshim.so"
    subprocess.run([gcc, "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-ldl"],
                   check=True, timeout=120)
    return library


@pytest.fixture
def shimmed(zmq_shim, tmp_path, monkeypatch):
    """Makes every proxy started in the test load the shim; returns (marker path, set_mode)."""
    marker = tmp_path / "zmq-calls"
    monkeypatch.setenv("LD_PRELOAD", str(zmq_shim))
    monkeypatch.setenv("SKERROW_SHIM_MARKER", str(marker))
    # A sanitizer build wants its runtime first; the shim only passes calls on.
    asan = os.environ.get("ASAN_OPTIONS", "")
    monkeypatch.setenv("ASAN_OPTIONS", (asan + ":" if asan else "") + "verify_asan_link_order=0")

    def set_mode(mode: str | None):
        if mode is None:
            monkeypatch.delenv("SKERROW_SHIM_FAIL", raising=False)
        else:
            monkeypatch.setenv("SKERROW_SHIM_FAIL", mode)

    return marker, set_mode


def test_no_zmq_pub_means_no_zeromq_at_all(proxy_factory, fake_daemon, shimmed):
    marker, _ = shimmed
    daemon = block_count_daemon(fake_daemon)
    proxy = proxy_factory({
        "parent": parent_entry(daemon, zmq_hashblock=tcp_endpoint()),
        "aux_chains": [aux_entry("doge", fake_daemon(), tcp_endpoint())],
    })
    assert_serves_http(proxy, daemon)
    assert not marker.exists(), marker.read_text()
    assert zmq_lines(proxy) == []

    # The same shim does see the calls once a relay is configured, so the silence above
    # is the proxy's doing and not a shim that never took effect.
    proxy_factory({"zmq_pub": tcp_endpoint(), "parent": parent_entry(daemon)})
    assert "zmq_ctx_new" in marker.read_text().split()


@pytest.mark.parametrize("mode, lines", [
    ("ctx", ["error(zmq): zmq_ctx_new failed",
             "error(http): ZMQ aggregator init failed: error.ZmqContextFailed, continuing without ZMQ"]),
    ("pub", ["error(zmq): zmq_socket(PUB) failed",
             "error(http): ZMQ aggregator init failed: error.ZmqSocketFailed, continuing without ZMQ"]),
    ("sub", ["info(zmq): ZMQ PUB bound to {relay}",
             "error(zmq): zmq_socket(SUB) failed for parent",
             "error(http): ZMQ aggregator init failed: error.ZmqSocketFailed, continuing without ZMQ"]),
    ("thread", ["info(zmq): ZMQ PUB bound to {relay}",
                "info(zmq): ZMQ SUB connected to {parent_zmq} (parent)",
                "error(http): ZMQ thread spawn failed: error.SystemResources, continuing without ZMQ"]),
])
def test_library_and_thread_failures_leave_the_proxy_running(proxy_factory, fake_daemon, shimmed,
                                                             mode, lines):
    _, set_mode = shimmed
    set_mode(mode)
    daemon = block_count_daemon(fake_daemon)
    relay_ep, parent_zmq = tcp_endpoint(), tcp_endpoint()
    proxy = proxy_factory({"zmq_pub": relay_ep,
                           "parent": parent_entry(daemon, zmq_hashblock=parent_zmq)})
    assert zmq_lines(proxy) == [l.format(relay=relay_ep, parent_zmq=parent_zmq) for l in lines]
    assert port_is_free(relay_ep)
    assert_serves_http(proxy, daemon)


def test_subscribers_ready_together_are_served_parent_first(proxy_factory, fake_daemon, zctx,
                                                            shimmed, monkeypatch):
    monkeypatch.setenv("SKERROW_SHIM_POLL_SETTLE_MS", "400")
    parent_pub, parent_ep = daemon_publisher(zctx)
    aux_pub, aux_ep = daemon_publisher(zctx)
    relay_ep = tcp_endpoint()
    proxy = proxy_factory({
        "zmq_pub": relay_ep,
        "parent": parent_entry(fake_daemon(), zmq_hashblock=parent_ep),
        "aux_chains": [aux_entry("doge", fake_daemon(), aux_ep)],
    })
    sub = relay_subscriber(zctx, relay_ep)
    relay_until_received(parent_pub, sub, notification(0))
    relay_until_received(aux_pub, sub, notification(0))
    drain(sub, quiet=1.0)

    # The aux chain publishes first; both are waiting by the time the pass starts, and a
    # pass serves subscribers in their order: the parent, then the aux chains.
    mark = proxy.mark()
    aux_hash, parent_hash = b"\xaa" * 32, b"\xbb" * 32
    aux_pub.send_multipart(notification(1, aux_hash))
    parent_pub.send_multipart(notification(1, parent_hash))
    proxy.wait_for_line("hashblock from doge", since=mark)
    proxy.wait_for_line("hashblock from parent", since=mark)
    relayed = [line for line in proxy.lines()[mark:] if "hashblock from" in line]
    assert relayed == ["info(zmq): hashblock from parent (3 parts forwarded)",
                       "info(zmq): hashblock from doge (3 parts forwarded)"]
    received = [sub.recv_multipart() for _ in range(2) if sub.poll(int(DEADLINE * 1000))]
    assert [m[1] for m in received] == [parent_hash, aux_hash]
