#!/usr/bin/env python3
"""Runs the benchmarks side by side and prints the results as Markdown.

The echo servers (ours, raw epoll, asio, libuv) take turns: for every
repetition, every scenario is run against each server in turn, each time
on a freshly started server; each repetition starts with the next server
in the list. A server's ratio to the raw epoll
server is taken within one repetition, then the median of those ratios is
reported: the speed of this machine drifts between runs, so only ratios of
neighbouring measurements mean anything.

Everything runs on 127.0.0.1; every server is started and stopped here.
Settings come from the environment (defaults in brackets):

  BENCH_REPS [5]            repetitions
  BENCH_SECONDS [2]         measured seconds of each timed run (after 0.2 s warm-up)
  BENCH_SERVERS             servers to run [ours,ours-traced,raw,asio,uv]:
                            ours is our echo server with its console traces
                            off (QVNET_TRACE=off), as the peers print
                            nothing; ours-traced the same with its traces on,
                            sent to the null device
  BENCH_SCENARIOS           scenarios to run
                            [pp1,pp16,stream64,stream64deep,stream16k,churn,trips,burst,hold,noread]
  BENCH_STREAM64_WINDOW [32], BENCH_STREAM64_DEEP_WINDOW [64],
  BENCH_STREAM16K_WINDOW [16]
                            frames in flight when streaming
  BENCH_CHURN_CONNS [1000]  connections opened, echoed and closed: at a
                            bounded pace (churn), and with no pace and round
                            trips (trips)
  BENCH_BURST_CONNS [1000]  connections opened at once, echoed and closed
                            (burst)
  BENCH_TIME_WAIT [10000]   a run that opens connections starts once fewer
                            of the load generator's closed connections than
                            this wait out TCP's TIME_WAIT (60 s at most)
  BENCH_TRIPS [3]           round trips of each connection in trips, one
                            frame after the other, before it closes; at most
                            BENCH_CONNECT_INFLIGHT connections await their
                            first echo, with no limit on the pace
  BENCH_HOLD_CONNS [4000]   connections held open at once
  BENCH_HOLD_SECONDS [5]    idle time over which the server's CPU is measured
  BENCH_HOLD_REPS [3]       repetitions that include the held connections
  BENCH_CONNECT_RATE [4000], BENCH_CONNECT_INFLIGHT [4]
                            pace of opening connections
  BENCH_NOREAD_CONNS [1], BENCH_NOREAD_PAYLOAD [16384]
                            a peer that never reads (twice on each server,
                            one after the other): its connections, and the
                            payload of the frames it sends
  BENCH_NOREAD_MIB [64], BENCH_NOREAD_SECONDS [10], BENCH_NOREAD_STALL [2]
                            it stops sending after that many MiB or seconds,
                            or once the server has taken no byte for that
                            many seconds (it stopped reading)
  BENCH_CLIENT [1]          run the client-side ping-pong (0: skip)
  BENCH_MICRO [1]           run the micro-benchmarks (0: skip)
  BENCH_MICRO_MIN_TIME [0.2]
  BENCH_BUILD_DIR           build tree [build/bench]
"""

import atexit
import functools
import json
import os
import platform
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BENCH_BUILD_DIR", os.path.join(ROOT, "build", "bench"))


def env_int(name, default):
    return int(os.environ.get(name, default))


def env_float(name, default):
    return float(os.environ.get(name, default))


REPS = env_int("BENCH_REPS", 5)
SECONDS = env_float("BENCH_SECONDS", 2)
WARMUP = 0.2
HOLD_REPS = env_int("BENCH_HOLD_REPS", 3)
HOLD_SECONDS = env_float("BENCH_HOLD_SECONDS", 5)
HOLD_CONNS = env_int("BENCH_HOLD_CONNS", 4000)
CHURN_CONNS = env_int("BENCH_CHURN_CONNS", 1000)
BURST_CONNS = env_int("BENCH_BURST_CONNS", 1000)
TIME_WAIT = env_int("BENCH_TIME_WAIT", 10000)
RATE = env_float("BENCH_CONNECT_RATE", 4000)
INFLIGHT = env_int("BENCH_CONNECT_INFLIGHT", 4)
WINDOW64 = env_int("BENCH_STREAM64_WINDOW", 32)
WINDOW64_DEEP = env_int("BENCH_STREAM64_DEEP_WINDOW", 64)
TRIPS = env_int("BENCH_TRIPS", 3)
WINDOW16K = env_int("BENCH_STREAM16K_WINDOW", 16)
NOREAD_CONNS = env_int("BENCH_NOREAD_CONNS", 1)
NOREAD_PAYLOAD = env_int("BENCH_NOREAD_PAYLOAD", 16384)
NOREAD_MIB = env_int("BENCH_NOREAD_MIB", 64)
NOREAD_SECONDS = env_float("BENCH_NOREAD_SECONDS", 10)
NOREAD_STALL = env_float("BENCH_NOREAD_STALL", 2)

# key: (label, command, settings added to the environment)
OURS = [os.path.join(BUILD, "examples", "echo_server")]
SERVERS = {
    # The peers' servers print nothing: ours is compared with its traces off.
    "ours": ("ours", OURS, {"QVNET_TRACE": "off"}),
    # What the traces cost: on, as by default, and sent to the null device.
    "ours-traced": ("ours, traced", OURS, {"QVNET_TRACE": "stdout"}),
    "raw": ("raw epoll", [os.path.join(BUILD, "bench", "raw_epoll_server")], {}),
    "asio": ("asio", [os.path.join(BUILD, "bench", "asio_echo_server")], {}),
    "uv": ("libuv", [os.path.join(BUILD, "bench", "uv_echo_server")], {}),
}
BASELINE = "raw"
# The libraries a user would choose between: ours (traces off) is compared
# with the better of them in every row.
PEERS = ["asio", "uv"]
# Ours with its traces on, compared with ours in every row: the traces' cost.
TRACED = "ours-traced"
LOADGEN = os.path.join(BUILD, "bench", "loadgen")
CLIENTBENCH = os.path.join(BUILD, "bench", "clientbench")
MICROBENCH = os.path.join(BUILD, "bench", "microbench")

TIMED = ["--seconds", str(SECONDS), "--warmup", str(WARMUP)]
PACE = ["--inflight", str(INFLIGHT), "--rate", str(RATE)]

# key: (loadgen arguments, [(row label, result key, decimals)])
SCENARIOS = {
    "pp1": (["--scenario", "pingpong", "--conns", "1", "--payload", "64"] + TIMED, [
        ("ping-pong, 1 conn, 64 B: RTT p50 (µs)", "rtt_p50_us", 1),
        ("ping-pong, 1 conn, 64 B: RTT p99 (µs)", "rtt_p99_us", 1),
    ]),
    "pp16": (["--scenario", "pingpong", "--conns", "16", "--payload", "64"] + TIMED, [
        ("ping-pong, 16 conns, 64 B: round trips/s", "frames_per_s", 0),
        ("ping-pong, 16 conns, 64 B: RTT p50 (µs)", "rtt_p50_us", 1),
    ]),
    "stream64": (["--scenario", "stream", "--payload", "64", "--window", str(WINDOW64)] + TIMED, [
        ("stream 64 B, %d in flight: frames/s" % WINDOW64, "frames_per_s", 0),
    ]),
    "stream64deep": (["--scenario", "stream", "--payload", "64", "--window", str(WINDOW64_DEEP)] + TIMED, [
        ("stream 64 B, %d in flight: frames/s" % WINDOW64_DEEP, "frames_per_s", 0),
    ]),
    "stream16k": (["--scenario", "stream", "--payload", "16384", "--window", str(WINDOW16K)] + TIMED, [
        ("stream 16 KiB, %d in flight: MB/s" % WINDOW16K, "mb_per_s", 1),
    ]),
    "churn": (["--scenario", "churn", "--total", str(CHURN_CONNS)] + PACE, [
        ("%d conns opened, echoed once, closed: conns/s" % CHURN_CONNS, "conns_per_s", 0),
        ("%d conns: open to echo p99 (µs)" % CHURN_CONNS, "open_p99_us", 0),
    ]),
    "trips": (["--scenario", "churn", "--total", str(CHURN_CONNS), "--inflight", str(INFLIGHT), "--rate", "1e9",
               "--trips", str(TRIPS)], [
        ("%d conns opened, at most %d awaiting a first echo, no pace, %d round trips each, closed: conns/s" % (
            CHURN_CONNS, INFLIGHT, TRIPS), "conns_per_s", 0),
        ("%d conns, %d round trips each: open to first echo p99 (µs)" % (CHURN_CONNS, TRIPS), "open_p99_us", 0),
        ("%d conns, %d round trips each: open to last echo p99 (µs)" % (CHURN_CONNS, TRIPS), "done_p99_us", 0),
    ]),
    "burst": (["--scenario", "churn", "--total", str(BURST_CONNS), "--inflight", str(BURST_CONNS), "--rate", "1e9"], [
        ("%d conns opened at once, echoed once, closed: conns/s" % BURST_CONNS, "conns_per_s", 0),
        ("%d conns at once: open to echo p99 (µs)" % BURST_CONNS, "open_p99_us", 0),
    ]),
    "hold": (["--scenario", "hold", "--total", str(HOLD_CONNS), "--hold", str(HOLD_SECONDS)] + PACE, [
        ("%d conns open at once: echoed" % HOLD_CONNS, "echoed", 0),
        ("%d conns: open to echo p50 (µs)" % HOLD_CONNS, "open_p50_us", 0),
        ("%d idle conns: server CPU (%% of a core)" % HOLD_CONNS, "idle_cpu_pct", 1),
        ("%d idle conns: server RSS per conn (bytes)" % HOLD_CONNS, "rss_per_conn_bytes", 0),
    ]),
    "noread": (["--scenario", "noread", "--conns", str(NOREAD_CONNS), "--payload", str(NOREAD_PAYLOAD),
                "--max-bytes", str(NOREAD_MIB << 20), "--seconds", str(NOREAD_SECONDS),
                "--stall", str(NOREAD_STALL)], [
        ("non-reading peer, %d conn%s, %s frames: server RSS growth, peak (KB)" % (
            NOREAD_CONNS, "" if NOREAD_CONNS == 1 else "s",
            "%d KiB" % (NOREAD_PAYLOAD // 1024) if NOREAD_PAYLOAD % 1024 == 0 else "%d B" % NOREAD_PAYLOAD),
         "rss_growth_kb", 0),
        ("non-reading peer, the same again on that server: RSS growth from before the first, peak (KB)",
         "second_rss_growth_kb", 0),
        ("non-reading peer: MiB sent (the run stops at %d)" % NOREAD_MIB, "sent_mib", 1),
        ("non-reading peer: closed by the server after (ms)", "closed_after_ms", 1),
    ]),
}
# Rows without a ratio to raw epoll: how a server treats a peer that does
# not read is a choice, not a speed.
NO_RATIO = {"rss_growth_kb", "second_rss_growth_kb", "sent_mib", "closed_after_ms"}
# Rows left out of the comparison with the peers: how many of the held
# connections were echoed shows the table's size (it holds the listener
# too), not a speed.
NOT_A_SPEED = {"echoed"}
# Rows where a smaller value is better; the ratio is value / raw either way.
LOWER_IS_BETTER = {"rtt_p50_us", "rtt_p99_us", "open_p50_us", "open_p99_us", "done_p99_us", "idle_cpu_pct",
                   "rss_per_conn_bytes"}
# Scenarios that run for BENCH_SECONDS.
TIMED_SCENARIOS = {"pp1", "pp16", "stream64", "stream64deep", "stream16k"}
# Scenarios that open and close many connections: each leaves them in
# TIME_WAIT on the load generator's side for 60 s.
OPENING_SCENARIOS = {"churn", "trips", "burst", "hold"}


def log(text):
    print(text, file=sys.stderr, flush=True)


# ------------------------------------------------------------------ servers

LIVE = set()


def stop_all():
    for proc in list(LIVE):
        stop_process(proc)


def stop_process(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    LIVE.discard(proc)


def on_signal(number, _frame):
    stop_all()
    sys.exit(128 + number)


atexit.register(stop_all)
signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One echo server process on 127.0.0.1, with its console output (the
    library's traces, in ours-traced's case) sent to the null device and its
    own settings added to the environment. With port 0 (ours only) the server
    takes a free port and names it in the line that says it is listening."""

    def __init__(self, key, workdir, port=None):
        self.key = key
        self.command = SERVERS[key][1]
        self.env = dict(os.environ, **SERVERS[key][2])
        self.workdir = workdir
        self.proc = None
        self.requested = port
        self.port = 0

    def __enter__(self):
        self.port = free_port() if self.requested is None else self.requested
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(self.command + [str(self.port)], cwd=self.workdir,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.errors, env=self.env)
        LIVE.add(self.proc)
        deadline = time.monotonic() + 5
        while True:
            self.errors.seek(0)
            said = self.errors.read()
            if "listening" in said:
                if self.port == 0:
                    self.port = int(re.search(r"listening on [0-9.]+:([0-9]+)", said).group(1))
                return self
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError("%s did not start" % self.key)
            time.sleep(0.01)

    def __exit__(self, *_):
        stop_process(self.proc)
        self.errors.close()


def run_json(command, timeout):
    """Runs a benchmark program; returns its JSON line (with "error" set when
    it failed or printed none)."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": "no result within %d s" % timeout}
    for line in reversed(done.stdout.splitlines()):
        if line.startswith("{"):
            result = json.loads(line)
            if done.returncode != 0 and "error" not in result:
                result["error"] = "exit status %d" % done.returncode
            return result
    return {"error": "exit status %d: %s" % (done.returncode, done.stderr.strip()[:200])}


# --------------------------------------------------------------- statistics

def median(values):
    return statistics.median(values) if values else None


def fmt(value, decimals):
    if value is None:
        return "–"
    if decimals == 0:
        return "{:,.0f}".format(value).replace(",", " ")
    return "{:.{}f}".format(value, decimals)


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "nproc %d, %s, Linux %s, null system call %s ns" % (
        len(os.sched_getaffinity(0)), model, platform.release(), null_call_ns())


@functools.lru_cache(maxsize=None)
def null_call_ns():
    """The machine's cost of a null system call (bench/nullcall), or "?"."""
    try:
        out = subprocess.run([os.path.join(BUILD, "bench", "nullcall")], capture_output=True, text=True, timeout=60)
        return out.stdout.strip() or "?"
    except (OSError, subprocess.SubprocessError):
        return "?"


# ------------------------------------------------------------------ servers

def sockets_in_time_wait():
    try:
        with open("/proc/net/sockstat") as f:
            for line in f:
                if line.startswith("TCP:"):
                    fields = line.split()
                    return int(fields[fields.index("tw") + 1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def settle_time_wait():
    """Waits (60 s at most) until fewer than TIME_WAIT closed connections
    wait out TIME_WAIT. Tens of thousands of them slow every connect and
    put milliseconds into the p99 of whichever server runs then."""
    deadline = time.monotonic() + 60
    while sockets_in_time_wait() >= TIME_WAIT and time.monotonic() < deadline:
        time.sleep(0.5)


def run_servers(servers, scenarios, workdir):
    # results[scenario][server] = list over repetitions of result dicts
    results = {s: {k: [] for k in servers} for s in scenarios}
    for rep in range(REPS):
        for scenario in scenarios:
            if scenario == "hold" and rep >= HOLD_REPS:
                continue
            args = SCENARIOS[scenario][0]
            # Each repetition starts with another server: one always run
            # first (after the previous scenario's servers were stopped)
            # would carry whatever that costs in every repetition.
            shift = rep % len(servers)
            for key in servers[shift:] + servers[:shift]:
                if scenario in OPENING_SCENARIOS:
                    settle_time_wait()
                with Server(key, workdir) as server:
                    extra = ["--server-pid", str(server.proc.pid)] if scenario in ("hold", "noread") else []
                    bound = 60 + (SECONDS if scenario in TIMED_SCENARIOS else 0) + (
                        HOLD_SECONDS if scenario == "hold" else 0) + (NOREAD_SECONDS if scenario == "noread" else 0)
                    command = [LOADGEN, "--port", str(server.port)] + args + extra + ["--timeout", str(bound - 5)]
                    result = run_json(command, bound)
                    if scenario == "noread" and "error" not in result:
                        result = with_second_peer(result, run_json(command, bound))
                results[scenario][key].append(result)
                log("rep %d/%d %-12s %-11s %s" % (rep + 1, REPS, scenario, key, summary(scenario, result)))
    return results


def with_second_peer(first, second):
    """The non-reading peer runs twice on one server, the second time once
    the first is over: memory the first freed may stay with the process, and
    the second peer's peak is counted from where the server started. Returns
    the first run's result with the second's added."""
    if "error" in second:
        return dict(first, error="second peer: " + second["error"])
    merged = dict(first)
    merged["second"] = second
    merged["second_ended_by"] = second.get("ended_by")
    if "rss0_kb" in first and "rss_peak_kb" in second:
        merged["second_rss_growth_kb"] = second["rss_peak_kb"] - first["rss0_kb"]
        merged["second_rss_end_growth_kb"] = second["rss_end_kb"] - first["rss0_kb"]
    return merged


def summary(scenario, result):
    if "error" in result:
        return "ERROR: " + result["error"]
    return ", ".join("%s=%s" % (key, fmt(result.get(key), d)) for _, key, d in SCENARIOS[scenario][1])


def server_table(servers, scenarios, results):
    lines = ["| scenario | " + " | ".join(SERVERS[k][0] for k in servers) + " |",
             "|---|" + "---:|" * len(servers)]
    notes = []
    medians = {}
    for scenario in scenarios:
        runs = results[scenario]
        for label, key, decimals in SCENARIOS[scenario][1]:
            cells = []
            for server in servers:
                values = [r[key] for r in runs[server] if "error" not in r and key in r]
                value = median(values)
                medians[(scenario, key, server)] = value
                ratios = []
                if BASELINE in runs:
                    for mine, base in zip(runs[server], runs[BASELINE]):
                        if "error" in mine or "error" in base or not base.get(key):
                            continue
                        ratios.append(mine[key] / base[key])
                ratio = median(ratios) if key not in NO_RATIO else None
                medians[(scenario, key, server, "ratio")] = ratio
                cell = fmt(value, decimals)
                if ratio is not None and server != BASELINE:
                    cell += " (%.2fx)" % ratio
                cells.append(cell)
            lines.append("| %s | %s |" % (label, " | ".join(cells)))
        for server in servers:
            failed = [r["error"] for r in runs[server] if "error" in r]
            if failed:
                notes.append("- %s, %s: %d of %d runs failed (%s)" % (
                    scenario, SERVERS[server][0], len(failed), len(runs[server]), failed[0]))
        if scenario == "noread":
            notes += noread_outcomes(servers, runs)
    return lines, notes, medians


def per_rep_ratio(runs, mine, theirs, key):
    """The median over the repetitions of mine's value / theirs', or None."""
    rs = [m[key] / t[key] for m, t in zip(runs[mine], runs[theirs])
          if "error" not in m and "error" not in t and key in m and t.get(key)]
    return median(rs)


def peer_table(servers, scenarios, results):
    """One line per measured row: the better peer in it, and our value (ours
    with its traces off) as a ratio to that peer's (the median of the
    per-repetition ratios); then, when ours-traced ran, its value as a ratio
    to ours: what the traces cost. Rows where a smaller value is better say
    so; there a ratio at or below 1 is ours being as good or better, and a
    traces' ratio above 1 is their cost."""
    peers = [p for p in PEERS if p in servers]
    traced = TRACED in servers
    if "ours" not in servers or not (peers or traced):
        return [], {}
    head, rule = ["scenario"], ["---"]
    if peers:
        head += ["better peer", "ours / better peer", ""]
        rule += ["---", "---:", "---"]
    if traced:
        head.append("traces: ours traced / ours")
        rule.append("---:")
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(rule) + "|"]
    standing = {}
    for scenario in scenarios:
        runs = results[scenario]
        for label, key, _ in SCENARIOS[scenario][1]:
            if key in NO_RATIO or key in NOT_A_SPEED:
                continue
            lower = key in LOWER_IS_BETTER
            cells = []
            if peers:
                ratios = {}
                for peer in peers:
                    r = per_rep_ratio(runs, "ours", peer, key)
                    if r is not None:
                        ratios[peer] = r
                if ratios:
                    # The better peer is the one ours compares worst with.
                    best = (max if lower else min)(ratios, key=ratios.get)
                    ratio = ratios[best]
                    standing[(scenario, key)] = (best, ratio, lower)
                    if abs(ratio - 1.0) < 0.005:
                        verdict = "level"
                    elif (ratio < 1.0) == lower:
                        verdict = "ahead"
                    else:
                        verdict = "**behind**"
                    cells += [SERVERS[best][0], "%.2fx%s" % (ratio, " (lower is better)" if lower else ""), verdict]
                else:
                    cells += ["–", "–", ""]
            if traced:
                r = per_rep_ratio(runs, TRACED, "ours", key)
                cells.append("–" if r is None else "%.2fx%s" % (r, " (lower is better)" if lower and not peers else ""))
            if all(c in ("–", "") for c in cells):
                continue
            lines.append("| %s | %s |" % (label, " | ".join(cells)))
    return lines, standing


NOREAD_ENDINGS = {
    "closed": "closed the connection",
    "bytes": "took all %d MiB" % NOREAD_MIB,
    "stalled": "stopped reading (no byte taken for %g s)" % NOREAD_STALL,
    "seconds": "was still taking bytes after %g s" % NOREAD_SECONDS,
}


def noread_outcomes(servers, runs):
    """One line per server: how the runs with the non-reading peer ended."""
    lines = []
    for server in servers:
        done = [r for r in runs[server] if "error" not in r]
        if not done:
            continue
        counts = {}
        for r in done:
            for ending in (r.get("ended_by", "?"), r.get("second_ended_by", "?")):
                counts[ending] = counts.get(ending, 0) + 1
        what = "; ".join("%s in %d of %d runs" % (NOREAD_ENDINGS.get(k, k), n, 2 * len(done))
                         for k, n in sorted(counts.items(), key=lambda kv: -kv[1]))
        for key, when in (("rss_end_growth_kb", "the first"), ("second_rss_end_growth_kb", "the second")):
            growth = [r[key] for r in done if key in r]
            if growth:
                what += "; RSS growth 0.5 s after %s: %s KB" % (when, fmt(median(growth), 0))
        lines.append("- non-reading peer, %s: %s" % (SERVERS[server][0], what))
    return lines


# ------------------------------------------------------------- client side

CLIENT_MODES = [
    ("callback", "our client, Send inside OnPacket"),
    ("app", "our client, Send from the application thread"),
    ("raw", "raw blocking socket"),
    ("raw-thread", "raw sockets, each frame handed to an I/O thread that sends it"),
]


def run_client(workdir):
    results = {m: [] for m, _ in CLIENT_MODES}
    for rep in range(REPS):
        with Server("raw", workdir) as server:
            for mode, _ in CLIENT_MODES:
                r = run_json([CLIENTBENCH, "--port", str(server.port), "--mode", mode, "--seconds", str(SECONDS),
                              "--warmup", str(WARMUP)], SECONDS + 30)
                results[mode].append(r)
                log("rep %d/%d client    %-8s %s" % (rep + 1, REPS, mode, r.get("error") or
                                                      "p50=%.1f µs" % r["rtt_p50_us"]))
    lines = ["| client (against the raw epoll server, 64 B, 1 frame in flight) | RTT p50 (µs) | RTT p99 (µs) | "
             "round trips/s | p50 / p50 of Send inside OnPacket |",
             "|---|---:|---:|---:|---:|"]
    notes = []
    ratios = {}
    for mode, label in CLIENT_MODES:
        ok = [r for r in results[mode] if "error" not in r]
        rs = [m["rtt_p50_us"] / c["rtt_p50_us"] for m, c in zip(results[mode], results["callback"])
              if "error" not in m and "error" not in c and c["rtt_p50_us"] > 0]
        ratios[mode] = median(rs)
        lines.append("| %s | %s | %s | %s | %s |" % (
            label, fmt(median([r["rtt_p50_us"] for r in ok]), 1), fmt(median([r["rtt_p99_us"] for r in ok]), 1),
            fmt(median([r["frames_per_s"] for r in ok]), 0),
            "%.2fx" % ratios[mode] if ratios[mode] is not None else "–"))
        failed = [r["error"] for r in results[mode] if "error" in r]
        if failed:
            notes.append("- client %s: %d of %d runs failed (%s)" % (mode, len(failed), REPS, failed[0]))
    return lines, notes, ratios


# ---------------------------------------------------------------- micro

def run_micro(outdir):
    out = os.path.join(outdir, "micro.json")
    # Encode prints a console trace per frame: standard output goes nowhere,
    # the results come from the JSON file.
    command = [MICROBENCH, "--benchmark_out=" + out, "--benchmark_out_format=json",
               "--benchmark_min_time=%s" % os.environ.get("BENCH_MICRO_MIN_TIME", "0.2")]
    log("micro-benchmarks ...")
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True, timeout=600)
    if done.returncode != 0:
        return ["micro-benchmarks failed: " + done.stderr.strip()[:300]]
    with open(out) as f:
        data = json.load(f)
    lines = ["| micro-benchmark | time per operation | throughput | notes |", "|---|---:|---:|---|"]
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        unit = b.get("time_unit", "ns")
        through = ""
        if "bytes_per_second" in b:
            through = "%.2f GB/s" % (b["bytes_per_second"] / 1e9)
        elif "items_per_second" in b:
            through = "%.1f M/s" % (b["items_per_second"] / 1e6)
        extra = ", ".join("%s=%.1f" % (k, b[k]) for k in ("frames_in_read",) if k in b)
        lines.append("| %s | %.1f %s | %s | %s |" % (b["name"], b["cpu_time"], unit, through, extra))
    return lines


# ----------------------------------------------------------------- targets

def send_limit_kb():
    """QVNET_SEND_LIMIT as our server reads it (it inherits this environment),
    in KB; None when it cannot be read here."""
    text = os.environ.get("QVNET_SEND_LIMIT", "64M").strip().upper()
    scale = {"K": 1, "M": 1024, "G": 1024 * 1024}.get(text[-1:], None)
    try:
        return int(text[:-1]) * scale if scale else int(text) // 1024
    except ValueError:
        return None


def targets(medians, client_ratios, servers):
    def ratio(scenario, key):
        return medians.get((scenario, key, "ours", "ratio"))

    def value(scenario, key):
        return medians.get((scenario, key, "ours"))

    checks = []
    if "ours" in servers and BASELINE in servers:
        checks += [
            ("ping-pong RTT p50, 1 conn", ratio("pp1", "rtt_p50_us"), "<=", 1.10, "x raw epoll"),
            ("round trips/s, 16 conns", ratio("pp16", "frames_per_s"), ">=", 0.9, "x raw epoll"),
            ("stream 64 B frames/s", ratio("stream64", "frames_per_s"), ">=", 0.8, "x raw epoll"),
            ("stream 16 KiB MB/s", ratio("stream16k", "mb_per_s"), ">=", 0.7, "x raw epoll"),
        ]
    if "ours" in servers:
        checks.append(("worker CPU, %d idle conns" % HOLD_CONNS, value("hold", "idle_cpu_pct"), "<", 2.0,
                       "% of a core"))
        limit = send_limit_kb()
        if limit is not None:
            # The send limit per connection, and 1 MiB each for everything else.
            growth = [g for g in (value("noread", "rss_growth_kb"), value("noread", "second_rss_growth_kb"))
                      if g is not None]
            checks.append(("server RSS growth, non-reading peers (the larger row)", max(growth) if growth else None,
                           "<=", NOREAD_CONNS * (limit + 1024), "KB"))
    if client_ratios:
        checks.append(("client: Send from application thread, RTT p50", client_ratios.get("app"), "<=", 1.2,
                       "x Send inside OnPacket"))
    lines = ["| target | measured | goal | |", "|---|---:|---:|---|"]
    for name, got, op, goal, unit in checks:
        if got is None:
            lines.append("| %s | – | %s %s %s | not measured |" % (name, op, goal, unit))
            continue
        met = {"<=": got <= goal, ">=": got >= goal, "<": got < goal}[op]
        lines.append("| %s | %.2f %s | %s %s | %s |" % (name, got, unit, op, goal, "met" if met else "**missed**"))
    return lines


def main():
    servers = [s for s in os.environ.get("BENCH_SERVERS", ",".join(SERVERS)).split(",") if s]
    scenarios = [s for s in os.environ.get("BENCH_SCENARIOS", ",".join(SCENARIOS)).split(",") if s]
    for name in servers:
        if name not in SERVERS:
            sys.exit("unknown server %r (known: %s)" % (name, ", ".join(SERVERS)))
    for name in scenarios:
        if name not in SCENARIOS:
            sys.exit("unknown scenario %r (known: %s)" % (name, ", ".join(SCENARIOS)))
    outdir = os.path.join(BUILD, "bench-results")
    workdir = os.path.join(outdir, "run")  # servers write ./Log/Network.log here
    os.makedirs(workdir, exist_ok=True)

    started = time.monotonic()
    load_before = os.getloadavg()[0]
    results = run_servers(servers, scenarios, workdir)
    table, notes, medians = server_table(servers, scenarios, results)
    peers, _ = peer_table(servers, scenarios, results)
    client_lines, client_notes, client_ratios = ([], [], {})
    if env_int("BENCH_CLIENT", 1):
        client_lines, client_notes, client_ratios = run_client(workdir)
    micro = run_micro(outdir) if env_int("BENCH_MICRO", 1) else []

    # Other work on the machine skews everything; say how busy it was.
    report = ["Machine: %s; load average %.2f before the run, %.2f after." % (
                  machine(), load_before, os.getloadavg()[0]),
              "%d repetitions (%d with the held connections); %.1f s per timed run; cells: median "
              "(median of the per-repetition ratios to raw epoll). Ours runs with its console traces off "
              "(QVNET_TRACE=off); ours, traced, with them on and sent to the null device." % (
                  REPS, min(REPS, HOLD_REPS), SECONDS),
              ""] + table
    if notes:
        report += [""] + notes
    if peers:
        report += [""] + peers
    if client_lines:
        report += [""] + client_lines + client_notes
    report += [""] + targets(medians, client_ratios, servers)
    if micro:
        report += [""] + micro
    report.append("")
    report.append("(%.0f s)" % (time.monotonic() - started))
    text = "\n".join(report)
    print(text)
    with open(os.path.join(outdir, "results.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(outdir, "results.json"), "w") as f:
        json.dump({"servers": results, "machine": machine()}, f, indent=1)


if __name__ == "__main__":
    main()
