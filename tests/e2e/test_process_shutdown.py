"""Interpreter shutdown with requests and WebSockets in flight, notifiers installed and Core
threads still calling back; and an event loop closed under its requests. Each scenario runs
in its own process, which must exit with status 0, without a crash and without hanging."""

import os
import subprocess
import sys
import textwrap

import pytest

import corvina_native as cn
from hostile import HANG, Drip, HostileServer, Sleep, WsAccept, ws_frame

TIMEOUT = 60

SCRIPT = textwrap.dedent(r"""
    import asyncio, os, sys, threading, time
    import corvina_native as cn

    port, scenario, delay = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    base = f"http://127.0.0.1:{port}"
    engine = cn.PyEngine()
    keep = []

    def requests_with_notifiers(loop, polling):
        for i in range(24):
            r = engine.request("GET", f"{base}/drip-{i % 6}")
            def notify(r=r):
                if polling:
                    r.poll_events()
            r.start_async(loop, notify)
            keep.append(r)
        for i in range(6):
            ws = engine.websocket(f"ws://127.0.0.1:{port}/chatty-{i % 3}")
            def notify(ws=ws):
                if polling:
                    ws.poll_events()
            ws.start_async(loop, notify)
            keep.append(ws)

    if scenario == "idle-loop":
        # Notifiers on a loop that never runs: the Core's threads keep scheduling on it.
        requests_with_notifiers(asyncio.new_event_loop(), False)
    elif scenario == "running-loop":
        # A loop on a daemon thread that polls: it dies with the interpreter mid-stream.
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()
        requests_with_notifiers(loop, True)
    elif scenario == "blocked-readers":
        # Daemon threads blocked in the module with the interpreter lock released.
        def read(i):
            r = engine.request("GET", f"{base}/drip-{i % 6}")
            r.start_stream()
            while r.next_body() is not None:
                pass
        def recv(i):
            ws = engine.websocket(f"ws://127.0.0.1:{port}/chatty-{i % 3}")
            ws.connect()
            while ws.recv() is not None:
                pass
        for i in range(6):
            threading.Thread(target=read, args=(i,), daemon=True).start()
            threading.Thread(target=recv, args=(i,), daemon=True).start()
    elif scenario == "closed-loop":
        # The loop is closed while its requests are in flight; the process goes on.
        async def main():
            loop = asyncio.get_running_loop()
            for i in range(12):
                r = engine.request("GET", f"{base}/drip-{i % 6}")
                r.start_async(loop, r.poll_events)
                keep.append(r)
            await asyncio.sleep(0.3)
        asyncio.run(main())
        time.sleep(0.5)  # Core threads call notifiers of a closed loop
        for r in keep:
            r.cancel()
        keep.clear()
        r = engine.request("GET", f"{base}/ok", timeout=10)
        r.start_stream()
        assert r.read_body() == b"ok"
    time.sleep(delay)
    print("exiting", flush=True)
""")


@pytest.fixture(scope="module")
def server():
    s = HostileServer()
    s.script("/ok", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", HANG)
    for i in range(6):
        s.script(f"/drip-{i}", Sleep(0.02 * i),
                 b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                 Drip(b"1\r\nx\r\n" * 4000, 0.005))
    for i in range(3):
        s.script(f"/chatty-{i}", WsAccept(), Sleep(0.03 * i),
                 *[f for _ in range(2000) for f in (ws_frame(1, b"tick"), Sleep(0.005))])
    yield s
    s.stop()


def run(server, scenario, delay):
    env = dict(os.environ)
    module_dir = os.path.dirname(cn.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", SCRIPT, str(server.port), scenario, str(delay)],
                          capture_output=True, text=True, timeout=TIMEOUT, env=env)


@pytest.mark.parametrize("scenario", ["idle-loop", "running-loop", "blocked-readers",
                                      "closed-loop"])
def test_exit_with_work_in_flight(server, scenario):
    # Several exit points, so Core callbacks land before, during and after finalisation.
    for delay in (0.0, 0.05, 0.2, 0.5):
        proc = run(server, scenario, delay)
        assert proc.returncode == 0, (delay, proc.returncode, proc.stderr[-3000:])
        assert proc.stdout.strip() == "exiting"
        assert "Fatal" not in proc.stderr and "terminate" not in proc.stderr, proc.stderr
        assert "Traceback" not in proc.stderr, proc.stderr
