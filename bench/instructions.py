"""Instructions per operation under callgrind, corvina_native beside the peer of each row.

    python bench/instructions.py [--only S1,S5] [--syscalls] [--write bench/RESULTS.md]

Each (scenario, client) runs twice under `valgrind --tool=callgrind` (all threads in one count),
a short run and a long one; the difference divided by the difference in operations is the cost
of one operation, with start-up, imports and warm-up cancelled out. Instructions do not depend on
what else the machine does, so a change of a few percent is real where a timed ratio is not.

Each cell is broken down by object: the native library that does the network work (the Core,
or the peer's own extension), libc (the allocator, memcpy), the corvina_native module, the
interpreter (python, libpython and the standard library's extensions), and the rest.
`--syscalls` adds system calls per operation, and futex calls among them, from `strace -f -c`
over the same two runs.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from servers import Servers  # noqa: E402

MiB = 1 << 20
CORVINA = "corvina_native"

# (scenario, unit, short params, long params, ops in a run from its params, clients)
ROWS = [
    ("S1", "req", {"count": 300}, {"count": 1300}, lambda p: p["count"], [CORVINA, "pycurl"]),
    ("S1x2", "req", {"count": 150}, {"count": 650}, lambda p: 2 * p["count"],
     [CORVINA, "pycurl"]),
    ("S1x4", "req", {"count": 75}, {"count": 325}, lambda p: 4 * p["count"], [CORVINA]),
    ("S5 upload", "MiB", {"size": 8 * MiB}, {"size": 40 * MiB}, lambda p: p["size"] // MiB,
     [CORVINA, "pycurl"]),
    ("S4 asyncio 16B", "msg", {"count": 300, "size": 16}, {"count": 1300, "size": 16},
     lambda p: p["count"], [CORVINA, "picows"]),
    ("S2", "req", {"count": 300, "width": 64}, {"count": 1300, "width": 64},
     lambda p: p["count"], [CORVINA, "aiohttp"]),
]
CLIENT_SCENARIO = {"S4 asyncio 16B": "S4 asyncio"}
PARTS = ["native", "libc", "module", "interpreter", "other"]


def part_of(obj: str) -> str:
    name = os.path.basename(obj)
    if name.startswith(("libkestrin", "_pycurl", "pycurl")) or "picows" in obj:
        return "native"
    if name.startswith(("libc.so", "libc-", "ld-linux", "libm.so", "libpthread")):
        return "libc"
    if name.startswith("corvina_native"):
        return "module"
    if name.startswith(("python", "libpython")) or "lib-dynload" in obj:
        return "interpreter"
    return "other"


def callgrind_totals(path: Path) -> dict:
    """Instructions by object from a callgrind output file (self cost only)."""
    names: dict[str, str] = {}
    totals: dict[str, int] = defaultdict(int)
    current = "?"
    skip_next = False

    def resolve(spec: str) -> str:
        m = re.match(r"\((\d+)\)(?: (.*))?", spec)
        if not m:
            return spec
        if m.group(2) is not None:
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), "?")

    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("ob="):
                current = resolve(line[3:].strip())
            elif line.startswith("cob="):
                resolve(line[4:].strip())  # may define a name used later
            elif line.startswith("calls="):
                skip_next = True  # the next cost line is the call's inclusive cost
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    totals[current] += int(fields[1])
    by_part: dict[str, int] = defaultdict(int)
    for obj, n in totals.items():
        by_part[part_of(obj)] += n
    return dict(by_part)


def client_cmd(python: str, scenario: str, name: str, params: dict) -> list[str]:
    return [python, str(HERE / "clients.py"), CLIENT_SCENARIO.get(scenario, scenario), name,
            json.dumps(params)]


def run_callgrind(cmd: list[str], work: Path, keep: Path | None = None) -> dict:
    out = keep or work / "callgrind.out"
    out.unlink(missing_ok=True)
    proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                           "--dump-instr=no", "--separate-threads=no", *cmd],
                          capture_output=True, text=True, timeout=1800)
    if not any(ln.startswith("{") for ln in proc.stdout.splitlines()):
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        raise RuntimeError(f"exit {proc.returncode}: {tail[:200]}")
    return callgrind_totals(out)


def run_strace(cmd: list[str], work: Path) -> dict:
    out = work / "strace.out"
    subprocess.run(["strace", "-f", "-c", "-o", str(out), *cmd], capture_output=True,
                   text=True, timeout=900)
    calls: dict[str, int] = {}
    for line in out.read_text().splitlines():
        fields = line.split()
        # % time, seconds, usecs/call, calls, [errors], syscall
        if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    return calls


def measure(python, servers, scenario, name, short, long, ops_of, syscalls, work, keep):
    base = {"base": servers.base, "ws": getattr(servers, "ws_url", ""), "h3": ""}
    runs = []
    for params in (short, long):
        cmd = client_cmd(python, scenario, name, dict(params, **base))
        kept = None
        if keep:
            run = "long" if params is long else "short"
            kept = Path(keep) / re.sub(r"[^A-Za-z0-9]+", "-", f"{scenario}-{name}-{run}")
            kept.parent.mkdir(parents=True, exist_ok=True)
        runs.append((ops_of(params), run_callgrind(cmd, work, kept),
                     run_strace(cmd, work) if syscalls else None))
    (n0, i0, s0), (n1, i1, s1) = runs
    ops = n1 - n0
    cell = {p: (i1.get(p, 0) - i0.get(p, 0)) / ops for p in PARTS}
    cell["total"] = sum(cell[p] for p in PARTS)
    if syscalls:
        names = set(s0) | set(s1)
        per = {k: (s1.get(k, 0) - s0.get(k, 0)) / ops for k in names}
        cell["syscalls"] = sum(per.values())
        cell["futex"] = per.get("futex", 0.0)
        cell["syscall_kinds"] = {k: round(v, 2) for k, v in sorted(per.items()) if v >= 0.05}
    return cell


def fmt_k(n: float) -> str:
    return f"{n / 1000:.1f}k" if abs(n) < 1e6 else f"{n / 1e6:.2f}M"


def table(results: dict, syscalls: bool) -> list[str]:
    head = "| scenario | client | per | total | native | libc | module | interpreter | other |"
    rule = "|---|---|---|---|---|---|---|---|---|"
    if syscalls:
        head += " syscalls | futex |"
        rule += "---|---|"
    out = [head, rule]
    for (scenario, unit, *_), cells in results.items():
        ours = cells.get(CORVINA, {}).get("total")
        for name, cell in cells.items():
            if "error" in cell:
                out.append(f"| {scenario} | {name} | {unit} | {cell['error']} |" + " |" * 5)
                continue
            ratio = ""
            if name != CORVINA and ours and cell["total"]:
                ratio = f" (ours {ours / cell['total']:.2f}×)"
            row = (f"| {scenario} | {name} | {unit} | **{fmt_k(cell['total'])}**{ratio} | "
                   + " | ".join(fmt_k(cell[p]) for p in PARTS) + " |")
            if syscalls:
                row += f" {cell['syscalls']:.1f} | {cell['futex']:.2f} |"
            out.append(row)
    return out


SECTION = "## Instructions per operation"


def write_section(path: Path, lines: list[str], note: str) -> None:
    text = path.read_text() if path.exists() else ""
    block = "\n".join([SECTION, "", note, "", *lines, ""]) + "\n"
    if SECTION in text:
        start = text.index(SECTION)
        nxt = text.find("\n## ", start + len(SECTION))
        text = text[:start] + block + (text[nxt + 1:] if nxt >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + block
    path.write_text(text)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", help="comma-separated scenario prefixes, e.g. S1,S5")
    ap.add_argument("--clients", help="comma-separated client names")
    ap.add_argument("--syscalls", action="store_true", help="strace -f -c as well")
    ap.add_argument("--json", help="write the cells as JSON here")
    ap.add_argument("--keep", help="keep the callgrind files in this directory")
    ap.add_argument("--write", help="replace the instructions section of this Markdown file")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        print("valgrind is needed", file=sys.stderr)
        return 2
    rows = [r for r in ROWS
            if not args.only or any(r[0].startswith(p) for p in args.only.split(","))]
    wanted = set(args.clients.split(",")) if args.clients else None
    python = sys.executable
    results = {}
    websocket = any(r[0].startswith("S4") for r in rows)
    with tempfile.TemporaryDirectory(prefix="corvina-instr-") as tmp, \
            Servers(big_size=MiB, cpu="0", websocket=websocket) as servers:
        work = Path(tmp)
        for row in rows:
            scenario, unit, short, long, ops_of, names = row
            cells = results.setdefault(row[:2], {})
            for name in names:
                if wanted and name not in wanted:
                    continue
                print(f"{scenario} / {name} ...", file=sys.stderr, flush=True)
                try:
                    cells[name] = measure(python, servers, scenario, name, short, long, ops_of,
                                          args.syscalls, work, args.keep)
                except Exception as e:  # reported in the table, the other cells go on
                    cells[name] = {"error": str(e)[:120]}
                print(f"  {cells[name]}", file=sys.stderr, flush=True)
    lines = table(results, args.syscalls)
    print("\n".join(lines))
    if args.json:
        Path(args.json).write_text(json.dumps(
            {f"{s} / {n}": c for (s, _), cells in results.items() for n, c in cells.items()},
            indent=1))
    if args.write:
        note = ("`bench/instructions.py" + (" --syscalls" if args.syscalls else "") + "`: "
                "valgrind's callgrind, all threads, (long run − short run) / operations; "
                "native is the Core for corvina_native and the peer's own extension for the "
                "peer.")
        write_section(Path(args.write), lines, note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
