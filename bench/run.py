"""Runs every scenario for corvina_native and its peers against the same local servers.

    python bench/run.py                      # full run, prints the table
    python bench/run.py --smoke              # a few hundred operations, no timing judged
    python bench/run.py --only S1,S3 --write bench/RESULTS.md

Each (scenario, client, placement) runs in a fresh child process pinned with taskset; the child
reports its own CPU time and peak RSS (see clients.py). The curl command-line tool is measured
from here with wait4. Placements: "split" puts the servers on CPU 0 and the client on CPU 1,
"same" puts both on CPU 0.
"""

import argparse
import ctypes
import hashlib
import json
import mmap
import os
import platform
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from servers import Servers  # noqa: E402

GiB, MiB = 1 << 30, 1 << 20
CORVINA = "corvina_native"

# scenario -> (unit, full params, smoke params, clients in order)
SCENARIOS = {
    "S1": ("req", {"count": 5000}, {"count": 200},
           [CORVINA, "pycurl", "requests", "httpx", "urllib3"]),
    "S1x2": ("req", {"count": 5000}, {"count": 100}, [CORVINA, "pycurl"]),
    "S2": ("req", {"count": 20000, "width": 64}, {"count": 300, "width": 16},
           [CORVINA, "corvina_native+uvloop", "aiohttp", "aiohttp+uvloop", "httpx",
            "pycurl CurlMulti"]),
    "S3 stream": ("byte", {"size": GiB}, {"size": 16 * MiB},
                  [CORVINA, "curl", "pycurl", "requests", "aiohttp"]),
    "S3 whole": ("byte", {"size": GiB}, {"size": 16 * MiB},
                 [CORVINA, "pycurl", "requests", "urllib3", "aiohttp"]),
    "S4 blocking 16B": ("msg", {"count": 5000, "size": 16}, {"count": 100, "size": 16},
                        [CORVINA, "websocket-client", "websockets (sync)"]),
    "S4 asyncio 16B": ("msg", {"count": 5000, "size": 16}, {"count": 100, "size": 16},
                       [CORVINA, "aiohttp", "websockets", "picows"]),
    "S4 blocking 1MiB": ("byte", {"count": 100, "size": MiB}, {"count": 5, "size": MiB},
                         [CORVINA, "websocket-client", "websockets (sync)"]),
    "S4 asyncio 1MiB": ("byte", {"count": 100, "size": MiB}, {"count": 5, "size": MiB},
                        [CORVINA, "aiohttp", "websockets", "picows"]),
    # 64 KiB JSON-like text, every client offering compression: the server takes it ("deflate")
    # or declines ("plain"); a relay counts the bytes on the wire.
    "S4z deflate": ("msg", {"count": 2000, "size": 64 * 1024}, {"count": 50, "size": 64 * 1024},
                    [CORVINA, "websockets", "aiohttp"]),
    "S4z plain": ("msg", {"count": 2000, "size": 64 * 1024}, {"count": 50, "size": 64 * 1024},
                  [CORVINA, "websockets", "aiohttp"]),
    "S5 upload": ("byte", {"size": GiB}, {"size": 16 * MiB},
                  [CORVINA, "curl -T", "pycurl", "requests"]),
    "S6 requests": ("req", {"count": 10000}, {"count": 200}, [CORVINA, "aiohttp"]),
    "S6 websockets": ("conn", {"count": 1000}, {"count": 20}, [CORVINA, "websockets"]),
    # HTTP/3 against hypercorn, a Python server: it is the bottleneck, so read the client's CPU
    # and context switches per request rather than its throughput.
    "S7 sequential": ("req", {"count": 1000}, {"count": 50},
                      [CORVINA, "niquests", "curl --http3-only"]),
    "S7 in flight": ("req", {"count": 2000, "width": 64}, {"count": 128, "width": 64},
                     [CORVINA, "niquests", "curl --http3-only"]),
}

# The registry name of a scenario in clients.py (S4 sizes share one client function).
CLIENT_SCENARIO = {"S4 blocking 16B": "S4 blocking", "S4 blocking 1MiB": "S4 blocking",
                   "S4 asyncio 16B": "S4 asyncio", "S4 asyncio 1MiB": "S4 asyncio",
                   "S4z deflate": "S4z", "S4z plain": "S4z"}
S4Z_WARM = 3  # messages each S4z client echoes before the clock starts

# name -> (server CPUs, client CPUs)
PLACEMENTS = {"split": ("0", "1"), "same": ("0", "0")}
# Two client threads pinned to one CPU cannot pass one CPU's worth of work, so the two-thread
# comparison also runs with everything free to use both CPUs.
EXTRA_PLACEMENTS = {"free": ("0,1", "0,1")}
EXTRA_SCENARIOS = ["S1", "S1x2"]


def run_python_client(python, scenario, name, params, cpu, timeout):
    cmd = ["taskset", "-c", str(cpu), python, str(HERE / "clients.py"),
           CLIENT_SCENARIO.get(scenario, scenario), name, json.dumps(params)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    lines = [ln for ln in out.stdout.splitlines() if ln.startswith("{")]
    tail = (out.stderr.strip().splitlines() or ["no output"])[-1]
    if not lines:
        return {"error": f"exit {out.returncode}: {tail[:200]}"}
    res = json.loads(lines[-1])
    if out.returncode != 0:
        # The measurement finished; the process failed on its way out. Keep both.
        res["exit_fault"] = f"exit {out.returncode} after the run: {tail[:120]}"
    return res


def stack_curl():
    """The curl tool of the pinned stack (it has HTTP/3; the system's may not), if built:
    $CORVINA_STACK/bin/curl, else where scripts/stack.sh keeps it, found without building."""
    prefix = os.environ.get("CORVINA_STACK")
    if not prefix:
        root = HERE.parent / "scripts"
        digest = hashlib.sha256((root / "stack.lock").read_bytes()
                                + (root / "stack.sh").read_bytes()).hexdigest()[:16]
        cache = os.environ.get("CORVINA_STACK_CACHE") or Path.home() / ".cache/corvina-stack"
        prefix = Path(cache) / digest / "prefix"
    curl = Path(prefix) / "bin" / "curl"
    return str(curl) if curl.is_file() and (Path(prefix) / ".done").exists() else None


def run_curl(args, cpu, timeout, curl=None):
    """The curl tool in a child process; CPU and peak RSS from wait4, wall time around it."""
    curl = curl or shutil.which("curl")
    if not curl:
        return {"skip": "curl not installed"}
    t0 = time.perf_counter()
    proc = subprocess.Popen(["taskset", "-c", str(cpu), curl, "-sS", "-o", "/dev/null",
                             "--no-buffer", *args], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            return {"error": f"timed out after {timeout} s"}
        time.sleep(0.002)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        return {"error": f"curl exit {proc.returncode}"}
    # taskset execs curl in place, so the usage is curl's own.
    return {"ops": 1, "wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime,
            "csw": usage.ru_nvcsw + usage.ru_nivcsw, "maxrss_kb": usage.ru_maxrss}


def run_one(python, servers, scenario, name, params, cpu, timeout):
    if scenario.startswith("S7") and servers.h3_base is None:
        return {"skip": servers.h3_missing}
    if name == "curl --http3-only":
        curl = stack_curl()
        if curl is None:
            return {"skip": "no curl with HTTP/3 (run scripts/stack.sh)"}
        # One invocation, one connection: the URL range makes `count` transfers.
        args = ["--http3-only", "-k", f"{servers.h3_base}/1b?n=[1-{params['count']}]"]
        if "width" in params:
            args[:0] = ["--parallel", "--parallel-max", str(params["width"])]
        res = run_curl(args, cpu, timeout, curl)
        if "ops" in res:
            res["ops"] = params["count"]
        return res
    if name == "curl":
        res = run_curl([f"{servers.base}/big"], cpu, timeout)
        res.setdefault("bytes", params["size"])
        return res
    if name == "curl -T":
        res = run_curl(["-T", str(servers.big_path), "-H", "Transfer-Encoding: chunked",
                        f"{servers.base}/upload"], cpu, timeout)
        res.setdefault("bytes", params["size"])
        return res
    p = dict(params, base=servers.base, ws=getattr(servers, "ws_url", ""),
             h3=servers.h3_base or "")
    if scenario.startswith("S4z"):
        target = servers.deflate_ws_port if scenario == "S4z deflate" else servers.ws_port
        p["ws"], stop_relay = servers.relayed(target)
        try:
            res = run_python_client(python, scenario, name, p, cpu, timeout)
        finally:
            wire = stop_relay()
        if "ops" in res and wire:
            messages = res["ops"] + S4Z_WARM  # the handshake is counted too
            res["wire_up"] = wire["up"] / messages
            res["wire_down"] = wire["down"] / messages
            res["compression"] = "; ".join(sorted(set(wire["extensions"]))) or "declined"
        return res
    return run_python_client(python, scenario, name, p, cpu, timeout)


def throughput(res, unit):
    if "ops" not in res:
        return None
    if unit == "byte":
        return res["bytes"] / res["wall"]
    return res["ops"] / res["wall"]


def fmt_rate(value, unit):
    if value is None:
        return "-"
    if unit == "byte":
        return f"{value / 1e9:.2f} GB/s"
    if unit == "conn":
        return f"{value:,.0f} conn/s"
    return f"{value:,.0f} {unit}/s"


def cpu_per_op(res):
    ops = res.get("ops")
    return (res["user"] + res["sys"]) / ops * 1e6 if ops else None


def fmt_cpu(res, unit):
    v = cpu_per_op(res)
    if v is None:
        return "-"
    if unit == "byte":  # one operation is one whole transfer: give CPU per MiB instead
        return f"{(res['user'] + res['sys']) / (res['bytes'] / MiB) * 1e6:,.0f} µs/MiB"
    return f"{v:,.1f} µs/{unit}"


def fmt_server_cpu(res, unit):
    if "server_cpu" not in res or not res.get("ops"):
        return "-"
    if unit == "byte":
        return f"{res['server_cpu'] / (res['bytes'] / MiB) * 1e6:,.0f} µs/MiB"
    return f"{res['server_cpu'] / res['ops'] * 1e6:,.1f} µs/{unit}"


def fmt_csw(res, unit):
    if "csw" not in res or not res.get("ops"):
        return "-"
    if unit == "byte":
        return f"{res['csw'] / (res['bytes'] / MiB):,.1f}/MiB"
    return f"{res['csw'] / res['ops']:,.2f}/{unit}"


def wire_note(res):
    """S4z: bytes on the wire per message each way; S4 and S4z: the compression agreed."""
    out = []
    if "wire_up" in res:
        out.append(f"wire {res['wire_up']:,.0f} B/msg up, {res['wire_down']:,.0f} B/msg down")
    if "compression" in res:
        out.append(f"compression: {res['compression']}")
    return ", ".join(out)


def memory_note(res, scenario):
    if "base_rss_kb" not in res:
        return ""
    peak = max(res["maxrss_kb"], res.get("open_rss_kb", 0))
    per = (peak - res["base_rss_kb"]) * 1024 / res["ops"]
    what = "conn" if "websockets" in scenario else "req"
    return f"{per / 1024:,.1f} KiB/{what}"


def build_table(results, versions, meta, smoke):
    out = []
    out.append("| scenario | placement | client | throughput | CPU | context switches | peak RSS "
               "| server CPU | corvina_native ÷ client | note |")
    out.append("|---|---|---|---|---|---|---|---|---|---|")
    for (scenario, placement), rows in results.items():
        unit = SCENARIOS[scenario][0]
        ours = throughput(rows.get(CORVINA, {}), unit)
        for name, res in rows.items():
            if "skip" in res or "error" in res:
                note = res.get("skip") or "ERROR " + res["error"]
                out.append(f"| {scenario} | {placement} | {name} | {' | '.join('-' * 6)} | "
                           f"{note} |")
                continue
            rate = throughput(res, unit)
            ratio = "" if name == CORVINA or ours is None else f"{ours / rate:.2f}×"
            note = " ".join(x for x in [memory_note(res, scenario), wire_note(res),
                                        res.get("exit_fault")] if x)
            out.append(f"| {scenario} | {placement} | {name} | {fmt_rate(rate, unit)} | "
                       f"{fmt_cpu(res, unit)} | {fmt_csw(res, unit)} | "
                       f"{res['maxrss_kb'] / 1024:,.0f} MB | {fmt_server_cpu(res, unit)} | "
                       f"{ratio} | {note} |")
    return "\n".join(out)


# (text, our scenario and client, the peer's scenario and client, minimum ratio of throughputs)
GOALS = [
    ("S1 ≥ 1.0× pycurl", "S1", CORVINA, "S1", "pycurl", 1.0),
    ("S1 from 2 threads ≥ 0.9× pycurl", "S1x2", CORVINA, "S1x2", "pycurl", 0.9),
    ("S2 ≥ 2× aiohttp", "S2", CORVINA, "S2", "aiohttp", 2.0),
    ("S2 with uvloop ≥ 1.3× aiohttp+uvloop", "S2", "corvina_native+uvloop", "S2",
     "aiohttp+uvloop", 1.3),
    ("S3 streamed ≥ 0.9× curl", "S3 stream", CORVINA, "S3 stream", "curl", 0.9),
    ("S3 streamed ≥ 1.0× pycurl", "S3 stream", CORVINA, "S3 stream", "pycurl", 1.0),
    ("S4 16 B blocking ≥ 1.2× websocket-client", "S4 blocking 16B", CORVINA, "S4 blocking 16B",
     "websocket-client", 1.2),
    ("S4 16 B asyncio ≥ 1.0× aiohttp", "S4 asyncio 16B", CORVINA, "S4 asyncio 16B", "aiohttp",
     1.0),
    ("S4 16 B asyncio ≥ 0.9× picows", "S4 asyncio 16B", CORVINA, "S4 asyncio 16B", "picows", 0.9),
    ("S4 1 MiB asyncio ≥ 1.0× picows", "S4 asyncio 1MiB", CORVINA, "S4 asyncio 1MiB", "picows",
     1.0),
    ("S7 sequential ≥ 1.0× niquests", "S7 sequential", CORVINA, "S7 sequential", "niquests", 1.0),
    ("S7 in flight ≥ 1.0× niquests", "S7 in flight", CORVINA, "S7 in flight", "niquests", 1.0),
    # Within 1.3× of the curl tool's time is at least 1 / 1.3 of its rate.
    ("S7 sequential within 1.3× of curl's time", "S7 sequential", CORVINA, "S7 sequential",
     "curl --http3-only", 1 / 1.3),
    ("S7 in flight within 1.3× of curl's time", "S7 in flight", CORVINA, "S7 in flight",
     "curl --http3-only", 1 / 1.3),
]
# Absolute rates: (scenario, bytes per second).
RATE_GOALS = [("S4 blocking 1MiB", 1.8e9), ("S4 asyncio 1MiB", 1.5e9)]


def goal_lines(results):
    lines = []

    def get(scenario, placement, name):
        return results.get((scenario, placement), {}).get(name, {})

    def verdict(ok):
        return "met" if ok else "MISSED"

    for placement in PLACEMENTS:
        if not any(p == placement for _, p in results):
            continue
        lines.append(f"\nGoals, placement {placement}:")
        if placement in EXTRA_PLACEMENTS:
            continue
        for text, scenario, client, peer_scenario, peer, minimum in GOALS:
            unit = SCENARIOS[scenario][0]
            ours = throughput(get(scenario, placement, client), unit)
            theirs = throughput(get(peer_scenario, placement, peer), unit)
            if ours is None or theirs is None:
                lines.append(f"- {text}: not measured")
                continue
            lines.append(f"- {text}: {ours / theirs:.2f}× {verdict(ours / theirs >= minimum)}")
        a, b = cpu_per_op(get("S1", placement, CORVINA)), cpu_per_op(get("S1", placement, "pycurl"))
        if a is not None and b is not None:
            lines.append(f"- S1 CPU per request ≤ 1.1× pycurl's: {a:.1f} vs {b:.1f} µs "
                         f"{verdict(a <= 1.1 * b)}")
        rows = results.get(("S3 whole", placement), {})
        whole = {n: throughput(r, "byte") for n, r in rows.items()
                 if throughput(r, "byte") is not None}
        if CORVINA in whole and len(whole) > 1:
            best_name = max((n for n in whole if n != CORVINA), key=whole.get)
            ratio = whole[CORVINA] / whole[best_name]
            lines.append(f"- S3 whole ≥ 1.3× the best peer ({best_name}): {ratio:.2f}× "
                         f"{verdict(ratio >= 1.3)}")
        for scenario, goal in RATE_GOALS:
            rate = throughput(get(scenario, placement, CORVINA), "byte")
            if rate is not None:
                lines.append(f"- {scenario} ≥ {goal / 1e9:.1f} GB/s: {rate / 1e9:.2f} GB/s "
                             f"{verdict(rate >= goal)}")
    return "\n".join(lines)


def machine_info():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"cpu": cpu, "cpus": os.cpu_count(), "kernel": platform.release(),
            "memory_gb": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 1e9)}


def touch_free_memory():
    """Writes to most of the machine's free memory once. A virtual machine's host hands a guest
    page over on its first write, which makes whichever run first grows into it look slower. In
    a child of its own: a client's peak RSS starts from that of the process that forked it."""
    subprocess.run([sys.executable, "-c", "import run; run.write_free_memory()"], cwd=HERE,
                   check=True)


def write_free_memory():
    with open("/proc/meminfo") as f:
        avail = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:"))
    step = 256 << 20
    left = max(0, avail - (2 << 30))
    while left > 0:
        n = min(step, left)
        m = mmap.mmap(-1, n)
        first = ctypes.c_char.from_buffer(m)
        ctypes.memset(ctypes.addressof(first), 1, n)
        del first  # the mapping closes only once nothing points into it
        m.close()
        left -= n


def shown_argv(argv):
    """The command line for the report, without paths of scratch files."""
    out, skip = [], False
    for a in argv:
        if skip:
            skip = False
            continue
        if a == "--json":
            skip = True
            continue
        if a.startswith("--json="):
            continue
        out.append(a)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--smoke", action="store_true", help="tiny counts, one placement")
    ap.add_argument("--only", help="comma-separated scenario prefixes, e.g. S1,S3")
    ap.add_argument("--clients", help="comma-separated client names to run (default: all)")
    ap.add_argument("--placements", default=None, help="split,same (default both; smoke: split)")
    ap.add_argument("--python", default=sys.executable, help="interpreter for the clients")
    ap.add_argument("--timeout", type=float, default=None, help="seconds per run")
    ap.add_argument("--repeat", type=int, default=1,
                    help="runs per cell; the table keeps the fastest (the machine is shared)")
    ap.add_argument("--tolerate-exit-faults", action="store_true",
                    help="do not fail the run when a corvina_native process dies after measuring")
    ap.add_argument("--ws-server", choices=["beast", "node", "python"], default="beast",
                    help="WebSocket echo server: bench/ws_echo in C++ (default), Node's ws, "
                         "or the websockets library")
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--note", help="a line for the report's header, e.g. the commit built")
    ap.add_argument("--write", help="write the Markdown report here (e.g. bench/RESULTS.md)")
    args = ap.parse_args()

    if (os.cpu_count() or 1) < 2:
        PLACEMENTS["split"] = ("0", "0")
    placements = (args.placements or ("split" if args.smoke else "split,same")).split(",")
    scenarios = [s for s in SCENARIOS if not args.only
                 or any(s == o or s.startswith(o + " ") for o in args.only.split(","))]
    wanted = set(args.clients.split(",")) if args.clients else None
    timeout = args.timeout or (60 if args.smoke else 300)
    big = max(SCENARIOS[s][2 if args.smoke else 1].get("size", 0) for s in SCENARIOS)

    version_out = subprocess.run([args.python, str(HERE / "clients.py"), "versions"],
                                 capture_output=True, text=True)
    versions = json.loads(version_out.stdout) if version_out.returncode == 0 else {}
    curl = shutil.which("curl")
    if curl:
        versions["curl tool"] = subprocess.run([curl, "--version"], capture_output=True,
                                               text=True).stdout.split("\n")[0]
    if not args.smoke:
        touch_free_memory()
    load_before = os.getloadavg()
    results = {}
    failures = 0
    started = time.monotonic()
    runs = [(p, scenarios) for p in placements]
    if not args.smoke and not args.placements:
        runs += [(p, [s for s in scenarios if s in EXTRA_SCENARIOS]) for p in EXTRA_PLACEMENTS]
    PLACEMENTS.update(EXTRA_PLACEMENTS)
    websocket = any(s.startswith(("S4", "S6 websockets")) for s in scenarios)
    h3 = any(s.startswith("S7") for s in scenarios)
    deflate = "S4z deflate" in scenarios
    if h3 and stack_curl():
        versions["curl tool (HTTP/3)"] = subprocess.run(
            [stack_curl(), "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    with Servers(big_size=big, websocket=websocket, ws_server=args.ws_server,
                 h3=h3, deflate=deflate) as servers:
        versions["nginx"] = servers.nginx_version
        versions["WebSocket server"] = servers.ws_server
        if deflate:
            versions["WebSocket server (S4z deflate)"] = servers.deflate_ws_server
        versions["HTTP/3 server"] = servers.h3_server
        for placement, run_scenarios in runs:
            server_cpu, client_cpu = PLACEMENTS[placement]
            servers.pin(server_cpu)
            for scenario in run_scenarios:
                unit, full, smoke, names = SCENARIOS[scenario]
                params = smoke if args.smoke else full
                rows = results.setdefault((scenario, placement), {})
                for name in names:
                    if wanted and name not in wanted:
                        continue
                    tries = []
                    for _ in range(max(1, args.repeat)):
                        server_cpu0 = servers.cpu_seconds()
                        res = run_one(args.python, servers, scenario, name, params, client_cpu,
                                      timeout)
                        # Includes the client's setup and warm-up: an upper bound for the run.
                        res["server_cpu"] = servers.cpu_seconds() - server_cpu0
                        tries.append(res)
                        if "ops" not in res:
                            break
                    measured = [r for r in tries if "ops" in r]
                    res = max(measured, key=lambda r: throughput(r, unit)) if measured \
                        else tries[-1]
                    if len(measured) > 1:
                        res["all_rates"] = [throughput(r, unit) for r in measured]
                        faults = [r["exit_fault"] for r in measured if "exit_fault" in r]
                        if faults:
                            res["exit_fault"] = faults[0]
                    rows[name] = res
                    status = (res.get("skip") and "skip: " + res["skip"]) or \
                        (res.get("error") and "ERROR: " + res["error"]) or \
                        f"{fmt_rate(throughput(res, unit), unit)}, {fmt_cpu(res, unit)}, " \
                        f"{res['maxrss_kb'] / 1024:.0f} MB {wire_note(res)}"
                    print(f"[{time.monotonic() - started:6.1f}s] {placement:5} {scenario:17} "
                          f"{name:22} {status}", file=sys.stderr, flush=True)
                    if "exit_fault" in res:
                        print(f"    {res['exit_fault']}", file=sys.stderr, flush=True)
                    if name.startswith(CORVINA) and ("error" in res or (
                            "exit_fault" in res and not args.tolerate_exit_faults)):
                        failures += 1
        notes = list(servers.notes)

    table = build_table(results, versions, None, args.smoke)
    goals = "" if args.smoke else goal_lines(results)
    vers = "\n".join(f"- {k}: {v}" for k, v in versions.items())
    info = machine_info()
    load_after = os.getloadavg()
    best = f"; each cell is the fastest of {args.repeat} runs" if args.repeat > 1 else ""
    report = (f"Machine: {info['cpu']}, {info['cpus']} CPUs, {info['memory_gb']} GB, Linux "
              f"{info['kernel']}; load average (1 min) {load_before[0]:.1f} before the run, "
              f"{load_after[0]:.1f} after it (other work shares the CPUs){best}\n\n"
              + (f"{args.note}\n\n" if args.note else "") +
              f"{table}\n{goals}\n\nVersions:\n{vers}\n")
    if notes:
        report += "\nNotes:\n" + "\n".join(f"- {n}" for n in notes) + "\n"
    print(report)
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"machine": info, "versions": versions,
             "results": [{"scenario": s, "placement": p, "client": n, **r}
                         for (s, p), rows in results.items() for n, r in rows.items()]},
            indent=1))
    if args.write:
        # A hand-written "## Analysis" section survives a refresh of the numbers.
        path = Path(args.write)
        kept = ""
        if path.exists():
            old = path.read_text()
            if "\n## Analysis" in old:
                kept = "\n" + old[old.index("\n## Analysis") + 1:]
        path.write_text(
            f"# Benchmark results\n\nRun: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
            f"`{shlex.join(['python', 'bench/run.py'] + shown_argv(sys.argv[1:]))}`\n\n{report}{kept}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
