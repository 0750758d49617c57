"""cancel() while a Core thread is inside the notifier, waiting for the interpreter lock: nothing
is scheduled after cancel(), and nothing keeps the facade that passed its own bound method alive."""

import ctypes
import gc
import sys
import time
import weakref

import pytest

import corvina_native as cn
from support.loops import CountingLoop

pytestmark = pytest.mark.concurrency

ROUNDS = 10
HOLD = 0.05  # seconds the test thread keeps the interpreter lock while the callback runs

KINDS = {
    "request": (
        lambda: cn.PyEngine().request("GET", "http://127.0.0.1/"),
        ("kst_req_response", "request", 200, None, 0),
    ),
    "websocket": (
        lambda: cn.PyEngine().websocket("ws://127.0.0.1/"),
        ("kst_ws_open", "websocket", None, 0, None, 0),
    ),
}


def deliver_on_core_thread(core, fn, kind, *args):
    # Through PyDLL, which keeps the interpreter lock during the call: the Core thread must not
    # get it before cancel().
    f = getattr(ctypes.PyDLL(str(core.path)), fn)
    f.argtypes, f.restype = core.lib[fn].argtypes, core.lib[fn].restype
    assert f(core.last_id(kind), 1, *args) not in (-2, -3)  # queued for worker thread 1


class Facade:
    def __init__(self, obj, loop):
        self.obj = obj
        obj.start_async(loop, self.on_notify)

    def on_notify(self):
        pass


def keep_the_lock(seconds):
    # A busy loop never gives the lock up within the switch interval set around it.
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


@pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)(),
    reason="without the interpreter lock the callback never waits for it",
)
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_cancel_while_a_callback_waits_for_the_lock(core, kind):
    make, delivery = KINDS[kind]
    interval = sys.getswitchinterval()
    try:
        for _ in range(ROUNDS):
            loop = CountingLoop()
            facade = Facade(make(), loop)
            ref = weakref.ref(facade)
            sys.setswitchinterval(10 * HOLD)
            deliver_on_core_thread(core, *delivery)  # its notifier blocks on the lock we keep
            keep_the_lock(HOLD)
            facade.obj.cancel()
            sys.setswitchinterval(interval)
            del facade
            gc.collect()
            assert core.wait_idle(5)
            assert ref() is None, "facade kept alive after cancel()"
            assert loop.calls == 0, "notify scheduled after cancel()"
    finally:
        sys.setswitchinterval(interval)
