"""What a running process holds, read from /proc: descriptors, memory, sanitizer runtime."""

import os
from pathlib import Path


def open_fds(pid) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def status_kb(pid, field: str) -> int:
    """A kB figure of /proc/<pid>/status: "VmRSS", "VmHWM" (the peak RSS), ..."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise AssertionError(f"no {field} in /proc/{pid}/status")


def reset_peak(pid) -> None:
    """Sets VmHWM back to the current VmRSS, so it shows the peak from now on."""
    Path(f"/proc/{pid}/clear_refs").write_text("5")


def sanitized(pid) -> bool:
    """Whether the process runs with a sanitizer, whose shadow memory and quarantine are not
    the program's own."""
    maps = Path(f"/proc/{pid}/maps").read_text()
    return any(f"lib{name}" in maps for name in ("asan", "tsan", "ubsan"))
