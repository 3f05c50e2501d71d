#!/usr/bin/env python3
"""Measures how the library keeps pace with slow and fast peers, and prints
one Markdown table: each row a measurement, the requirement it is held to,
and whether it was met.

  1. file sender: bench/filesender sends 200 MB with SendWithin through our
     client connector to a receiver process that checks every byte; bytes
     delivered, MB/s, and the sender's peak memory above its idle memory.
  2. burst echo: loadgen's bigburst writes 1024 frames of 16 KiB (16 MiB) at
     once to our echo server while reading at full speed; echoes back whole
     and in order.
  3. never-reading peer: loadgen's noread on one connection; time from its
     first send until the server cut it, and whether it saw a reset.
  4. 1000 never-reading peers at once: the server's peak memory growth, and
     how many were cut and how.
  5. request/response: 16 connections with 8 small requests (128 B) in
     flight each, 200 000 replies per run, 3 runs; reply latency p50,
     p99.9, maximum, and the replies that took 35 ms or more.

Every server is ours (examples/echo_server), started afresh for each
measurement on 127.0.0.1 with port 0, its traces sent to the null device,
with the library's settings as this environment has them (the QVNET_*
variables set are named in the report; none is meant). Every run is bounded.
The exit status is 1 when a requirement is missed or a program failed.

Settings (defaults in brackets): FLOWCHECK_BYTES [200000000],
FLOWCHECK_PEERS [1000], FLOWCHECK_PEERS_SECONDS [30], FLOWCHECK_REPLIES
[200000], FLOWCHECK_RUNS [3], BENCH_BUILD_DIR [build/bench]. Results are
kept in build/bench/flowcheck-results/.
"""

import json
import os
import resource
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the benchmark runner: servers, programs, formatting)
from run import BUILD, LOADGEN, Server, env_int, fmt, log, machine, run_json  # noqa: E402

FILESENDER = os.path.join(BUILD, "bench", "filesender")
FILE_BYTES = env_int("FLOWCHECK_BYTES", 200000000)
PEERS = env_int("FLOWCHECK_PEERS", 1000)
PEERS_SECONDS = env_int("FLOWCHECK_PEERS_SECONDS", 30)
REPLIES = env_int("FLOWCHECK_REPLIES", 200000)
RUNS = env_int("FLOWCHECK_RUNS", 3)
SLOW_MS = 35
MB = 1e6


def setting(name, default, size=False):
    """A QVNET_* setting as the library reads it: a number, for a size
    optionally with K, M or G (units of 1024); the default when unset or
    unreadable."""
    text = os.environ.get(name, "").strip().upper()
    scale = {"K": 1024, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1) if size else 1
    try:
        return int(text[:-1] if scale > 1 else text) * scale if text else default
    except ValueError:
        return default


STALL_SECONDS = setting("QVNET_SEND_STALL_SECONDS", 10)
TOTAL_LIMIT = setting("QVNET_SEND_TOTAL_LIMIT", 1 << 30, size=True)
# The thousand peers stop sending once the server holds this much, far more
# than the requirement allows: the machine's memory is shared.
RSS_CAP = max(4 << 30, 2 * (TOTAL_LIMIT + 100 * 1000000))


def kb_to_mb(kb):
    return None if kb is None else kb * 1024 / MB


class Table:
    def __init__(self):
        self.lines = ["| measurement | measured | requirement | |", "|---|---:|---|---|"]
        self.missed = 0

    def row(self, label, measured, requirement="", met=None):
        verdict = "" if met is None else ("met" if met else "**missed**")
        if met is False:
            self.missed += 1
        self.lines.append("| %s | %s | %s | %s |" % (label, measured, requirement, verdict))


def loadgen(server, args, bound):
    return run_json([LOADGEN, "--port", str(server.port)] + args + ["--timeout", str(bound)], bound + 15)


def file_sender(table, workdir):
    log("file sender: %d bytes ..." % FILE_BYTES)
    r = run_json([FILESENDER, "--bytes", str(FILE_BYTES), "--timeout", "120"], 150)
    error = r.get("error")
    got = r.get("bytes_received")
    table.row("file sender, %s MB with SendWithin: bytes delivered, checked" % fmt(FILE_BYTES / MB, 0),
              fmt(got, 0) + (" (%s)" % error if error else ""), "all %s" % fmt(FILE_BYTES, 0),
              got == FILE_BYTES and not error)
    table.row("file sender: MB/s", fmt(r.get("mb_per_s") if not error else None, 1), "")
    idle, growth = r.get("rss_idle_kb"), r.get("rss_peak_growth_kb")
    # Judged on a whole transfer only.
    table.row("file sender: RSS idle, and peak (VmHWM) above it (MB)",
              "%s, +%s%s" % (fmt(kb_to_mb(idle), 1), fmt(kb_to_mb(growth), 1), " until it failed" if error else ""),
              "peak at most 16 MB above idle",
              None if error else growth is not None and growth >= 0 and kb_to_mb(growth) <= 16)
    return r


def burst_echo(table, workdir):
    log("burst echo ...")
    with Server("ours", workdir, port=0) as server:
        r = loadgen(server, ["--scenario", "bigburst", "--payload", "16384", "--frames", "1024"], 30)
    echoed, frames = r.get("echoed"), r.get("frames", 1024)
    table.row("burst echo, 1024 frames of 16 KiB written at once: echoes back whole and in order",
              "%s of %s%s" % (fmt(echoed, 0), fmt(frames, 0), " (%s)" % r["error"] if "error" in r else ""),
              "all", echoed == frames and "error" not in r)
    return r


def never_reading(table, workdir):
    log("never-reading peer ...")
    bound = STALL_SECONDS + 10
    with Server("ours", workdir, port=0) as server:
        r = loadgen(server, ["--scenario", "noread", "--conns", "1", "--payload", "16384",
                             "--max-bytes", str(1 << 40), "--seconds", str(bound), "--stall", str(bound),
                             "--server-pid", str(server.proc.pid)], bound + 10)
    cut = r.get("cut_after_first_send_ms_max") if r.get("closed_by_server") else None
    how = r.get("close_reason") or ("not cut within %d s" % bound if "error" not in r else r["error"])
    if r.get("ends_found_at_end"):  # behind echoes never read: no time
        how = "%s, found at the end of the run" % ("reset" if r.get("cuts_reset") else "end of stream")
    table.row("never-reading peer: cut after its first send (ms)",
              fmt(cut, 1) if cut is not None else "not cut within %d s" % bound,
              "within %d s (stall %d s + 2)" % (STALL_SECONDS + 2, STALL_SECONDS),
              cut is not None and cut <= (STALL_SECONDS + 2) * 1000)
    table.row("never-reading peer: how it saw the cut", how, "a reset (ECONNRESET)", how == "reset")
    return r


def many_never_reading(table, workdir):
    log("%d never-reading peers, at most %d s ..." % (PEERS, PEERS_SECONDS))
    with Server("ours", workdir, port=0) as server:
        r = loadgen(server, ["--scenario", "noread", "--conns", str(PEERS), "--payload", "16384",
                             "--max-bytes", str(1 << 50), "--seconds", str(PEERS_SECONDS),
                             "--stall", str(PEERS_SECONDS), "--server-pid", str(server.proc.pid),
                             "--rss-cap-kb", str(RSS_CAP // 1024)],
                    PEERS_SECONDS + 30)
    growth = r.get("rss_growth_kb")
    goal = (TOTAL_LIMIT + 100 * MB) / MB
    table.row("%d never-reading peers: server RSS growth, peak (MB)" % PEERS,
              fmt(kb_to_mb(growth), 1) + (" (%s)" % r["error"] if "error" in r else ""),
              "below %s (total limit %s MiB + 100 MB)" % (fmt(goal, 1), fmt(TOTAL_LIMIT / (1 << 20), 0)),
              growth is not None and kb_to_mb(growth) < goal)
    if "error" not in r:
        table.row("%d never-reading peers: cut by a reset / by an end of stream / otherwise / not cut, "
                  "after %s s%s" % (PEERS, fmt(r.get("ended_after_ms", 0) / 1000, 1),
                                   ", when the server passed %s MB" % fmt(RSS_CAP / MB, 0)
                                   if r.get("ended_by") == "rss cap" else ""),
                  "%s / %s / %s / %s" % (r.get("cuts_reset"), r.get("cuts_end_of_stream"), r.get("cuts_other"),
                                         r.get("still_open")), "")
        table.row("%d never-reading peers: cut after the first send, p50 / max (ms)" % PEERS,
                  "%s / %s" % (fmt(r.get("cut_after_first_send_ms_p50"), 0),
                               fmt(r.get("cut_after_first_send_ms_max"), 0)), "")
    return r


def request_response(table, workdir):
    results = []
    for n in range(RUNS):
        log("request/response, run %d of %d ..." % (n + 1, RUNS))
        with Server("ours", workdir, port=0) as server:
            r = loadgen(server, ["--scenario", "stream", "--conns", "16", "--window", "8", "--payload", "128",
                                 "--frames", str(REPLIES), "--slow-ms", str(SLOW_MS)], 60)
        results.append(r)
        measured = "%s / %s / %s µs; %s" % (fmt(r.get("rtt_p50_us"), 0), fmt(r.get("rtt_p999_us"), 0),
                                           fmt(r.get("rtt_max_us"), 0), fmt(r.get("slow"), 0))
        if "error" in r:
            measured += " (%s)" % r["error"]
        table.row("request/response, 16 conns × 8 in flight, 128 B, run %d: %s replies, p50 / p99.9 / max, "
                  "replies at %d ms or more" % (n + 1, fmt(r.get("frames"), 0), SLOW_MS),
                  measured, "none at %d ms or more" % SLOW_MS,
                  "error" not in r and r.get("frames") == REPLIES and r.get("slow") == 0)
    return results


def main():
    for path in (LOADGEN, FILESENDER, run.SERVERS["ours"][1][0]):
        if not os.access(path, os.X_OK):
            sys.exit("%s is missing: build the bench preset first (make flowcheck does)" % path)
    # A thousand peers: the server and the load generator need the descriptors.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    outdir = os.path.join(BUILD, "flowcheck-results")
    workdir = os.path.join(outdir, "run")  # the programs write ./Log/Network.log here
    os.makedirs(workdir, exist_ok=True)
    os.chdir(workdir)

    started = time.monotonic()
    load_before = os.getloadavg()[0]
    table = Table()
    results = {}
    for name, step in (("file_sender", file_sender), ("burst_echo", burst_echo), ("never_reading", never_reading),
                       ("many_never_reading", many_never_reading), ("request_response", request_response)):
        results[name] = step(table, workdir)
    settings = sorted("%s=%s" % (k, v) for k, v in os.environ.items() if k.startswith("QVNET_"))
    report = ["Machine: %s; load average %.2f before the run, %.2f after." % (
                  machine(), load_before, os.getloadavg()[0]),
              "Library settings: %s." % (", ".join(settings) if settings else "the defaults (no QVNET_* set)"),
              ""] + table.lines + ["", "(%.0f s; %s)" % (time.monotonic() - started,
                                                       "every requirement met" if table.missed == 0 else
                                                       "%d requirement(s) missed" % table.missed)]
    text = "\n".join(report)
    print(text)
    with open(os.path.join(outdir, "results.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(outdir, "results.json"), "w") as f:
        json.dump({"results": results, "machine": machine(), "settings": settings}, f, indent=1)
    return 0 if table.missed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
