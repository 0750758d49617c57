"""Requests under concurrency: callbacks delivered inside the module's own Core calls (with and
without the interpreter lock held), blocking readers meeting pollers, and many requests from
many Python threads and asyncio tasks with callbacks from several Core threads."""

import asyncio
import ctypes
import random
import sys
import threading
import time

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop


pytestmark = [pytest.mark.concurrency, pytest.mark.usefixtures("no_overlapped_terminal")]

URL = "http://127.0.0.1/"
MIB = 1048576


def notify():
    pass


def run_bounded(target, seconds=20):
    """Runs target on a thread; fails the test instead of hanging on a deadlock."""
    box = {}

    def body():
        try:
            box["result"] = target()
        except BaseException as e:  # noqa: BLE001 - handed back to the test thread
            box["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "deadlock: the call did not return"
    if "error" in box:
        raise box["error"]
    return box.get("result")


class TestCallbacksInsideCoreCalls:
    """The scripted Core runs armed callbacks on the calling thread inside the named call."""

    def streaming(self, core, loop):
        req = cn.PyEngine().request("GET", URL, chunked=True)
        req.attach_async(loop, notify)
        req.start()
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"
        return req

    @pytest.mark.parametrize("gil", [True, False])
    def test_start(self, core, gil):
        loop = CountingLoop()
        req = cn.PyEngine().request("GET", URL)
        req.attach_async(loop, notify)
        core.arm("ks_request_start")
        core.req_redirect(status=301, where=ARMED)
        core.req_response(status=200, head=b"H", where=ARMED)
        core.req_body(data=b"body", where=ARMED)
        core.req_complete(where=ARMED)
        if gil:
            run_bounded(req.start)
            assert req.await_response().headers == b"H"
        else:
            assert run_bounded(req.start_stream).headers == b"H"
        assert req.read_body() == b"body"
        assert loop.calls == 1
        assert core.calls("ks_request_start")[0]["gil"] is gil

    @pytest.mark.parametrize(
        "fn,call",
        [
            ("ks_request_cancel", lambda r: r.cancel()),
            ("ks_request_follow_redirect", lambda r: r.follow_redirect()),
            ("ks_request_resume_read", lambda r: r.resume_read()),
            ("ks_request_upload_write", lambda r: r.upload_write(b"x", True)),
            ("ks_request_upload_write", lambda r: r.upload_finish()),
        ],
    )
    def test_operations(self, core, fn, call):
        loop = CountingLoop()
        req = self.streaming(core, loop)
        core.arm(fn)
        core.req_body(data=b"in-call", where=ARMED)
        core.req_complete(status=7, net_error=-3, where=ARMED)
        run_bounded(lambda: call(req))
        # cancel also detaches; the body stream stays, so polling still drains it
        assert [e[0] for e in req.poll_events()] == ["body", "error"]

    def test_resume_inside_a_blocking_read(self, core):
        loop = CountingLoop()
        req = self.streaming(core, loop)
        core.req_body(data=b"\0" * MIB)  # pauses
        core.arm("ks_request_resume_read")
        core.req_body(data=b"tail", where=ARMED)
        core.req_complete(where=ARMED)
        assert run_bounded(req.read_body) == b"\0" * MIB + b"tail"
        assert core.calls("ks_request_resume_read")[0]["gil"] is False

    def test_release_in_finalizer(self, core):
        core.set_auto(0)
        loop = CountingLoop()
        req = self.streaming(core, loop)
        core.arm("ks_request_release")
        core.req_body(data=b"late", where=ARMED)
        core.req_complete(status=7, net_error=-3, where=ARMED)
        del req  # the notifier runs inline, under the finalizer's interpreter lock
        assert loop.calls == 2
        assert core.sequence()[-3:] == ["ks_request_release", "on_body", "on_complete"]


class TestReadersMeetPollers:
    def test_blocking_reader_and_poller_do_not_deadlock(self, core):
        """A reader and a poller race for a paused body; whichever takes the chunk resumes the
        Core, which delivers the rest inside that call, notifying the loop from there."""
        for _ in range(30):
            loop = CountingLoop()
            req = cn.PyEngine().request("GET", URL)
            req.attach_async(loop, notify)
            req.start()
            core.req_response(status=200)
            req.await_response()
            req.poll_events()  # clears the flag: the next notifier needs the interpreter lock
            assert core.req_body(data=b"\0" * MIB) is False
            core.arm("ks_request_resume_read")
            core.req_body(data=b"x", where=ARMED)
            core.req_complete(where=ARMED)
            got = {}
            t = threading.Thread(target=lambda: got.setdefault("body", req.read_body()),
                                 daemon=True)
            t.start()
            polled = []
            while t.is_alive() and len(polled) < 10:
                polled += req.poll_events()
            t.join(20)
            assert not t.is_alive(), "deadlock between the reader and the poller"
            # Each chunk went to exactly one of them.
            bodies = [e[3] for e in polled if e[0] == "body"]
            assert len(got["body"]) + sum(map(len, bodies)) == MIB + 1
            assert loop.calls >= 1
            assert core.wait_idle(10)

    def test_poller_gives_way_while_a_reader_waits_for_the_network(self, core):
        """The reader holds the body stream until on_complete, which the Core delivers only after
        an earlier callback's notifier got the interpreter lock: a poller waiting for the stream
        must not sit on that lock."""
        held = ctypes.PyDLL(str(core.path))  # calls that keep the interpreter lock
        held.kst_req_redirect.argtypes = core.lib.kst_req_redirect.argtypes
        held.kst_req_complete.argtypes = core.lib.kst_req_complete.argtypes
        warm = cn.PyEngine().request("GET", URL)  # start both workers before they matter
        core.req_redirect(where=1)
        core.req_redirect(where=2)
        assert core.wait_idle(5) and warm.take_redirects()
        req = cn.PyEngine().request("GET", URL)
        req.attach_async(CountingLoop(), notify)
        req.start()
        rid = core.last_id("request")
        core.req_response(status=200)
        req.await_response()
        req.poll_events()  # clears the flag: the next callback's notifier needs the lock
        got = {}
        t = threading.Thread(target=lambda: got.setdefault("body", req.read_body()), daemon=True)
        t.start()
        time.sleep(0.1)  # the reader now waits, holding the body stream
        old = sys.getswitchinterval()
        sys.setswitchinterval(100)  # this thread keeps the lock unless it blocks
        try:
            # Worker 1's notifier now waits for the interpreter lock; worker 2's on_complete
            # waits for worker 1's callback to return.
            held.kst_req_redirect(rid, 1, 302, None, 0, None, 0, None, 0)
            end = time.monotonic() + 0.05
            while time.monotonic() < end:
                pass  # worker 1 records the hop and waits for the lock this thread keeps
            held.kst_req_complete(rid, 2, 0, 0)
            polled = req.poll_events() + req.poll_events()
        finally:
            sys.setswitchinterval(old)
        t.join(20)
        assert not t.is_alive(), "deadlock between the reader and the poller"
        assert got["body"] == b""
        assert [e[0] for e in polled] in (["done"], ["redirect", "done"])
        # The Core gives up waiting for worker 1 after a while and says so: it must not have had to.
        (done,) = core.callbacks("on_complete")
        assert "overlapped" not in done, "the poller kept the interpreter lock while it waited"

    def test_concurrent_pollers_share_the_events(self, core):
        req = cn.PyEngine().request("GET", URL)
        req.start_async(CountingLoop(), notify)
        core.req_response(status=200)
        n = 2000
        for i in range(n):
            core.req_body(data=i.to_bytes(4, "big"), where=1 + i % 2)
        core.wait_idle(10)
        core.req_complete()
        seen = []
        lock = threading.Lock()

        def poller():
            while True:
                batch = req.poll_events(7)
                with lock:
                    seen.extend(batch)
                if not batch:
                    return

        threads = [threading.Thread(target=poller) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(20)
        kinds = [e[0] for e in seen]
        assert kinds.count("response") == 1 and kinds.count("done") == 1
        assert sorted(e[3] for e in seen if e[0] == "body") == sorted(
            i.to_bytes(4, "big") for i in range(n))


class TestManyRequests:
    def test_many_threads_blocking(self, core):
        engine = cn.PyEngine()
        errors = []
        n_threads, per_thread = 8, 20

        def client(t):
            rnd = random.Random(t)
            try:
                for k in range(per_thread):
                    req = engine.request("GET", URL)
                    # ids are global: find ours from this thread's create call
                    rid = next(c["id"] for c in reversed(core.calls("ks_request_create"))
                               if c["tid"] == threading.get_native_id())
                    w = 1 + rnd.randrange(4)
                    count = rnd.randrange(8)
                    chunks = [bytes([t, k]) * rnd.randrange(1, 300) for _ in range(count)]
                    req.start()
                    core.req_response(rid, status=200 + t, head=b"H%d" % k, where=w)
                    for c in chunks:
                        core.req_body(rid, data=c, where=w)
                    fail = rnd.random() < 0.2
                    core.req_complete(rid, status=8 if fail else 0, net_error=-1, where=w)
                    assert req.await_response().status_code == 200 + t
                    if fail:
                        try:
                            body = req.read_body()
                        except RuntimeError as e:
                            assert str(e) == "Network (Chromium net error -1)"
                        else:
                            raise AssertionError(f"no failure, got {len(body)} bytes")
                    elif k % 2:
                        assert req.read_body() == b"".join(chunks)
                    else:
                        got = []
                        while (c := req.next_body()) is not None:
                            got.append(c)
                        assert got == chunks
            except BaseException as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=client, args=(t,)) for t in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads), "deadlock"
        assert errors == []
        assert core.wait_idle(10)
        assert core.live("request") == 0

    def test_threads_and_tasks_together(self, core):
        engine = cn.PyEngine()
        n_tasks = 32

        async def one(i):
            loop = asyncio.get_running_loop()
            woken = asyncio.Event()
            req = engine.request("GET", URL)
            rid = next(c["id"] for c in reversed(core.calls("ks_request_create"))
                       if c["tid"] == threading.get_native_id())
            req.start_async(loop, woken.set)
            w = 1 + i % 4
            core.req_response(rid, status=200, where=w)
            for j in range(30):
                core.req_body(rid, data=bytes([i, j]), where=w)
            core.req_complete(rid, where=w)
            events = []
            while True:
                await asyncio.wait_for(woken.wait(), 20)
                woken.clear()
                while True:
                    batch = req.poll_events(16)
                    events += batch
                    if batch and batch[-1][0] in ("done", "error"):
                        return events
                    if len(batch) < 16:
                        break

        def loop_thread(offset, out):
            async def main():
                return await asyncio.gather(*(one(offset + i) for i in range(n_tasks // 2)))

            out.extend(asyncio.run(main()))

        results = []
        threads = [threading.Thread(target=loop_thread, args=(k * 100, results)) for k in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads)
        assert len(results) == n_tasks
        for events in results:
            assert [e[0] for e in events] == ["response"] + ["body"] * 30 + ["done"]
