"""Interpreter exit while Core threads are still delivering and Python threads still wait."""

import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = """
import sys, threading
sys.path.insert(0, {tests!r})
from support.kst import ScriptedCore
core = ScriptedCore()
import corvina_native as cn
"""


def run(body, timeout=60):
    code = PRELUDE.format(tests=os.path.dirname(HERE)) + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
        env=dict(os.environ),
    )
    return proc


# A closed loop: every notification fails, so every delivery asks for the interpreter lock.
LOOP = """
class Loop:
    def call_soon_threadsafe(self, fn):
        raise RuntimeError("Event loop is closed")
"""


@pytest.mark.concurrency
def test_exit_while_core_threads_notify():
    # Core threads keep delivering, each delivery wanting the interpreter lock for its
    # notification, while the main thread leaves the interpreter.
    proc = run(LOOP + """
engine = cn.PyEngine()
requests = []
for i in range(8):
    r = engine.request("GET", "http://127.0.0.1/")
    r.start_async(Loop(), lambda: None)
    r.poll_events()
    core.req_response(status=200, head=b"HTTP/1.1 200 OK\\r\\n\\r\\n")
    requests.append(r)
first = core.last_id("request") - len(requests) + 1
for n in range(3000):
    for k in range(len(requests)):
        core.req_body(first + k, data=b"x", where=1 + k % 4)
print("leaving", flush=True)
""")
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "leaving" in proc.stdout


@pytest.mark.concurrency
@pytest.mark.parametrize("method", ["read_body", "next_body", "recv"])
def test_exit_while_a_daemon_thread_waits(method):
    # A daemon thread blocked in a wait wakes up during finalisation; the interpreter ends it.
    proc = run("""
engine = cn.PyEngine()
if {method!r} == "recv":
    obj = engine.websocket("ws://127.0.0.1/")
    obj.connect()
    wait = obj.recv
else:
    obj = engine.request("GET", "http://127.0.0.1/")
    core.arm("ks_request_start")
    core.req_response(status=200, head=b"HTTP/1.1 200 OK\\r\\n\\r\\n", where=-1)
    obj.start_stream()
    wait = getattr(obj, {method!r})
started = threading.Event()
def waiter():
    started.set()
    wait()
threading.Thread(target=waiter, daemon=True).start()
started.wait()
import time; time.sleep(0.05)
# Wake the waiter from a Core thread once the interpreter is on its way out.
import atexit
if {method!r} == "recv":
    atexit.register(lambda: core.ws_message(data=b"late", where=1))
else:
    atexit.register(lambda: core.req_body(data=b"late", where=1))
print("leaving", flush=True)
""".format(method=method))
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "leaving" in proc.stdout
