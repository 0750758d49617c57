"""Soak run: mixed blocking and asyncio requests and WebSockets through corvina_native and the
real Core, against local servers on 127.0.0.1 (nginx, the aiohttp app, a WebSocket echo peer)
and the hostile server for faults (resets, truncations, stalls ended by timeouts,
cancellations, WebSockets cancelled mid-message or whose peer vanishes). Every operation is counted when it starts and when it ends with its outcome;
resident memory, open file descriptors and threads are sampled every 10 s. The summary gives
first/last/max RSS, its slope, the counts, outcomes by kind and lost operations.

    PYTHONPATH=build/dev/bindings/python python3 tests/soak/soak.py --duration 1800

Exits 1 if an operation was lost (started, never ended) or ended with an outcome its case does
not allow, or if RSS grew faster than --max-slope KiB/min over at least 5 minutes after
warm-up."""

import argparse
import asyncio
import collections
import ctypes
import gc
import hashlib
import os
import random
import resource
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import trustme  # noqa: E402

import corvina_native as cn  # noqa: E402
from hostile import CLOSE, HANG, RESET, HostileServer, Sleep, WsAccept  # noqa: E402
from servers import TEXT, App, Nginx  # noqa: E402
from ws_servers import WsPeer  # noqa: E402

OP_TIMEOUT = 30  # bound on any one operation, seconds


# ---- bookkeeping ----------------------------------------------------------------------------

class Tally:
    """started[op], ended[op][outcome], and outcomes that an op does not allow."""

    def __init__(self):
        self.lock = threading.Lock()
        self.started = collections.Counter()
        self.ended = collections.defaultdict(collections.Counter)
        self.unexpected = collections.Counter()
        self.examples = {}
        self.ws_sent = self.ws_echoed = 0

    def start(self, op):
        with self.lock:
            self.started[op] += 1

    def end(self, op, outcome, allowed):
        with self.lock:
            self.ended[op][outcome] += 1
            if outcome not in allowed:
                self.unexpected[(op, outcome)] += 1

    def run(self, op, allowed, fn, *args):
        self.start(op)
        try:
            outcome = fn(*args)
        except RuntimeError as exc:
            outcome = kind_of(str(exc))
        except AssertionError as exc:
            outcome = "wrong-result"
            self.examples.setdefault(op, repr(exc)[:200])
        except Exception as exc:  # noqa: BLE001 - anything else is a finding
            outcome = type(exc).__name__
            self.examples.setdefault(op, repr(exc)[:200])
        self.end(op, outcome, allowed)

    async def run_async(self, op, allowed, coro):
        self.start(op)
        try:
            outcome = await coro
        except RuntimeError as exc:
            outcome = kind_of(str(exc))
        except asyncio.CancelledError:
            outcome = "task-cancelled"
        except AssertionError as exc:
            outcome = "wrong-result"
            self.examples.setdefault(op, repr(exc)[:200])
        except Exception as exc:  # noqa: BLE001
            outcome = type(exc).__name__
            self.examples.setdefault(op, repr(exc)[:200])
        self.end(op, outcome, allowed)

    def lost(self):
        with self.lock:
            return {op: n - sum(self.ended[op].values()) for op, n in self.started.items()
                    if n != sum(self.ended[op].values())}


def kind_of(text):
    """The failure kind: the first word of the failure text ("Network (Chromium ...)")."""
    return text.split(" ", 1)[0] if text else "empty-error"


OK = {"ok"}


# ---- the sampler ----------------------------------------------------------------------------

def proc_status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_kib():
    """What the C allocator has handed out and not got back: RSS without fragmentation."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024


def sample():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return {"t": time.monotonic(), "rss_kib": proc_status("VmRSS"), "heap_kib": heap_kib(),
            "objects": len(gc.get_objects()), "fds": len(os.listdir("/proc/self/fd")),
            "threads": proc_status("Threads"), "cpu": usage.ru_utime + usage.ru_stime}


def slope_per_min(samples, key="rss_kib"):
    """Least-squares slope of a sampled value over time, per minute."""
    if len(samples) < 3:
        return 0.0
    t0 = samples[0]["t"]
    xs = [(s["t"] - t0) / 60 for s in samples]
    ys = [s[key] for s in samples]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else 0.0


class Throttle:
    """A pause every worker takes between operations, raised while this process uses more
    than about one core and lowered when it uses less."""

    def __init__(self, target=0.8):
        self.target, self.pause = target, 0.005

    def adjust(self, cpu_share):
        if cpu_share > self.target:
            self.pause = min(self.pause * 1.5, 0.5)
        elif cpu_share < self.target * 0.7:
            self.pause = max(self.pause / 1.2, 0.001)


# ---- the servers ----------------------------------------------------------------------------

class Servers:
    def __init__(self, workdir):
        ca = trustme.CA()
        cert = ca.issue_cert("127.0.0.1")
        cert_file, key_file = os.path.join(workdir, "s.pem"), os.path.join(workdir, "s.key")
        with open(cert_file, "wb") as f:
            f.write(b"".join(blob.bytes() for blob in cert.cert_chain_pems))
        with open(key_file, "wb") as f:
            f.write(cert.private_key_pem.bytes())
        self.ca_pem = ca.cert_pem.bytes()
        self.started = []
        try:
            self.app = self._keep(App())
            root = os.path.join(workdir, "nginx")
            os.mkdir(root)
            self.nginx = self._keep(Nginx(root, cert_file, key_file, self.app.port, 1 << 20))
            self.ws = self._keep(WsPeer())
            self.hostile = self._keep(HostileServer())
        except Exception:
            self.stop()
            raise
        h = self.hostile
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
        h.script("/ok", head % 2, b"ok")
        h.script("/reset", head % 100000, b"r" * 5000, Sleep(0.02), RESET)
        h.script("/short", head % 100, b"s" * 40, CLOSE)
        h.script("/stall", head % 100000, b"b" * 1000, HANG)
        h.script("/silent", HANG)
        # Open, then a binary frame announcing 1000 bytes of which ten arrive.
        h.script("/ws-stall", WsAccept(), b"\x82\x7e\x03\xe8" + b"x" * 10, HANG)

    def _keep(self, server):
        self.started.append(server)
        return server

    def stop(self):
        for server in reversed(self.started):
            try:
                server.stop()
            except Exception as exc:  # noqa: BLE001 - stop the others regardless
                print(f"stopping {type(server).__name__}: {exc}", file=sys.stderr)


# ---- blocking operations --------------------------------------------------------------------

def get(engine, url, expected, **kwargs):
    kwargs.setdefault("timeout", OP_TIMEOUT)
    request = engine.request("GET", url, **kwargs)
    response = request.start_stream()
    body = request.read_body()
    assert response.status_code == 200 and body == expected, (response.status_code, len(body))
    return "ok"


def echo_post(engine, url, rng):
    data = rng.randbytes(rng.randrange(1, 64 << 10))
    request = engine.request("POST", url, body=data, timeout=OP_TIMEOUT)
    request.start_stream()
    reply = request.read_body()
    assert hashlib.sha256(data).hexdigest().encode() in reply
    return "ok"


def chunked_upload(engine, url, rng):
    parts = [rng.randbytes(rng.randrange(1, 16 << 10)) for _ in range(rng.randrange(1, 6))]
    request = engine.request("PUT", url, chunked=True, timeout=OP_TIMEOUT)
    request.start()
    for part in parts:
        request.upload_write(part, False)
    request.upload_finish()
    request.await_response()
    reply = request.read_body()
    assert hashlib.sha256(b"".join(parts)).hexdigest().encode() in reply
    return "ok"


def cancel_mid_body(engine, url):
    request = engine.request("GET", url, timeout=OP_TIMEOUT)
    request.start_stream()
    assert request.next_body()
    timer = threading.Timer(0.01, request.cancel)
    timer.start()
    try:
        while request.next_body() is not None:
            pass
    finally:
        timer.join()
    return "ok"  # an end without the Canceled error is a finding


def ws_echo_blocking(engine, url, rng, tally):
    ws = engine.websocket(url, timeout=OP_TIMEOUT)
    watchdog = threading.Timer(OP_TIMEOUT, ws.cancel)
    watchdog.daemon = True
    watchdog.start()
    try:
        ws.connect()
        event = ws.recv()
        assert event[0] == "open", event
        messages = [rng.randbytes(rng.randrange(0, 4096)) for _ in range(rng.randrange(1, 8))]
        for m in messages:
            ws.send_bytes(m)
        with tally.lock:
            tally.ws_sent += len(messages)
        for m in messages:
            event = ws.recv()
            assert event[:2] == ("binary", m), event[:1]
            with tally.lock:
                tally.ws_echoed += 1
        ws.close(1000, "bye")
        last = None
        while (event := ws.recv()) is not None:
            last = event
        assert last[0] == "closed", last
        return "ok"
    finally:
        watchdog.cancel()


def ws_fault_blocking(engine, url, cancel):
    """Open, then the peer stalls mid-message (cancelled from another thread) or vanishes:
    the failure kind of the final error event."""
    ws = engine.websocket(url, timeout=OP_TIMEOUT)
    watchdog = threading.Timer(OP_TIMEOUT, ws.cancel)
    watchdog.daemon = True
    watchdog.start()
    try:
        ws.connect()
        event = ws.recv()
        assert event[0] == "open", event
        if cancel:
            threading.Timer(0.01, ws.cancel).start()
        events = []
        while (event := ws.recv()) is not None:
            events.append(event)
        assert len(events) == 1 and events[0][0] == "error", events
        return kind_of(events[0][3])
    finally:
        watchdog.cancel()


def blocking_worker(n, engines, servers, tally, throttle, deadline):
    rng = random.Random(n)
    nginx, hostile, app = servers.nginx, servers.hostile, servers.app
    h1, h2 = engines
    cases = [
        (5, "get-small", OK, lambda: get(h1, nginx.url("/small.txt"), b"small file\n")),
        (3, "get-gzip-h2", OK, lambda: get(h2, nginx.url("/text.txt", "https"), TEXT)),
        (2, "post-echo", OK,
         lambda: echo_post(h1, f"http://127.0.0.1:{app.port}/echo", rng)),
        (1, "chunked-upload", OK,
         lambda: chunked_upload(h1, f"http://127.0.0.1:{app.port}/echo", rng)),
        (2, "hostile-reset", {"Network"}, lambda: get(h1, hostile.url("/reset"), b"")),
        (2, "hostile-short", {"Network"}, lambda: get(h1, hostile.url("/short"), b"")),
        (1, "hostile-stall-timeout", {"Timeout"},
         lambda: get(h1, hostile.url("/stall"), b"", timeout=0.3)),
        (1, "hostile-silent-timeout", {"Timeout"},
         lambda: get(h1, hostile.url("/silent"), b"", timeout=0.2)),
        (2, "cancel-mid-body", {"Canceled"}, lambda: cancel_mid_body(h1, hostile.url("/stall"))),
        (2, "ws-echo", OK,
         lambda: ws_echo_blocking(h1, f"ws://127.0.0.1:{servers.ws.port}/echo", rng, tally)),
        (1, "ws-cancel-mid-message", {"Canceled"},
         lambda: ws_fault_blocking(h1, hostile.url("/ws-stall", "ws"), True)),
        (1, "ws-peer-vanishes", {"Network"},
         lambda: ws_fault_blocking(h1, f"ws://127.0.0.1:{servers.ws.port}/vanish", False)),
    ]
    weights = [c[0] for c in cases]
    while time.monotonic() < deadline:
        _, op, allowed, fn = rng.choices(cases, weights)[0]
        tally.run(op, allowed, fn)
        time.sleep(throttle.pause)


# ---- asyncio operations ---------------------------------------------------------------------

async def fetch_async(engine, url, expected, cancel_after=None, **kwargs):
    loop = asyncio.get_running_loop()
    kwargs.setdefault("timeout", OP_TIMEOUT)
    request = engine.request("GET", url, **kwargs)
    wake = asyncio.Event()
    status, chunks = None, []

    async def consume():
        nonlocal status
        while True:
            for kind, st, _head, body, error in request.poll_events():
                if kind == "response":
                    status = st
                elif kind == "body":
                    chunks.append(body)
                elif kind == "error":
                    raise RuntimeError(error)
                elif kind == "done":
                    return
            await wake.wait()
            wake.clear()

    request.start_async(loop, wake.set)
    task = asyncio.ensure_future(consume())
    try:
        if cancel_after is None:
            await asyncio.wait_for(task, OP_TIMEOUT)
        else:
            await asyncio.sleep(cancel_after)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                return "ok"  # the task was cancelled with the request in flight
            raise AssertionError("the request ended before its task was cancelled")
    finally:
        request.cancel()
    body = b"".join(chunks)
    assert status == 200 and body == expected, (status, len(body))
    return "ok"


async def ws_echo_async(engine, url, rng, tally):
    loop = asyncio.get_running_loop()
    ws = engine.websocket(url, timeout=OP_TIMEOUT)
    wake = asyncio.Event()
    messages = [rng.randbytes(rng.randrange(0, 4096)) for _ in range(rng.randrange(1, 8))]
    echoed = []
    ws.start_async(loop, wake.set)
    deadline = loop.time() + OP_TIMEOUT
    try:
        while len(echoed) < len(messages):
            for kind, payload, *_ in ws.poll_events():
                if kind == "open":
                    for m in messages:
                        ws.send_bytes(m)
                    with tally.lock:
                        tally.ws_sent += len(messages)
                elif kind == "binary":
                    echoed.append(payload)
                    with tally.lock:
                        tally.ws_echoed += 1
                elif kind in ("error", "closed"):
                    raise RuntimeError(kind)
            if len(echoed) < len(messages):
                await asyncio.wait_for(wake.wait(), max(0.0, deadline - loop.time()))
                wake.clear()
        assert echoed == messages
        ws.close(1000, "bye")
        # close removed the notifier: the reply is polled for.
        while loop.time() < deadline:
            events = ws.poll_events()
            if any(e[0] in ("closed", "error") for e in events):
                assert events[-1][0] == "closed", events[-1]
                return "ok"
            await asyncio.sleep(0.01)
        raise AssertionError("no close reply")
    finally:
        ws.cancel()


async def ws_task_cancelled(engine, url, after):
    """A task waiting on a WebSocket whose peer stalls mid-message is cancelled; its cleanup
    cancels the connection."""
    loop = asyncio.get_running_loop()
    ws = engine.websocket(url, timeout=OP_TIMEOUT)
    wake = asyncio.Event()

    async def receive():
        try:
            while True:
                for event in ws.poll_events():
                    if event[0] in ("closed", "error"):
                        return event
                await wake.wait()
                wake.clear()
        finally:
            ws.cancel()

    ws.start_async(loop, wake.set)
    task = asyncio.ensure_future(receive())
    await asyncio.sleep(after)
    task.cancel()
    try:
        event = await task
    except asyncio.CancelledError:
        return "ok"
    raise AssertionError(f"the WebSocket ended before its task was cancelled: {event}")


async def async_driver(engines, servers, tally, throttle, deadline, parallel):
    rng = random.Random(1000)
    nginx, hostile = servers.nginx, servers.hostile
    h1, h2 = engines
    ws_url = f"ws://127.0.0.1:{servers.ws.port}/echo"
    cases = [
        (5, "async-get-small", OK, lambda: fetch_async(h1, nginx.url("/small.txt"),
                                                       b"small file\n")),
        (3, "async-get-h2", OK, lambda: fetch_async(h2, nginx.url("/text.txt", "https"), TEXT)),
        (2, "async-hostile-reset", {"Network"},
         lambda: fetch_async(h1, hostile.url("/reset"), b"")),
        (1, "async-stall-timeout", {"Timeout"},
         lambda: fetch_async(h1, hostile.url("/stall"), b"", timeout=0.3)),
        (2, "async-task-cancel", OK,
         lambda: fetch_async(h1, hostile.url("/stall"), b"", cancel_after=rng.uniform(0, 0.05))),
        (2, "async-ws-echo", OK, lambda: ws_echo_async(h1, ws_url, rng, tally)),
        (1, "async-ws-task-cancel", OK,
         lambda: ws_task_cancelled(h1, hostile.url("/ws-stall", "ws"), rng.uniform(0, 0.05))),
    ]
    weights = [c[0] for c in cases]
    slots = asyncio.Semaphore(parallel)
    running = set()

    async def one(op, allowed, make):
        try:
            await tally.run_async(op, allowed, make())
        finally:
            slots.release()

    while time.monotonic() < deadline:
        await slots.acquire()
        _, op, allowed, make = rng.choices(cases, weights)[0]
        task = asyncio.ensure_future(one(op, allowed, make))
        running.add(task)
        task.add_done_callback(running.discard)
        await asyncio.sleep(throttle.pause)
    if running:
        await asyncio.wait(running, timeout=OP_TIMEOUT * 2)


# ---- main -----------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=1800, help="seconds (default 1800)")
    parser.add_argument("--interval", type=float, default=10, help="sampling period, s")
    parser.add_argument("--threads", type=int, default=3, help="blocking worker threads")
    parser.add_argument("--parallel", type=int, default=6, help="asyncio operations at once")
    parser.add_argument("--warmup", type=float, default=120,
                        help="seconds left out of the RSS slope (default 120)")
    parser.add_argument("--max-slope", type=float, default=512,
                        help="failing RSS slope after warm-up, KiB/min (default 512)")
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="soak-")
    servers = Servers(workdir)
    tally = Tally()
    throttle = Throttle()
    samples = []
    try:
        engines = (cn.PyEngine(ca_pem=servers.ca_pem, http_version="h1"),
                   cn.PyEngine(ca_pem=servers.ca_pem))
        start = time.monotonic()
        deadline = start + args.duration
        workers = [threading.Thread(target=blocking_worker,
                                    args=(n, engines, servers, tally, throttle, deadline))
                   for n in range(args.threads)]
        loop_thread = threading.Thread(target=lambda: asyncio.run(async_driver(
            engines, servers, tally, throttle, deadline, args.parallel)))
        for t in workers + [loop_thread]:
            t.start()

        print(f"{'t/s':>6} {'RSS/MiB':>8} {'heap/MiB':>8} {'objects':>8} {'fds':>5} {'thr':>4} "
              f"{'cpu':>5} {'pause/ms':>8} {'started':>8} {'ended':>8}", flush=True)
        samples.append(sample())
        while any(t.is_alive() for t in workers + [loop_thread]):
            time.sleep(max(0.5, min(args.interval, deadline - time.monotonic())))
            s = sample()
            s["running"] = time.monotonic() <= deadline
            prev = samples[-1]
            share = (s["cpu"] - prev["cpu"]) / max(1e-6, s["t"] - prev["t"])
            throttle.adjust(share)
            samples.append(s)
            servers.hostile.forget()  # the server's own records are not the client's memory
            with tally.lock:
                started = sum(tally.started.values())
                ended = sum(sum(c.values()) for c in tally.ended.values())
            print(f"{s['t'] - start:6.0f} {s['rss_kib'] / 1024:8.1f} {s['heap_kib'] / 1024:8.1f} "
                  f"{s['objects']:8d} {s['fds']:5d} {s['threads']:4d} {share:5.2f} "
                  f"{throttle.pause * 1000:8.1f} "
                  f"{started:8d} {ended:8d}", flush=True)
            if time.monotonic() > deadline + OP_TIMEOUT * 3:
                print("workers did not stop in time", flush=True)
                break
        for t in workers + [loop_thread]:
            t.join(OP_TIMEOUT)
    finally:
        servers.stop()

    return summary(tally, samples, args)


def summary(tally, samples, args):
    first, last = samples[0], samples[-1]
    # The slope covers the steady part: after warm-up, before the workers wind down.
    steady = [s for s in samples
              if s["t"] - first["t"] >= args.warmup and s.get("running", True)]
    if len(steady) < 3:
        steady = samples
    slope = slope_per_min(steady)
    span = f"after {args.warmup:.0f} s" if steady is not samples else "(whole run, warm-up too)"
    lost = tally.lost()
    print("\nsummary")
    print(f"  duration         {last['t'] - first['t']:.0f} s, {len(samples)} samples")
    print(f"  RSS              first {first['rss_kib'] / 1024:.1f} MiB, last "
          f"{last['rss_kib'] / 1024:.1f} MiB, max {max(s['rss_kib'] for s in samples) / 1024:.1f}"
          f" MiB, slope {span} {slope:+.1f} KiB/min")
    print(f"  C heap in use    first {first['heap_kib'] / 1024:.1f} MiB, last "
          f"{last['heap_kib'] / 1024:.1f} MiB, slope {slope_per_min(steady, 'heap_kib'):+.1f} "
          f"KiB/min")
    print(f"  Python objects   first {first['objects']}, last {last['objects']}, slope "
          f"{slope_per_min(steady, 'objects'):+.1f}/min")
    print(f"  fds              first {first['fds']}, last {last['fds']}, "
          f"max {max(s['fds'] for s in samples)}")
    print(f"  threads          first {first['threads']}, last {last['threads']}, "
          f"max {max(s['threads'] for s in samples)}")
    total = sum(tally.started.values())
    print(f"  operations       {total} started, "
          f"{sum(sum(c.values()) for c in tally.ended.values())} ended, lost {sum(lost.values())}")
    print(f"  WebSocket        {tally.ws_sent} messages sent, {tally.ws_echoed} echoed")
    print("  by operation (outcome: count)")
    for op in sorted(tally.started):
        outcomes = ", ".join(f"{k}: {v}" for k, v in sorted(tally.ended[op].items()))
        print(f"    {op:24} {tally.started[op]:7d}  {outcomes}")
    kinds = collections.Counter()
    for outcomes in tally.ended.values():
        for k, v in outcomes.items():
            if k != "ok":
                kinds[k] += v
    print("  errors by kind   " + (", ".join(f"{k}: {v}" for k, v in kinds.most_common())
                                   or "none"))
    if tally.unexpected:
        print("  UNEXPECTED       " + ", ".join(f"{op} -> {o}: {n}"
                                               for (op, o), n in tally.unexpected.items()))
        for op, text in tally.examples.items():
            print(f"    e.g. {op}: {text}")
    if lost:
        print(f"  LOST             {lost}")
    # A slope over a few minutes is mostly noise (allocator, throttle still settling).
    judged = steady is not samples and steady[-1]["t"] - steady[0]["t"] >= 300
    if not judged:
        print("  RSS slope        not judged: less than 5 minutes after warm-up")
    failed = bool(lost or tally.unexpected or (judged and slope > args.max_slope))
    print("  result           " + ("FAIL" if failed else "pass"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
