"""fork(): a child that uses an engine, request or WebSocket made in its parent gets a clear
RuntimeError at once instead of waiting on a network thread it does not have; an engine the
child makes itself works; the parent keeps working. Each scenario runs in its own process."""

import os
import subprocess
import sys
import textwrap

import pytest

import corvina_native as cn
from hostile import CLOSE, HANG, HostileServer, WsAccept

TIMEOUT = 60

CHILD_SCRIPT = textwrap.dedent(r"""
    import os, sys, time
    import corvina_native as cn

    port = int(sys.argv[1])
    base = f"http://127.0.0.1:{port}"

    def get(engine, path="/ok"):
        r = engine.request("GET", base + path, timeout=10)
        r.start_stream()
        return r.read_body()

    def refused(what, call):
        try:
            call()
        except RuntimeError as exc:
            assert str(exc) == "InvalidState", (what, str(exc))
            return
        raise AssertionError(f"{what}: not refused")

    engine = cn.PyEngine()
    assert get(engine) == b"ok"
    made = engine.request("GET", base + "/ok")          # made, not started
    slow = engine.request("GET", base + "/silent")      # in flight across the fork
    slow.start()
    ws = engine.websocket(f"ws://127.0.0.1:{port}/ws")
    ws.connect()
    assert ws.recv()[0] == "open"

    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            started = time.monotonic()
            refused("request on the parent's engine", lambda: engine.request("GET", base + "/ok"))
            refused("websocket on the parent's engine",
                    lambda: engine.websocket(f"ws://127.0.0.1:{port}/ws"))
            refused("start of the parent's request", made.start_stream)
            refused("send on the parent's websocket", lambda: ws.send_text("from the child"))
            refused("close of the parent's websocket", lambda: ws.close(1000, ""))
            for call in (slow.cancel, ws.cancel):
                try:
                    call()
                except RuntimeError as exc:
                    assert str(exc) == "InvalidState", str(exc)
            # An engine of the child's own works.
            own = cn.PyEngine()
            assert get(own) == b"ok"
            # Dropping the inherited objects neither blocks nor crashes.
            del made, slow, ws, engine
            import gc; gc.collect()
            assert time.monotonic() - started < 20
        except BaseException as exc:
            print("child:", repr(exc), file=sys.stderr, flush=True)
            code = 1
        os._exit(code)

    # The parent: everything still works while and after the child runs.
    assert get(engine) == b"ok"
    ws.send_text("from the parent")
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    assert get(engine) == b"ok"
    slow.cancel()
    ws.close(1000, "")
    print("parent ok", flush=True)
""")


@pytest.fixture(scope="module")
def server():
    s = HostileServer()
    s.script("/ok", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", CLOSE)
    s.script("/silent", HANG)
    s.script("/ws", WsAccept(), HANG)
    yield s
    s.stop()


def child_env():
    env = dict(os.environ)
    module_dir = os.path.dirname(cn.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return env


def test_fork_child_is_refused_and_parent_keeps_working(server):
    proc = subprocess.run([sys.executable, "-c", CHILD_SCRIPT, str(server.port)],
                          capture_output=True, text=True, timeout=TIMEOUT, env=child_env())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "parent ok"
    assert "Fatal" not in proc.stderr and "terminate" not in proc.stderr
