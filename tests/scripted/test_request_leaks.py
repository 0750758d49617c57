"""Every request method run many times leaves nothing behind: no native allocations, no Python
objects, no extra references to the loop or the callable, no live Core requests."""

import ctypes
import gc
import sys

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop

URL = "http://127.0.0.1/"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not got back (None when unavailable)."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def notify():
    pass


def exercise(core, engine, loop):
    """One pass over every PyRequest and PyResponse method, failures included."""
    # Blocking: start_stream, headers, next_body, read_body, redirects, is_finished.
    req = engine.request("GET", URL, headers=[("a", "b")], body=b"xyz", timeout=1.5)
    core.arm("ks_request_start")
    core.req_redirect(status=301, head=b"h", from_url="a", to_url="b", where=ARMED)
    core.req_response(status=200, head=b"H", where=ARMED)
    core.req_body(data=b"a" * 100, where=ARMED)
    core.req_body(data=b"b" * 100, where=ARMED)
    core.req_complete(where=ARMED)
    resp = req.start_stream()
    resp.status_code, resp.headers, resp.content
    req.next_body()
    req.read_body()
    req.take_redirects()
    req.wait_redirect(0)
    req.is_finished()

    # Start, await, failure texts, resume, follow, cancel.
    req = engine.request("POST", URL, redirect="manual")
    req.start()
    core.req_redirect(status=302)
    req.wait_manual(0)
    req.follow_redirect()
    core.req_response(status=200)
    req.wait_manual(0)
    core.req_body(data=b"q")
    core.req_complete(status=8, net_error=-2)
    req.resume_read()
    try:
        req.read_body()
    except RuntimeError:
        pass
    req.cancel()
    for fail in (req.start, req.await_response):
        try:
            fail()
        except RuntimeError:
            pass

    # Uploads and the async side: attach, start, poll, detach.
    req = engine.request("PUT", URL, chunked=True)
    req.attach_async(loop, notify)
    req.start()
    req.upload_write(b"part", False)
    req.upload_finish()
    core.req_response(status=201)
    core.req_body(data=b"r")
    core.req_complete()
    req.poll_event()
    req.poll_events()
    req.detach_callback()

    # start_async with a terminal error, and a request dropped while started.
    req = engine.request("GET", URL)
    req.start_async(loop, notify)
    core.req_complete(status=6, net_error=-7, where=1)
    core.wait_idle(5)
    req.poll_events(1)
    req = engine.request("GET", URL)
    req.start_async(loop, notify)
    del req  # automatic on_complete on a Core thread frees the state there

    # Creation failures.
    for status in (5, 0):
        core.push_status("ks_request_create", status, null_handle=True)
        try:
            engine.request("GET", URL)
        except RuntimeError:
            pass


@pytest.mark.slow
def test_no_growth(core):
    engine = cn.PyEngine()
    loop = CountingLoop()
    base_refs = sys.getrefcount(loop), sys.getrefcount(notify)

    def settle():
        core.wait_idle(10)
        core.reset()  # the log grows with every call; start each round empty
        engine.request("GET", URL)  # a module entry drains references queued on Core threads
        gc.collect()

    for _ in range(50):  # warm up caches, free lists and the allocator
        exercise(core, engine, loop)
    settle()

    # The scripted Core never frees its request records: measure what one costs it with the
    # simplest request, and discount that below.
    first, heap = core.last_id("request"), heap_in_use()
    for _ in range(2000):
        engine.request("GET", URL)
    settle()
    per_core_object = (heap_in_use() - heap) / (core.last_id("request") - first) if heap else 0

    objects, heap, first = len(gc.get_objects()), heap_in_use(), core.last_id("request")
    rounds = 500
    for _ in range(rounds):
        exercise(core, engine, loop)
        core.reset()
    settle()

    assert core.live("request") == 0
    assert (sys.getrefcount(loop), sys.getrefcount(notify)) == base_refs
    assert len(gc.get_objects()) - objects < 50
    if heap is not None:
        core_share = per_core_object * (core.last_id("request") - first)
        growth = heap_in_use() - heap - core_share
        # One leaked state, handle, hop or chunk per round would pass 500 * 100 bytes.
        assert growth < 32 * 1024, f"native heap grew by {growth:.0f} bytes"
    assert loop.calls > 0


@pytest.mark.slow
@pytest.mark.skipif(_mallinfo2 is None, reason="needs glibc's mallinfo2")
@pytest.mark.parametrize("reader", ["next_body", "poll_event"])
def test_gigabyte_stream_stays_bounded(core, reader):
    """1 GiB in 256 KiB chunks. The scripted Core behaves like the real one: once on_body asks
    for a pause it sends the next chunk only from inside ks_request_resume_read."""
    chunk_size, total = 256 * 1024, 1 << 30
    chunk = b"\x5a" * chunk_size
    req = cn.PyEngine().request("GET", URL)
    if reader == "next_body":
        req.start()
        core.req_response(status=200)
        req.await_response()
        read = req.next_body
    else:
        req.start_async(CountingLoop(), notify)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"

        def read():
            event = req.poll_event()
            return event[3] if event[0] == "body" else None

    results = [core.req_body(data=chunk) for _ in range(4)]
    assert results == [True, True, True, False]  # 1 MiB queued: paused
    delivered, received, rounds = 4 * chunk_size, 0, 0
    base, peak = heap_in_use(), 0
    while received < total:
        if delivered < total:
            core.arm("ks_request_resume_read")
            core.req_body(data=chunk, where=ARMED)
            delivered += chunk_size
        got = read()
        assert got is not None and len(got) == chunk_size
        received += len(got)
        del got
        rounds += 1
        if rounds % 4 == 0:
            core.reset()  # the Core's log keeps every byte it delivered
            peak = max(peak, heap_in_use() - base)
            assert peak < 64 << 20, "body is piling up"
    core.req_complete()
    assert read() is None
    assert received == total
    # Queued body stays near 1 MiB plus a chunk; the rest is the Core's log and Python's bytes.
    assert peak < 8 << 20
