"""A method called while another thread waits in a method of the same object never freezes the
interpreter: no object lock is waited for with the interpreter lock held.

Each pair runs in a child process with a time limit, so that a freeze fails its own case. In the
child a waiter blocks first; then a timer thread, which needs the interpreter lock to run, is set
to end the wait; then the main thread makes the other call. Had that call kept the interpreter
lock while it waited for the waiter's lock, the timer could never run.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.concurrency

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = """
import sys, threading, time
sys.path.insert(0, {tests!r})
from support.kst import ScriptedCore
core = ScriptedCore()
import corvina_native as cn

def attempt(f):
    try:
        return f()
    except RuntimeError as e:
        return str(e)

class Loop:
    def call_soon_threadsafe(self, fn):
        fn()

engine = cn.PyEngine()
{setup}
result = []
waiter = threading.Thread(target=lambda: result.append({wait}), daemon=True)
waiter.start()
time.sleep(0.3)
timer = threading.Timer(0.5, lambda: {release})
timer.start()
other = {other}
timer.join()
waiter.join(10)
assert not waiter.is_alive(), "the waiter never returned"
print("ok", repr(other)[:60], repr(result)[:60], flush=True)
"""

WS = """
ws = engine.websocket("wss://example.test/")
ws.connect()
"""
WS_ASYNC = """
ws = engine.websocket("wss://example.test/")
ws.start_async(Loop(), lambda: None)
"""
STREAM = """
r = engine.request("GET", "http://127.0.0.1/")
r.start()
core.req_response(status=200, head=b"HTTP/1.1 200 OK\\r\\n\\r\\n")
r.await_response()
"""
MANUAL = """
r = engine.request("GET", "http://127.0.0.1/", redirect="manual")
r.start()
"""
HEAD = """
r = engine.request("GET", "http://127.0.0.1/")
r.start()
"""

WS_RELEASE = 'core.ws_closed(code=1000, where=1)'
BODY_RELEASE = 'core.req_complete(where=1)'
HEAD_RELEASE = 'core.req_response(status=200, head=b"HTTP/1.1 200 OK\\r\\n\\r\\n", where=1)'

CASES = {
    # WebSocket: recv beside every other method.
    "ws recv / poll_events": (WS, "ws.recv()", WS_RELEASE, "ws.poll_events()"),
    "ws recv / poll_event": (WS, "ws.recv()", WS_RELEASE, "ws.poll_event()"),
    "ws recv / close": (WS, "ws.recv()", WS_RELEASE, "ws.close(1000, 'bye')"),
    "ws recv / send_text": (WS, "ws.recv()", WS_RELEASE, "ws.send_text('x')"),
    "ws recv / send_bytes": (WS, "ws.recv()", WS_RELEASE, "ws.send_bytes(b'x')"),
    "ws recv / cancel": (WS, "ws.recv()", WS_RELEASE, "ws.cancel()"),
    "ws recv / detach_callback": (WS_ASYNC, "ws.recv()", WS_RELEASE, "ws.detach_callback()"),
    "ws recv / is_finished": (WS, "ws.recv()", WS_RELEASE, "ws.is_finished()"),
    "ws recv / connect again": (WS, "ws.recv()", WS_RELEASE, "attempt(ws.connect)"),
    "ws recv / recv": (WS, "ws.recv()", WS_RELEASE, "ws.recv()"),
    # Requests: body readers, head and redirect waits beside the others.
    "next_body / poll_events": (STREAM, "r.next_body()", BODY_RELEASE, "r.poll_events()"),
    "next_body / poll_event": (STREAM, "r.next_body()", BODY_RELEASE, "r.poll_event()"),
    "next_body / cancel": (STREAM, "r.next_body()", BODY_RELEASE, "r.cancel()"),
    "next_body / detach_callback": (STREAM, "r.next_body()", BODY_RELEASE,
                                    "r.detach_callback()"),
    "next_body / take_redirects": (STREAM, "r.next_body()", BODY_RELEASE, "r.take_redirects()"),
    "read_body / poll_events": (STREAM, "r.read_body()", BODY_RELEASE, "r.poll_events()"),
    "read_body / cancel": (STREAM, "r.read_body()", BODY_RELEASE, "r.cancel()"),
    "read_body / is_finished": (STREAM, "r.read_body()", BODY_RELEASE, "r.is_finished()"),
    "wait_manual / detach_callback": (MANUAL, "r.wait_manual(5)", HEAD_RELEASE,
                                      "r.detach_callback()"),
    "wait_manual / poll_events": (MANUAL, "r.wait_manual(5)", HEAD_RELEASE, "r.poll_events()"),
    "await_response / poll_events": (HEAD, "r.await_response()", HEAD_RELEASE,
                                     "r.poll_events()"),
    "await_response / cancel": (HEAD, "r.await_response()", HEAD_RELEASE, "r.cancel()"),
}


def run_child(setup, wait, release, other):
    code = CHILD.format(tests=TESTS, setup=textwrap.dedent(setup), wait=wait, release=release,
                        other=other)
    try:
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=30, env=dict(os.environ))
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the interpreter froze: {wait} beside {other}\n{e.stderr!r}")


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_call_beside_a_waiting_method_never_freezes_the_interpreter(case):
    setup, wait, release, other = CASES[case]
    proc = run_child(setup, wait, release, other)
    assert proc.returncode == 0 and proc.stdout.startswith("ok"), proc.stderr[-3000:]


def test_a_poll_beside_a_waiting_recv_gets_what_is_queued_without_waiting():
    # The poll does not wait for the reader: it returns what is queued now, an empty list here,
    # and the reader still gets the event that ends its wait.
    proc = run_child(WS, "ws.recv()", WS_RELEASE, "(ws.poll_events(), time.monotonic())")
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "ok ([]," in proc.stdout and "('closed', b'', 1000, '')" in proc.stdout
