"""Allocation-failure torture of the module: a whole request or WebSocket path runs once per
interpreter allocation, with exactly that allocation failing (CPython's test hooks fail the
N-th call of every allocator domain). Each run may raise MemoryError and nothing else; never the
native fault, never a crash. Afterwards the objects are dropped and every Core object must be
released, no contract broken, no reference to the loop or the notifier kept, and the same path
without failures must give the full result.

Covered: the interpreter's allocators (objects, arguments, results, exceptions, events) on the
calling thread and inside Core callbacks delivered during the calls. The module's own C++
allocations are failed in turn by test_torture_cxx.py, with a preloaded operator new."""

import gc
import sys

import pytest

import corvina_native as cn
from support.loops import CountingLoop

_testcapi = pytest.importorskip("_testcapi")
# A free-threaded interpreter's own state does not survive these hooks: a pure-Python loop under
# them there hangs the interpreter's exit, and the module's next allocations crash in mimalloc.
# The module's code is the same in both builds, so the interpreter with the lock covers it.
if not getattr(sys, "_is_gil_enabled", lambda: True)():
    pytest.skip("allocation hooks are unsound without the interpreter lock", allow_module_level=True)

URL = "http://127.0.0.1/"
WS_URL = "ws://127.0.0.1/chat"
# Points are tried until this many runs in a row end without an exception.
CLEAN_RUNS_TO_STOP = 5
MAX_POINTS = 4000


def notify():
    pass


def held_refs(loop):
    # A free-threaded interpreter counts a module-level function's references apart (deferred
    # reference counting): its count says nothing there.
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return sys.getrefcount(loop), sys.getrefcount(notify) if gil else None


class Step:
    """Runs the steps of one path in order; the first exception ends it and is kept with the
    name of its step. Steps of the scripted Core's ctypes driver are marked: an exception there
    is the driver's, not the module's."""

    def __init__(self):
        self.failed = None  # (step name, exception, from the driver)

    def __call__(self, name, fn, *args, driver=False, **kwargs):
        if self.failed is not None:
            return None
        try:
            return fn(*args, **kwargs)
        except BaseException as e:  # noqa: B902 - NativeFault is a BaseException
            self.failed = (name, e, driver)
            return None


def request_blocking(core, step, engine, loop):
    req = step("request", engine.request, "GET", URL, headers=[("a", "b")], timeout=5.0)
    if req is None:
        return None
    step("start", req.start)
    step("response", core.req_response, status=200, head=b"HTTP/1.1 200 OK\r\n\r\n", driver=True)
    step("body 1", core.req_body, data=b"x" * 300, driver=True)
    step("body 2", core.req_body, data=b"y" * 300, driver=True)
    step("complete", core.req_complete, driver=True)
    resp = step("await_response", req.await_response)
    step("status_code", getattr, resp, "status_code")
    step("headers", getattr, resp, "headers")
    first = step("next_body", req.next_body)
    rest = step("read_body", req.read_body)
    step("is_finished", req.is_finished)
    if step.failed is None:
        return (resp.status_code, resp.headers, first + rest)
    return None


def request_async(core, step, engine, loop):
    req = step("request", engine.request, "POST", URL, body=b"abc")
    if req is None:
        return None
    step("start_async", req.start_async, loop, notify)
    step("response", core.req_response, status=201, driver=True)
    step("body", core.req_body, data=b"z" * 200, driver=True)
    step("complete", core.req_complete, driver=True)
    events = step("poll_events", req.poll_events)
    step("detach_callback", req.detach_callback)
    if step.failed is None:
        return [e[0] for e in events]
    return None


def websocket(core, step, engine, loop):
    ws = step("websocket", engine.websocket, WS_URL, protocols=["chat"], timeout=5.0)
    if ws is None:
        return None
    step("start_async", ws.start_async, loop, notify)
    step("open", core.ws_open, protocol=b"chat", driver=True)
    step("send_text", ws.send_text, "hello")
    step("send_bytes", ws.send_bytes, b"\x00\x01")
    step("message", core.ws_message, data=b"hello", type=1, driver=True)
    first = step("poll_event", ws.poll_event)
    step("close", ws.close, 1000, "bye")
    step("closed", core.ws_closed, code=1000, reason=b"bye", driver=True)
    rest = step("poll_events", ws.poll_events)
    if step.failed is None:
        return [first[0]] + [e[0] for e in rest]
    return None


def guarded_path(core, path, step, engine, loop):
    # The path's own glue (bound methods, argument tuples) allocates too: a MemoryError there
    # ends the run like one from a step.
    try:
        return path(core, step, engine, loop)
    except BaseException as e:  # noqa: B902
        if step.failed is None:
            step.failed = ("test glue", e, False)
        return None


def run(core, path, engine, loop, fail_at=None):
    step = Step()
    if fail_at is None:
        result = guarded_path(core, path, step, engine, loop)
    else:
        # Nothing between these two calls but the path: every allocation in it is counted.
        _testcapi.set_nomemory(fail_at, fail_at + 1)
        result = guarded_path(core, path, step, engine, loop)
        _testcapi.remove_mem_hooks()
    # The exception's traceback holds the path's frame, which holds `step`: break the cycle so
    # the path's objects go when the exception does, without a collection.
    failed, step.failed = step.failed, None
    return result, failed


def settle(core, collect=False):
    if collect:
        gc.collect()
    assert core.wait_idle(10)


def check_recovered(core, path, engine, loop, expected, base_live, where):
    """After a run with a failure injected: nothing of it left alive, no contract broken, and
    the next run without failures gives the full result."""
    settle(core, collect=True)  # the exception's traceback may sit in a reference cycle
    assert (core.live("request"), core.live("websocket")) == base_live, where
    problems = core.take_violations()
    assert not problems, f"{where}: {problems}"
    core.reset()  # the log grows with every run
    again, failed = run(core, path, engine, loop)
    assert failed is None and again == expected, f"after {where}: {failed}"
    settle(core)
    core.reset()


@pytest.mark.parametrize("path", [request_blocking, request_async, websocket])
def test_each_allocation_fails_cleanly(core, path):
    engine, loop = cn.PyEngine(), CountingLoop()
    base_refs = held_refs(loop)
    # Objects that earlier tests in the session still hold are not this test's concern.
    settle(core, collect=True)
    base_live = core.live("request"), core.live("websocket")
    expected, failed = run(core, path, engine, loop)
    assert failed is None and expected
    settle(core, collect=True)
    assert (core.live("request"), core.live("websocket")) == base_live
    objects = len(gc.get_objects())

    clean_in_a_row, tried, escaped = 0, 0, {}
    for n in range(MAX_POINTS):
        result, failed = run(core, path, engine, loop, fail_at=n)
        tried += 1
        if failed is None:
            assert result == expected, f"allocation {n} failed silently into a wrong result"
            clean_in_a_row += 1
            if clean_in_a_row >= CLEAN_RUNS_TO_STOP:
                break
            where = f"allocation {n}"
        else:
            clean_in_a_row = 0
            name, exc, from_driver = failed
            if not from_driver:
                assert type(exc) is MemoryError, f"allocation {n}, step {name}: {exc!r}"
            escaped[name] = escaped.get(name, 0) + 1
            where = f"allocation {n} ({name})"
            exc = failed = None  # its traceback holds the path's objects
        del result
        check_recovered(core, path, engine, loop, expected, base_live, where)
    else:
        pytest.fail(f"still failing after {MAX_POINTS} points")

    settle(core, collect=True)
    assert held_refs(loop) == base_refs
    # A leaked request, response, event tuple or exception per point would show here.
    assert len(gc.get_objects()) - objects < 100
    print(f"{path.__name__}: {tried} points tried, MemoryError at {sorted(escaped.items())}")
