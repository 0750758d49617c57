"""Allocation-failure torture of the module's own C++ allocations (states, queues, buffers,
records): the paths of test_torture_memory run once per operator new made by the module, with
exactly that allocation failing. Needs the preloaded shim (tests/alloc_shim), which counts only
allocations whose caller is the module; skipped without it.

A failing method raises MemoryError; a failing Core callback turns the request or WebSocket into
the documented CallbackPanic failure. Never the native fault, never a crash, nothing left
behind, and the next run without failures gives the full result."""

import ctypes
import gc

import pytest

import corvina_native as cn
from support.loops import CountingLoop
from test_torture_memory import (check_recovered, request_async, request_blocking, run, settle,
                                 websocket)

_self = ctypes.CDLL(None)
if not hasattr(_self, "alloc_shim_arm"):
    pytest.skip("the allocation shim is not preloaded", allow_module_level=True)
_self.alloc_shim_arm.argtypes = [ctypes.c_long]
_self.alloc_shim_disarm.restype = ctypes.c_long

MAX_POINTS = 500


def run_failing_at(core, path, engine, loop, n):
    _self.alloc_shim_arm(n)
    try:
        result, failed = run(core, path, engine, loop)
    finally:
        seen = _self.alloc_shim_disarm()
    return result, failed, seen


@pytest.mark.parametrize("path", [request_blocking, request_async, websocket])
def test_each_module_allocation_fails_cleanly(core, path):
    engine, loop = cn.PyEngine(), CountingLoop()
    settle(core, collect=True)
    base_live = core.live("request"), core.live("websocket")
    expected, failed, total = run_failing_at(core, path, engine, loop, -1)
    assert failed is None and expected
    settle(core, collect=True)

    for n in range(MAX_POINTS):
        result, failed, seen = run_failing_at(core, path, engine, loop, n)
        where = f"allocation {n}"
        if seen <= n:
            assert failed is None and result == expected  # past the last allocation
            break
        if failed is not None:
            name, exc, from_driver = failed
            where += f" ({name})"
            if not from_driver:
                ok = type(exc) is MemoryError or (
                    type(exc) is RuntimeError and str(exc).startswith("CallbackPanic"))
                assert ok, f"{where}: {exc!r}"
            exc = failed = None
        del result
        check_recovered(core, path, engine, loop, expected, base_live, where)
    else:
        pytest.fail(f"still failing after {MAX_POINTS} points")
    gc.collect()
    print(f"{path.__name__}: {n} module allocations failed in turn")
