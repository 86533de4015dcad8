#!/usr/bin/env python3
"""Turns the raw outputs of bench/run.sh (OUT/raw/*) into one Markdown table on stdout."""

import os
import re
import sys

UNITS_MS = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def to_ms(text):
    m = re.fullmatch(r"([0-9.]+)(us|ms|s|m)", text)
    if not m:
        raise ValueError(f"unreadable wrk time {text!r}")
    return float(m.group(1)) * UNITS_MS[m.group(2)]


def parse_wrk(path):
    text = read(path)
    rps = float(re.search(r"Requests/sec:\s+([0-9.]+)", text).group(1))
    p50 = to_ms(re.search(r"^\s+50%\s+(\S+)", text, re.M).group(1))
    p99 = to_ms(re.search(r"^\s+99%\s+(\S+)", text, re.M).group(1))
    total = int(re.search(r"(\d+) requests in", text).group(1))
    errors = 0
    if m := re.search(r"Non-2xx or 3xx responses: (\d+)", text):
        errors += int(m.group(1))
    if m := re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text):
        errors += sum(int(g) for g in m.groups())
    return {"rps": rps, "p50": p50, "p99": p99, "total": total, "errors": errors}


def parse_kv(line):
    return {k: v for k, v in (item.split("=", 1) for item in line.split() if "=" in item)}


def parse_latency(path):
    samples = sorted(float(line) for line in read(path).split())
    n = len(samples)
    median = samples[n // 2] if n % 2 else (samples[n // 2 - 1] + samples[n // 2]) / 2
    p99 = samples[max(0, -(-n * 99 // 100) - 1)]
    return {"median": median / 1000, "p99": p99 / 1000, "n": n}


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def pool_wrk(runs):
    """The median of each figure over the rounds; errors are summed."""
    return {"rps": median(r["rps"] for r in runs), "p50": median(r["p50"] for r in runs),
            "p99": median(r["p99"] for r in runs), "errors": sum(r["errors"] for r in runs),
            "rounds": len(runs)}


def parse_rss(path):
    idle, peak = {}, {}
    for line in read(path).splitlines():
        name, *rest = line.split()
        kv = parse_kv(" ".join(rest))
        if "idle_rss_kb" in kv:
            idle[name] = int(kv["idle_rss_kb"])
        if "peak_rss_kb" in kv:
            peak[name] = int(kv["peak_rss_kb"])
    return idle, peak


def idle_connections_row(path):
    """The row for the idle connections held after the load: how many the instance kept open,
    its RSS before and while holding them, and its peak."""
    title = "skerrow RSS with 1,000 idle connections (after the load): VmRSS before -> held, peak (VmHWM), MB"
    name, _, rest = read(path).strip().partition(" ") if os.path.exists(path) else ("", "", "")
    kv = parse_kv(rest)
    if "peak_rss_kb" not in kv:
        return (title, "", "", f"not measured ({rest or 'no output'})", "<= 32, all held", verdict(False))
    held, count = int(kv["held"]), int(kv["connections"])
    before, rss, peak = (int(kv[k]) / 1024 for k in ("rss_before_kb", "rss_kb", "peak_rss_kb"))
    return (title, "", "", f"{before:.1f} -> {rss:.1f}, peak {peak:.1f} ({name}; {held} of {count} held)",
            "<= 32, all held", verdict(peak <= 32 and held >= count))


def verdict(ok):
    return "met" if ok else "**missed**"


# The instances of the large rows (8 MB submitblock, 20,000-transaction template); the rows
# that were there before them do not count them.
LARGE_INSTANCES = ("gbt20000", "pass_submit")
CONTENDERS = ("direct", "nginx", "skerrow")


def cell(text):
    return text.replace("|", "/")


def parse_daemon_log(path, body_len):
    """What the daemon received, one line per submitblock request ("$request_length
    $content_length $status"): `whole` answered with the whole body, `cut` answered with less
    than the client sent (a proxy forwarded part of it), `dropped` never answered (the client
    went away part-way through)."""
    counts = {"whole": 0, "cut": 0, "dropped": 0, "smallest": None}
    if not os.path.exists(path):
        return counts
    for line in read(path).splitlines():
        parts = line.split()
        if len(parts) != 3:
            continue
        request_len = int(parts[0]) if parts[0].isdigit() else 0
        content_len = int(parts[1]) if parts[1].isdigit() else 0
        if parts[2] != "200":
            counts["dropped"] += 1
        elif content_len == body_len and request_len >= body_len:
            counts["whole"] += 1
        else:
            counts["cut"] += 1
            if counts["smallest"] is None or content_len < counts["smallest"]:
                counts["smallest"] = content_len
    return counts


def cut_text(c):
    total = c["whole"] + c["cut"]
    return f"{c['cut']} of {total} answered requests reached the daemon cut (to {size_text(c['smallest'])})"


def size_text(n_bytes):
    if n_bytes >= 1_000_000:
        return f"{n_bytes / 1_000_000:.1f} MB"
    if n_bytes >= 1000:
        return f"{n_bytes / 1000:.0f} kB"
    return f"{n_bytes} B"


def cpu_per_call(path):
    """CPU ms per call of each proxy over all its rounds (run.sh's cpu_gbt4000.txt)."""
    if not os.path.exists(path):
        return None
    ticks, calls = {}, {}
    for line in read(path).splitlines():
        who, rest = line.split(" ", 1)
        kv = parse_kv(rest)
        ticks[who] = ticks.get(who, 0) + int(kv["ticks"]) * 1000 / int(kv["hz"])
        calls[who] = calls.get(who, 0) + int(kv["calls"])
    return {who: ticks[who] / calls[who] for who in ticks}


def main():
    out = sys.argv[1]
    raw = os.path.join(out, "raw")
    meta = {}
    for line in read(os.path.join(raw, "meta.txt")).splitlines():
        if line.startswith("cpu="):
            meta["cpu"] = line[4:]
        else:
            meta.update(parse_kv(line))
    rounds = {}
    for name in os.listdir(raw):
        if name.startswith("wrk_"):
            label = name[4:].split(".")[0]
            try:
                rounds.setdefault(label, []).append(parse_wrk(os.path.join(raw, name)))
            except AttributeError:  # no figures in it: wrk failed
                if not label.startswith("submit_"):
                    raise
    wrk = {label: pool_wrk(runs) for label, runs in rounds.items()}
    lat = {name[4:-4]: parse_latency(os.path.join(raw, name))
           for name in os.listdir(raw) if name.startswith("lat_") and name.endswith(".txt")}
    lat_failed = {name[4:-4]: read(os.path.join(raw, name)).strip().splitlines()
                  for name in os.listdir(raw) if name.startswith("lat_") and name.endswith(".err")}
    sizes, files = {}, {}
    for line in read(os.path.join(raw, "replies.txt")).splitlines():
        parts = line.split()
        if len(parts) >= 9:
            files[parts[-1]] = int(parts[4])
            if parts[-1].startswith("gbt"):
                sizes[parts[-1][3:-5]] = int(parts[4])
    idle_all, peak_all = parse_rss(os.path.join(raw, "rss.txt"))
    idle = {k: v for k, v in idle_all.items() if k not in LARGE_INSTANCES}
    peak = {k: v for k, v in peak_all.items() if k not in LARGE_INSTANCES}
    problems = read(os.path.join(raw, "skerrow_problems.txt")).strip().splitlines()

    rows = []

    def ms(v):
        return f"{v:.2f}"

    for key, title in (("small", "small reply (38 B)"), ("gbt4000", "4,000-tx template passthrough")):
        d, n, s = wrk[f"{key}_direct"], wrk[f"{key}_nginx"], wrk[f"{key}_skerrow"]
        rows.append((f"{title}: requests/s", f"{d['rps']:.0f}", f"{n['rps']:.0f} ({n['rps'] / d['rps']:.2f}x)",
                     f"{s['rps']:.0f} ({s['rps'] / d['rps']:.2f}x)", ">= nginx", verdict(s["rps"] >= n["rps"])))
        rows.append((f"{title}: p50 / p99 ms", f"{ms(d['p50'])} / {ms(d['p99'])}",
                     f"{ms(n['p50'])} / {ms(n['p99'])}", f"{ms(s['p50'])} / {ms(s['p99'])}",
                     "p99 <= nginx", verdict(s["p99"] <= n["p99"])))
    a = wrk["gbt4000_skerrow_aux"]
    d = wrk["gbt4000_direct"]
    p = wrk["gbt4000_skerrow"]
    rows.append(("4,000-tx template rewritten (1 aux chain): requests/s (share of direct; of skerrow's "
                 "passthrough), p50 / p99 ms", "", "",
                 f"{a['rps']:.0f} ({a['rps'] / d['rps']:.2f}x; {a['rps'] / p['rps']:.2f}x), "
                 f"{ms(a['p50'])} / {ms(a['p99'])}",
                 ">= 0.9x passthrough", verdict(a['rps'] >= 0.9 * p['rps'])))
    cpu = cpu_per_call(os.path.join(raw, "cpu_gbt4000.txt"))
    if cpu:
        rows.append(("CPU per 4,000-tx template call (nginx proxy worker; skerrow rewriting), ms", "",
                     f"{cpu['nginx']:.2f}", f"{cpu['skerrow']:.2f} ({cpu['skerrow'] / cpu['nginx']:.2f}x)",
                     "<= 1.2x nginx", verdict(cpu['skerrow'] <= 1.2 * cpu['nginx'])))

    for n in (0, 100, 1000, 4000):
        d, x, s = lat[f"gbt{n}_direct"], lat[f"gbt{n}_nginx"], lat[f"gbt{n}_skerrow"]
        goal, met = "", ""
        if n == 4000:
            goal = "skerrow added <= nginx added"
            met = verdict(s["median"] - d["median"] <= x["median"] - d["median"])
        rows.append((f"getblocktemplate alone, {n} tx ({size_text(sizes[str(n)])}): median ms (added)",
                     ms(d["median"]), f"{ms(x['median'])} (+{ms(x['median'] - d['median'])})",
                     f"{ms(s['median'])} (+{ms(s['median'] - d['median'])})", goal, met))
    if "gbt1000_skerrow_redis" in lat:
        # The same template and instance settings, each snapshot also written to Redis first.
        r, s = lat["gbt1000_skerrow_redis"], lat["gbt1000_skerrow"]
        added = r["median"] - s["median"]
        rows.append(("getblocktemplate alone, 1000 tx, with \"redis\": median / p99 ms (added by the write)", "", "",
                     f"{ms(r['median'])} / {ms(r['p99'])} ({added * 1000:+.0f} us; without: "
                     f"{ms(s['median'])} / {ms(s['p99'])})", "added <= 0.5 ms", verdict(added <= 0.5)))

    idle_max = max(idle.values()) / 1024
    peak_max = max(peak.values()) / 1024
    rows.append(("skerrow RSS idle (largest of its instances), MB", "", "", f"{idle_max:.1f}", "<= 8",
                 verdict(idle_max <= 8)))
    rows.append(("skerrow RSS peak (VmHWM, largest instance), MB", "", "",
                 f"{peak_max:.1f} ({max(peak, key=peak.get)})", "<= 32", verdict(peak_max <= 32)))
    rows.append(idle_connections_row(os.path.join(raw, "idle_connections.txt")))
    old_wrk = {k: w for k, w in wrk.items() if not k.startswith("submit_")}
    errors = sum(w["errors"] for w in old_wrk.values())
    # wrk drops its open connections when its time is up; a worker writing to one of them
    # then logs a broken pipe. More of those than connections per run is a real failure.
    hangups = [p for p in problems
               if p.endswith(("error.BrokenPipe", "error.ConnectionResetByPeer", "error.ResponseCutOff"))]
    others = [p for p in problems if p not in hangups]
    runs = sum(w["rounds"] for k, w in old_wrk.items() if "skerrow" in k)
    allowed = runs * int(meta.get("connections", 0))
    rows.append(("failed requests: wrk errors and non-200 / other skerrow warnings / "
                 "writes to clients wrk dropped at the end of a run", "", "",
                 f"{errors} / {len(others)} / {len(hangups)}", f"0 / 0 / <= {allowed}",
                 verdict(errors == 0 and not others and len(hangups) <= allowed)))
    problems = others
    more_rows, large_problems = large_rows(raw, meta, wrk, lat, lat_failed, files, sizes, peak_all, ms)
    rows += more_rows

    print(f"Benchmark {meta.get('date', '?')}, tree at commit {meta.get('commit', '?')}, skerrow binary "
          f"{meta.get('binary', '?')}, {meta.get('cpu', '?')}, 2 cores.")
    print(f"Servers (fake daemon nginx, proxy nginx, skerrow) pinned to core {meta.get('server_cpu')}, "
          f"wrk and the latency tool to core {meta.get('client_cpu')}. nginx {meta.get('nginx')}, "
          f"1 worker each; wrk {meta.get('wrk')}, 1 thread, {meta.get('connections')} connections, "
          f"{meta.get('duration')} s per run, 'Connection: close', median of {meta.get('rounds')} "
          f"interleaved rounds. Latency: {lat['gbt4000_skerrow']['n']} sequential calls per figure "
          f"(in {meta.get('rounds')} interleaved rounds), each on a fresh connection.")
    print()
    print("| measurement | direct | nginx proxy | skerrow | goal | |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    if problems:
        print()
        print("skerrow logged: " + "; ".join(problems[:5]))
    if large_problems:
        print()
        print(f"skerrow logged in the large rows ({len(large_problems)} lines): "
              + "; ".join(sorted(set(large_problems))[:5]))
    profile = os.path.join(out, "profile_self.txt")
    if os.path.exists(profile):
        top = []
        for line in read(profile).splitlines()[:10]:
            parts = [p for p in line.split() if p != "-"]
            if len(parts) >= 3:
                where = "kernel" if parts[1] == "[k]" else "user"
                top.append(f"{parts[0]} {' '.join(parts[2:])} ({where})")
        if top:
            print()
            print("Profile of the 4,000-transaction template path (perf, share of skerrow's samples, "
                  "self time): " + "; ".join(top) + ". Call graphs: profile_children.txt.")


def large_rows(raw, meta, wrk, lat, lat_failed, files, sizes, peak, ms):
    """The 8 MB submitblock (passthrough) and the 20,000-transaction template (rewritten): a
    figure is shown only when every call of it succeeded; otherwise the cell says what failed."""
    rows = []
    connections = int(meta.get("connections", 0))
    body_len = files.get("req_submit.json", 0)
    block_mb = int(meta.get("submit_hex_digits", 0)) / 2 / 1_000_000
    # Requests to the daemon, per way in and phase (wrk runs, then the latency calls).
    daemon = {(who, phase): parse_daemon_log(os.path.join(raw, f"daemon_submit_{who}.{phase}.log"), body_len)
              for who in CONTENDERS for phase in ("wrk", "latency")}
    failures = []

    # Throughput. When a run ends, wrk drops the requests it is still sending: the daemon sees
    # them unanswered (direct, nginx), or not at all (skerrow does not forward an unfinished
    # body; a proxy that forwarded what arrived would show them answered but cut, at most one
    # per connection and run).
    title = f"submitblock of a {block_mb:.0f} MB block ({size_text(body_len)} request) passthrough"
    cells = []
    runs = wrk.get("submit_direct", {}).get("rounds", 0)
    allowed_cuts = runs * connections
    for who in CONTENDERS:
        w = wrk.get(f"submit_{who}")
        c = daemon[(who, "wrk")]
        if w is None:
            cells.append("not measured")
            failures.append(f"{who}: no wrk output")
            continue
        problems = []
        if w["errors"]:
            problems.append(f"{w['errors']} wrk errors")
        if c["cut"] > allowed_cuts or c["whole"] == 0:
            problems.append(cut_text(c) if c["cut"] else "no request reached the daemon whole")
        base = wrk.get("submit_direct")
        ratio = f" ({w['rps'] / base['rps']:.2f}x)" if base and base["rps"] and who != "direct" else ""
        if problems:
            cells.append(f"failed: {'; '.join(problems)} ({w['rps']:.0f} replies/s)")
            failures.append(f"{who} wrk: {'; '.join(problems)}")
        else:
            note = f"; {c['cut']} cut at the end of a run" if c["cut"] else ""
            cells.append(f"{w['rps']:.0f}{ratio}{note}")
    ok = not any(x.startswith(("failed", "not measured")) for x in cells)
    rows.append((f"{title}: requests/s", *cells, "every request whole at the daemon", verdict(ok)))

    def latency_cells(key, daemon_phase=None):
        out, medians = [], {}
        for who in CONTENDERS:
            reasons = list(lat_failed.get(f"{key}_{who}", []))
            if daemon_phase:
                c = daemon[(who, daemon_phase)]
                if c["cut"] or c["dropped"]:
                    reasons.append(cut_text(c) if c["cut"] else f"{c['dropped']} requests unanswered")
            if reasons or f"{key}_{who}" not in lat:
                why = reasons[0] if reasons else "no samples"
                out.append(cell(f"failed: {why}"))
                failures.append(f"{who} {key}: {why}")
                continue
            medians[who] = lat[f"{key}_{who}"]["median"]
            d = medians.get("direct")
            added = f" ({medians[who] - d:+.2f})" if d is not None and who != "direct" else ""
            out.append(f"{ms(medians[who])}{added}")
        return out, all(who in medians for who in CONTENDERS)

    cells, ok = latency_cells("submit", "latency")
    rows.append((f"submitblock alone, {size_text(body_len)} request: median ms (added)", *cells,
                 "", "" if ok else "**failed**"))
    n = "20000"
    cells, ok = latency_cells(f"gbt{n}")
    rows.append((f"getblocktemplate alone, {int(n):,} tx ({size_text(sizes.get(n, 0))}), skerrow rewriting "
                 f"(1 aux chain): median ms (added)", *cells, "", "" if ok else "**failed**"))
    hwm = peak.get(f"gbt{n}")
    text = f"{hwm / 1024:.1f}" if hwm else "not measured"
    if hwm and (f"gbt{n}_skerrow" in lat_failed or f"gbt{n}_skerrow" not in lat):
        text += " (the rewrite failed)"
    rows.append((f"skerrow RSS peak (VmHWM) of the instance rewriting the {int(n):,}-tx template, MB",
                 "", "", text, "", ""))
    hwm = peak.get("pass_submit")
    rows.append(("skerrow RSS peak (VmHWM) of the submitblock passthrough instance, MB", "", "",
                 f"{hwm / 1024:.1f}" if hwm else "not measured", "", ""))

    # As above, plus the requests wrk dropped part-sent, which skerrow does not forward.
    problems = read(os.path.join(raw, "skerrow_problems_large.txt")).strip().splitlines()
    hangups = [p for p in problems
               if p.endswith(("error.BrokenPipe", "error.ConnectionResetByPeer", "error.ResponseCutOff"))
               or "unfinished request not forwarded" in p]
    others = [p for p in problems if p not in hangups]
    allowed = runs * connections
    ok = not failures and not others and len(hangups) <= allowed
    rows.append(("large rows, failures: figures that failed / other skerrow warnings / requests and "
                 "replies cut off when wrk dropped its connections at the end of a run", "", "",
                 f"{len(failures)} / {len(others)} / {len(hangups)}", f"0 / 0 / <= {allowed}",
                 verdict(ok)))
    return rows, others


if __name__ == "__main__":
    main()
