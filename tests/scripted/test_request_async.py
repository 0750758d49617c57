"""The event-loop side of PyRequest: the notifier and its coalescing flag, start_async,
attach_async, detach_callback, and polling with its batching and single terminal tuple."""

import asyncio
import gc
import sys
import threading

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop, FailingLoop, RecordingLoop

pytestmark = pytest.mark.usefixtures("no_overlapped_terminal")

URL = "http://127.0.0.1/"


def notify():
    pass


def new_request(**kwargs):
    return cn.PyEngine().request("GET", URL, **kwargs)


def started(core, loop=None, **kwargs):
    loop = loop or RecordingLoop()
    req = new_request(**kwargs)
    req.start_async(loop, notify)
    return req, loop


class TestNotifier:
    def test_one_argument_no_keywords(self, core):
        req, loop = started(core)
        core.req_response(status=200, where=1)
        core.wait_idle(5)
        ((args, kwargs, tid),) = loop.calls
        assert args == (notify,) and kwargs == {} and tid != threading.get_native_id()

    @pytest.mark.parametrize("callable_", [(1, 2), (), None])
    def test_notify_of_any_type_is_one_argument(self, core, callable_):
        loop = RecordingLoop()
        req = new_request()
        req.start_async(loop, callable_)
        core.req_response(status=200, where=1)
        core.wait_idle(5)
        ((args, kwargs, _),) = loop.calls
        assert args == (callable_,) and kwargs == {}

    def test_ten_callbacks_one_notification(self, core):
        req, loop = started(core)
        core.req_response(status=200, where=1)
        for i in range(9):
            core.req_body(data=bytes([i]), where=1)
        core.wait_idle(5)
        assert len(loop.calls) == 1
        events = req.poll_events()
        assert [e[0] for e in events] == ["response"] + ["body"] * 9
        core.req_body(data=b"next", where=1)
        core.wait_idle(5)
        assert len(loop.calls) == 2

    def test_callback_during_a_poll_schedules_again(self, core):
        req, loop = started(core)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"
        core.req_body(data=b"\0" * 1048576)  # pauses the Core
        assert len(loop.calls) == 2
        # The poll clears the flag, takes the chunk and resumes: a chunk delivered inside that
        # resume lands during the poll and schedules a new notification.
        core.arm("ks_request_resume_read")
        core.req_body(data=b"during", where=ARMED)
        events = req.poll_events()
        assert [e[3] for e in events] == [b"\0" * 1048576, b"during"]
        assert len(loop.calls) == 3
        assert req.poll_events() == []  # the extra notification may find nothing

    def test_notifier_runs_inline_when_the_callback_comes_inside_a_locked_call(self, core):
        loop = RecordingLoop()
        req = new_request()
        core.arm("ks_request_start")
        core.req_response(status=200, where=ARMED)
        req.start_async(loop, notify)  # ks_request_start with the interpreter lock held
        assert len(loop.calls) == 1 and loop.calls[0][2] == threading.get_native_id()
        assert core.callbacks("on_response")[0]["gil"] is True

    def test_failing_loop_is_silent_and_retried(self, core, capfd):
        hooks = []
        old = sys.unraisablehook
        sys.unraisablehook = hooks.append
        try:
            req, loop = started(core, FailingLoop())
            core.req_response(status=200, where=1)
            core.req_body(data=b"a", where=1)
            core.req_body(data=b"b", where=1)  # one worker: the attempts do not overlap
            core.wait_idle(5)
        finally:
            sys.unraisablehook = old
        assert loop.attempts == 3  # the flag went back each time
        assert hooks == []
        out, err = capfd.readouterr()
        assert "loop is closed" not in out + err
        assert [e[0] for e in req.poll_events()] == ["response", "body", "body"]

    def test_loop_without_the_method(self, core):
        req, _ = started(core, object())
        core.req_response(status=200, where=1)
        core.wait_idle(5)
        assert req.poll_event()[0] == "response"

    def test_pending_error_of_the_caller_survives_an_inline_notifier(self, core):
        # A Core call made inside a method triggers the notifier on this thread; Python state
        # seen by the caller afterwards is unchanged.
        req, loop = started(core)
        core.arm("ks_request_cancel")
        core.req_complete(status=7, net_error=-3, where=ARMED)
        req.cancel()
        assert len(loop.calls) == 1

    def test_replacing_the_notifier_shares_the_flag(self, core):
        req, first = started(core)
        second = RecordingLoop()
        core.req_response(status=200, where=1)
        core.wait_idle(5)
        req.attach_async(second, notify)
        core.req_body(data=b"x", where=1)
        core.wait_idle(5)
        assert len(first.calls) == 1 and second.calls == []  # still pending: no new call
        req.poll_events()
        core.req_body(data=b"y", where=1)
        core.wait_idle(5)
        assert len(second.calls) == 1


class TestStartAsync:
    def test_second_start_keeps_the_new_notifier(self, core):
        req, first = started(core)
        second = RecordingLoop()
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            req.start_async(second, notify)
        core.req_response(status=200)
        assert first.calls == [] and len(second.calls) == 1

    def test_failed_start_leaves_the_notifier(self, core):
        loop = RecordingLoop()
        req = new_request()
        core.push_status("ks_request_start", 8)
        with pytest.raises(RuntimeError, match="^Network$"):
            req.start_async(loop, notify)
        core.set_strict(False)
        core.req_redirect(status=302)
        assert len(loop.calls) == 1

    def test_attach_does_not_start(self, core):
        loop = RecordingLoop()
        req = new_request(chunked=True)
        req.attach_async(loop, notify)
        assert core.calls("ks_request_start") == []
        req.start()
        req.upload_write(b"part", True)
        core.req_response(status=201)
        core.req_complete()
        assert [e[0] for e in req.poll_events()] == ["response", "done"]

    @pytest.mark.parametrize("method", ["start_async", "attach_async"])
    def test_arguments(self, core, method):
        req = new_request()
        with pytest.raises(TypeError):
            getattr(req, method)(RecordingLoop())
        with pytest.raises(TypeError):
            getattr(req, method)(loop=RecordingLoop(), notify=notify)
        getattr(req, method)(loop_=RecordingLoop(), notify=notify)


class TestPolling:
    def test_event_tuples(self, core):
        req, _ = started(core, redirect="manual")
        core.req_redirect(status=302, head=b"rh", from_url=b"http://a/\xff", to_url="http://b/")
        core.req_response(status=200, head=b"H")
        core.req_body(data=b"chunk")
        core.req_body(data=b"")
        core.req_complete()
        assert req.poll_events() == [
            ("redirect", 302, b"rh", "http://a/\ufffd".encode(), "http://b/"),
            ("response", 200, b"H", b"", None),
            ("body", 0, b"", b"chunk", None),
            ("body", 0, b"", b"", None),
            ("done", 0, b"", b"", None),
        ]

    def test_head_then_chunk_one_at_a_time(self, core):
        req, _ = started(core)
        core.req_response(status=200)
        core.req_body(data=b"x")
        assert req.poll_event()[0] == "response"
        assert req.poll_event()[0] == "body"
        assert req.poll_event() is None

    def test_batches_of_64(self, core):
        req, _ = started(core)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"
        for i in range(200):
            core.req_body(data=i.to_bytes(2, "big"))
        sizes = []
        seen = []
        while batch := req.poll_events():
            sizes.append(len(batch))
            seen += [e[3] for e in batch]
        assert sizes == [64, 64, 64, 8]
        assert seen == [i.to_bytes(2, "big") for i in range(200)]

    @pytest.mark.parametrize("limit,expected", [(0, 1), (1, 1), (3, 3), (2**32 - 1, 5)])
    def test_limit(self, core, limit, expected):
        req, _ = started(core)
        core.req_response(status=200)
        for _ in range(4):
            core.req_body(data=b"x")
        assert len(req.poll_events(limit)) == expected

    def test_limit_errors(self, core):
        req, _ = started(core)
        with pytest.raises(OverflowError):
            req.poll_events(-1)
        message = "^out of range integral type conversion attempted$"
        with pytest.raises(OverflowError, match=message):
            req.poll_events(2**32)
        with pytest.raises(TypeError, match="^argument 'limit': "):
            req.poll_events("1")
        assert req.poll_events(limit=True) == []

    def test_stops_at_the_terminal_tuple_and_never_again(self, core):
        req, loop = started(core)
        core.req_response(status=200)
        core.req_body(data=b"a")
        core.req_complete(status=8, net_error=-2)
        events = req.poll_events()
        assert [e[0] for e in events] == ["response", "body", "error"]
        assert events[-1] == ("error", 0, b"", b"", "Network (Chromium net error -2)")
        assert req.poll_events() == [] and req.poll_event() is None
        # The notifier went with the terminal tuple.
        calls = len(loop.calls)
        core.set_strict(False)
        core.req_body(data=b"late")
        assert len(loop.calls) == calls
        assert req.poll_events() == []

    def test_failure_before_the_head(self, core):
        req, _ = started(core)
        core.req_body(data=b"ignored")
        core.req_complete(status=6, net_error=-7)
        assert req.poll_events() == [("error", 0, b"", b"", "Timeout (Chromium net error -7)")]
        assert req.poll_event() is None

    def test_poll_without_start(self, core):
        req = new_request()
        core.req_redirect(status=301)
        assert req.poll_events() == [("redirect", 301, b"", b"", "")]
        assert req.poll_events() == []

    def test_manual_redirect_through_polling(self, core):
        req, _ = started(core, redirect="manual")
        core.arm("ks_request_follow_redirect")
        core.req_redirect(status=302, to_url="b", where=ARMED)
        core.req_redirect(status=301, to_url="a")
        assert [e[0] for e in req.poll_events()] == ["redirect"]
        req.follow_redirect()
        core.req_response(status=200)
        assert [e[:2] for e in req.poll_events()] == [("redirect", 302), ("response", 200)]


class TestDetach:
    def test_before_the_head(self, core):
        req, loop = started(core)
        req.detach_callback()
        core.req_redirect(status=302)
        core.req_response(status=200)
        core.req_body(data=b"x")
        core.req_complete()
        assert loop.calls == []
        assert [e[0] for e in req.poll_events()] == ["redirect"]  # no head, no body stream

    def test_after_the_head(self, core):
        req, loop = started(core)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"
        req.detach_callback()
        core.req_body(data=b"x")
        core.req_complete()
        assert len(loop.calls) == 1
        assert [e[0] for e in req.poll_events()] == ["body", "done"]

    def test_nothing_installed(self, core):
        req = new_request()
        assert req.detach_callback() is None
        assert req.detach_callback() is None

    def test_notifier_references_are_released(self, core):
        loop, fn = RecordingLoop(), lambda: None
        base = sys.getrefcount(loop), sys.getrefcount(fn)
        req = new_request()
        req.start_async(loop, fn)
        assert (sys.getrefcount(loop), sys.getrefcount(fn)) == (base[0] + 1, base[1] + 1)
        req.detach_callback()
        assert (sys.getrefcount(loop), sys.getrefcount(fn)) == base

    def test_references_released_from_a_core_thread_are_queued(self, core):
        core.set_auto(0)
        loop, fn = CountingLoop(), lambda: None
        base = sys.getrefcount(loop), sys.getrefcount(fn)
        req = new_request()
        req.start_async(loop, fn)
        del req
        # The state, and its notifier, now live only through the Core's reference.
        core.req_complete(status=7, net_error=-3, where=1)
        core.wait_idle(5)
        new_request()  # any module entry drains the queue
        gc.collect()
        assert (sys.getrefcount(loop), sys.getrefcount(fn)) == base
        assert loop.calls == 1


async def drive(req, deliver):
    """start_async plus poll_events until the terminal tuple, as the facade does: a full batch
    means more may be ready without a new notification."""
    loop = asyncio.get_running_loop()
    woken = asyncio.Event()
    req.start_async(loop, woken.set)
    deliver()
    events = []
    while True:
        await asyncio.wait_for(woken.wait(), 10)
        woken.clear()
        while True:
            batch = req.poll_events()
            events += batch
            if batch and batch[-1][0] in ("done", "error"):
                return events
            if len(batch) < 64:
                break


class TestAsyncioLoop:
    def test_one_request(self, core):
        req = new_request()

        def deliver():
            core.req_redirect(status=301, to_url="b", where=1)
            core.req_response(status=200, head=b"H", where=1)
            for i in range(100):
                core.req_body(data=bytes([i]) * 100, where=1)
            core.req_complete(where=1)

        events = asyncio.run(drive(req, deliver))
        kinds = [e[0] for e in events]
        assert kinds == ["redirect", "response"] + ["body"] * 100 + ["done"]
        assert b"".join(e[3] for e in events if e[0] == "body") == b"".join(
            bytes([i]) * 100 for i in range(100))

    def test_many_tasks_with_several_core_threads(self, core):
        reqs = [new_request() for _ in range(24)]
        ids = [core.last_id("request") - 23 + i for i in range(24)]

        def deliverer(i):
            rid, w = ids[i], 1 + i % 4
            return lambda: (
                core.req_response(rid, status=200 + i, where=w),
                [core.req_body(rid, data=bytes([i]) * 10, where=w) for _ in range(20)],
                core.req_complete(rid, status=0 if i % 3 else 8, net_error=-i, where=w),
            )

        async def main():
            return await asyncio.gather(*(drive(r, deliverer(i)) for i, r in enumerate(reqs)))

        results = asyncio.run(main())
        for i, events in enumerate(results):
            assert events[0][:2] == ("response", 200 + i)
            assert [e[3] for e in events[1:-1]] == [bytes([i]) * 10] * 20
            assert events[-1][0] == ("done" if i % 3 else "error")

    def test_closed_loop(self, core):
        loop = asyncio.new_event_loop()
        loop.close()
        req = new_request()
        req.start_async(loop, notify)
        core.req_response(status=200, where=1)
        core.wait_idle(5)
        assert req.poll_event()[0] == "response"
