"""Running out of descriptors: accepting fails while the backlog stays full, and the event loop
must neither spin nor flood the log until descriptors are free again."""

import os
import re
import resource
import socket
import time

import pytest

from framework.proxy import parent_entry

FAILED = "warning(http): accept failed: error.ProcessFdQuotaExceeded"


def sanitized(binary: str) -> bool:
    with open(binary, "rb") as f:
        return b"__ubsan_handle_" in f.read()


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd") or not hasattr(resource, "prlimit"),
                    reason="needs /proc and prlimit")
def test_descriptor_exhaustion_backs_off_and_recovers(fake_daemon, proxy_factory, skerrow_bin):
    parent = fake_daemon(lambda request: (200, b'{"result":7,"error":null,"id":1}'))
    # Idle clients hold workers and queue slots (and so descriptors) for as long as this.
    proxy = proxy_factory({"parent": parent_entry(parent), "client_timeout_ms": 60000})
    pid = proxy.process.pid
    in_use = len(os.listdir(f"/proc/{pid}/fd"))
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 6, hard))

    idle = []
    try:
        # The first four are taken by the workers, which then wait for their requests; the
        # rest fill the queue up to the limit, and the remainder stays in the backlog.
        for n in range(20):
            idle.append(socket.create_connection(("127.0.0.1", proxy.port), timeout=5))
            if n < 4:
                time.sleep(0.1)
        proxy.wait_for_line(FAILED, timeout=5)
        cpu_before, mark = cpu_seconds(pid), proxy.mark()
        time.sleep(2.2)
        # A line a second, each counting the failures left out since the one before: one per
        # pause of 100 ms, give or take; spinning would give thousands.
        lines = [line for line in proxy.lines()[mark:] if line.startswith(FAILED)]
        assert 2 <= len(lines) <= 3, lines
        for line in lines:
            left_out = re.fullmatch(re.escape(FAILED) + r" \((\d+) more not logged\)", line)
            assert left_out and 4 <= int(left_out.group(1)) <= 20, line
        assert cpu_seconds(pid) - cpu_before < 1.0
    finally:
        # UBSan's type check of a member call borrows two descriptors; when it gets none it
        # reports a fault and ends the process. A sanitized build is therefore given its
        # descriptors back before the workers serve again; any other build recovers from the
        # closed connections alone.
        if sanitized(skerrow_bin):
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 64, hard))
        for s in idle:
            s.close()

    # Freed descriptors: the waiting connections are taken again and new ones are served.
    response = proxy.rpc("getblockcount", timeout=10)
    assert response[::2] == (200, b'{"result":7,"error":null,"id":1}\n')
    assert proxy.returncode is None
