#!/usr/bin/env python3
"""Holds N idle connections to one server and prints what the server held meanwhile.

    idle_connections.py PORT PID [N [SECONDS]]

Raises its own and the server's soft descriptor limit so that N fit, opens N connections to
127.0.0.1:PORT that send nothing, holds them SECONDS, reads the server's VmRSS, VmHWM and open
descriptors from /proc/PID meanwhile, closes them and prints one line of key=value pairs:
held (descriptors the server gained), rss_before_kb, rss_kb (while held), peak_rss_kb (VmHWM).
"""

import os
import resource
import socket
import sys
import time


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise SystemExit(f"no {field} in /proc/{pid}/status")


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def raise_soft_limit(pid, want):
    soft, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < want:
        raise SystemExit(f"idle_connections: hard descriptor limit of {pid} is {hard}, below {want}")
    if soft != resource.RLIM_INFINITY and soft < want:
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (want, hard))


def main():
    port, pid = int(sys.argv[1]), int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    hold = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
    room = count + 256
    raise_soft_limit(0, room)
    raise_soft_limit(pid, room)
    fds_before, rss_before = open_fds(pid), status_kb(pid, "VmRSS")
    conns = []
    try:
        for _ in range(count):
            conns.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        time.sleep(hold)
        held = open_fds(pid) - fds_before
        rss, peak = status_kb(pid, "VmRSS"), status_kb(pid, "VmHWM")
    finally:
        for s in conns:
            s.close()
    print(f"connections={count} held={held} rss_before_kb={rss_before} rss_kb={rss} peak_rss_kb={peak}")


if __name__ == "__main__":
    main()
