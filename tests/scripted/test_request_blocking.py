"""The blocking PyRequest methods: starting, head waits, body reads, uploads, redirects,
cancel; where the interpreter lock is released and every failure text."""

import math
import sys
import threading
import time

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop

pytestmark = pytest.mark.usefixtures("no_overlapped_terminal")

URL = "http://127.0.0.1/"


def new_request(**kwargs):
    return cn.PyEngine().request("GET", URL, **kwargs)


def gil_of(core, fn):
    return [c["gil"] for c in core.calls(fn)]


class TestStart:
    def test_start_holds_the_interpreter_lock(self, core):
        req = new_request()
        assert req.start() is None
        assert gil_of(core, "ks_request_start") == [True]

    def test_second_start_fails_without_calling_the_core(self, core):
        req = new_request()
        req.start()
        for again in (req.start, req.start_stream):
            with pytest.raises(RuntimeError, match="^InvalidState$"):
                again()
        assert len(core.calls("ks_request_start")) == 1
        # The first started context survives: the head still arrives.
        core.req_response(status=200)
        assert req.await_response().status_code == 200

    def test_failed_start_can_be_retried(self, core):
        req = new_request()
        core.push_status("ks_request_start", 6)
        with pytest.raises(RuntimeError, match="^Timeout$"):
            req.start()
        with pytest.raises(RuntimeError, match="^request is not started$"):
            req.await_response()
        req.start()
        assert len(core.calls("ks_request_start")) == 2

    def test_start_stream_releases_the_lock_and_waits_for_the_head(self, core):
        req = new_request()
        core.req_response(status=201, head=b"H", where=1)
        resp = req.start_stream()
        assert (resp.status_code, resp.headers, resp.content) == (201, b"H", b"")
        assert gil_of(core, "ks_request_start") == [False]
        with pytest.raises(RuntimeError, match="^request is not started$"):
            req.await_response()
        assert req.poll_events() == []  # no response event: the context was never stored

    def test_start_stream_failed_start(self, core):
        req = new_request()
        core.push_status("ks_request_start", 2**31)
        with pytest.raises(RuntimeError, match="^native error -2147483648$"):
            req.start_stream()
        core.req_response(status=200, where=1)
        assert req.start_stream().status_code == 200

    def test_start_stream_failure_outcome(self, core):
        req = new_request()
        core.arm("ks_request_start")
        core.req_complete(status=9, net_error=-200, where=ARMED)
        with pytest.raises(RuntimeError, match=r"^Tls \(Chromium net error -200\)$"):
            req.start_stream()
        with pytest.raises(RuntimeError, match="^request body stream is not started$"):
            req.read_body()

    def test_start_stream_waits_while_other_threads_run(self, core):
        req = new_request()
        box = []
        t = threading.Thread(target=lambda: box.append(req.start_stream()))
        t.start()
        ticks = 0
        while not core.calls("ks_request_start"):
            ticks += 1  # this thread runs: the waiting one gave up the interpreter lock
            time.sleep(0.001)
        core.req_response(status=200, where=2)
        t.join(10)
        assert box[0].status_code == 200 and ticks >= 0


class TestAwaitResponse:
    def test_before_start(self, core):
        with pytest.raises(RuntimeError, match="^request is not started$"):
            new_request().await_response()

    def test_only_the_first_waits(self, core):
        req = new_request()
        req.start()
        core.req_response(status=200)
        req.await_response()
        with pytest.raises(RuntimeError, match="^request is not started$"):
            req.await_response()

    def test_failure_empties_the_context_too(self, core):
        req = new_request()
        req.start()
        core.req_complete(status=7, net_error=-3)
        with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
            req.await_response()
        with pytest.raises(RuntimeError, match="^request is not started$"):
            req.await_response()

    def test_headless_success_does_not_hang(self, core):
        req = new_request()
        req.start()
        core.req_complete(status=0)
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            req.await_response()

    def test_woken_by_a_core_thread(self, core):
        req = new_request()
        req.start()
        core.req_redirect(status=302, where=1)  # wakes, no head yet
        core.req_response(status=200, head=b"late", where=1)
        assert req.await_response().headers == b"late"


class TestBodyReads:
    def started(self, core, *chunks, status=0, net=0):
        req = new_request()
        req.start()
        core.req_response(status=200)
        req.await_response()
        for c in chunks:
            core.req_body(data=c)
        if status is not None:
            core.req_complete(status=status, net_error=net)
        return req

    @pytest.mark.parametrize("method", ["next_body", "read_body"])
    def test_before_the_head(self, core, method):
        req = new_request()
        req.start()
        with pytest.raises(RuntimeError, match="^request body stream is not started$"):
            getattr(req, method)()

    def test_read_body_concatenates_then_is_empty(self, core):
        req = self.started(core, b"ab", b"", b"cd")
        assert req.read_body() == b"abcd"
        assert req.read_body() == b""
        assert req.next_body() is None

    def test_read_body_drops_what_it_gathered_on_failure(self, core):
        req = self.started(core, b"ab", b"cd", status=8, net=-100)
        with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -100\)$"):
            req.read_body()
        assert req.read_body() == b""

    def test_read_body_from_core_threads(self, core):
        req = self.started(core, status=None)
        chunks = [bytes([i]) * (i * 997 % 5000) for i in range(200)]
        for c in chunks:
            core.req_body(data=c, where=1)  # one worker: FIFO
        core.req_complete(where=1)
        assert req.read_body() == b"".join(chunks)

    def test_empty_body(self, core):
        assert self.started(core).read_body() == b""

    def test_next_body_wakes_on_the_end(self, core):
        req = self.started(core, status=None)
        t = threading.Timer(0.05, lambda: core.req_complete(where=1))
        t.start()
        assert req.next_body() is None
        t.join()


class TestUpload:
    def test_writes_and_finish(self, core):
        req = new_request(chunked=True)
        req.start()
        req.upload_write(b"abc", False)
        req.upload_write(data=bytearray(b"de"), final_chunk=False)
        req.upload_write(b"", True)
        req.upload_finish()
        calls = core.calls("ks_request_upload_write")
        assert [(c["data"], c["len"], c["final"]) for c in calls] == [
            (b"abc", 3, 0), (b"de", 2, 0), (None, 0, 1), (None, 0, 1)]
        assert all(c["gil"] is False for c in calls)

    def test_bytes_read_in_place_and_kept_alive(self, core):
        # bytes reach the Core without a copy, so the call must hold its own reference.
        class Chunk(bytes):
            pass

        req = new_request(chunked=True)
        req.start()
        chunk = Chunk(b"\x00\xff" * 40000)
        before = sys.getrefcount(chunk)
        req.upload_write(chunk, False)
        req.upload_write([1, 2, 255], False)
        assert sys.getrefcount(chunk) == before
        calls = core.calls("ks_request_upload_write")
        assert [(c["data"], c["len"]) for c in calls] == [(bytes(chunk), 80000), (b"\x01\x02\xff", 3)]

    def test_conversion_failures_send_nothing(self, core):
        req = new_request(chunked=True)
        with pytest.raises(TypeError, match="^argument 'data': "):
            req.upload_write("text", False)
        with pytest.raises(TypeError, match="^argument 'final_chunk': "):
            req.upload_write(b"x", 1)
        with pytest.raises(TypeError):
            req.upload_write(b"x")
        assert core.calls("ks_request_upload_write") == []

    @pytest.mark.parametrize("method,args", [("upload_write", (b"x", True)), ("upload_finish", ())])
    def test_core_status(self, core, method, args):
        req = new_request()
        core.push_status("ks_request_upload_write", 1)
        with pytest.raises(RuntimeError, match="^InvalidArgument$"):
            getattr(req, method)(*args)


class TestPlainCoreCalls:
    @pytest.mark.parametrize(
        "method,fn",
        [("resume_read", "ks_request_resume_read"),
         ("follow_redirect", "ks_request_follow_redirect"),
         ("cancel", "ks_request_cancel")],
    )
    def test_status_and_lock(self, core, method, fn):
        req = new_request()
        assert getattr(req, method)() is None
        core.push_status(fn, 11)
        with pytest.raises(RuntimeError, match="^Protocol$"):
            getattr(req, method)()
        assert gil_of(core, fn) == [True, True]

    def test_cancel_detaches_even_when_refused(self, core):
        loop = CountingLoop()
        req = new_request()
        req.start_async(loop, lambda: None)
        core.push_status("ks_request_cancel", 5)
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            req.cancel()
        core.req_response(status=200)
        assert loop.calls == 0  # notifier gone
        assert req.poll_events() == []  # started context gone

    def test_cancel_wakes_a_blocked_reader(self, core):
        core.set_auto(0x2)
        req = new_request()
        req.start()
        core.req_response(status=200)
        req.await_response()
        threading.Timer(0.05, req.cancel).start()
        with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
            req.read_body()


class TestRedirects:
    def test_take_redirects_empty_then_wait_finds_nothing(self, core):
        req = new_request()
        assert req.take_redirects() == []
        assert req.wait_redirect(0) is None

    def test_wait_redirect_returns_a_hop_from_a_core_thread(self, core):
        req = new_request()
        threading.Timer(0.02, lambda: core.req_redirect(status=307, to_url="x", where=1)).start()
        assert req.wait_redirect(5) == (307, b"", "", "x")
        # The request was never started, so the Core holds no reference to its state: it must
        # outlive the callback, which may still be returning when the wait wakes.
        assert core.wait_idle(5)

    def test_wait_redirect_returns_none_on_any_other_change(self, core):
        req = new_request()
        req.start()
        threading.Timer(0.02, lambda: core.req_response(status=200, where=1)).start()
        t0 = time.monotonic()
        assert req.wait_redirect(30) is None
        assert time.monotonic() - t0 < 30

    def test_wait_redirect_reports_a_failure_that_wakes_it(self, core):
        req = new_request()
        # A failure before the wait wakes nothing: time for the wait to begin on a busy machine.
        threading.Timer(0.2, lambda: core.req_complete(status=12, net_error=-9, where=1)).start()
        with pytest.raises(RuntimeError, match="^Redirect$"):
            req.wait_redirect(30)
        assert core.wait_idle(5)  # as above: the callback returns before the request goes
        # Nothing wakes the next one: the old failure is not reported, the timeout ends it.
        assert req.wait_redirect(0.01) is None

    @pytest.mark.parametrize("method", ["wait_redirect", "wait_manual"])
    @pytest.mark.parametrize("bad", [-1, -0.0, math.nan, math.inf])
    def test_bad_timeouts(self, core, method, bad):
        with pytest.raises(RuntimeError, match="^timeout must be a finite non-negative number$"):
            getattr(new_request(), method)(bad)

    @pytest.mark.parametrize("method", ["wait_redirect", "wait_manual"])
    def test_timeout_argument_errors(self, core, method):
        req = new_request()
        with pytest.raises(TypeError, match="^argument 'timeout': "):
            getattr(req, method)("1")
        with pytest.raises(TypeError, match="unexpected keyword argument 'limit'"):
            getattr(req, method)(limit=1)

    def test_manual_loop(self, core):
        req = new_request(redirect="manual")
        req.start()
        assert req.wait_manual(0) == (None, None)
        core.req_redirect(status=302, head=b"h1", from_url="a", to_url="b")
        core.req_response(status=200, head=b"final")
        # A hop and the head both ready: the hop first.
        assert req.wait_manual(1) == ((302, b"h1", "a", "b"), None)
        assert req.wait_manual(1) == (None, (200, b"final"))
        core.req_body(data=b"xyz")
        core.req_complete()
        assert req.read_body() == b"xyz"
        assert req.wait_manual(0) == (None, None)

    def test_manual_follow_then_head_from_a_core_thread(self, core):
        req = new_request(redirect="manual")
        req.start()
        core.arm("ks_request_follow_redirect")
        core.req_redirect(status=301, to_url="b", where=ARMED)
        core.req_redirect(status=302, to_url="a", where=1)
        hop, head = req.wait_manual(5)
        assert hop[0] == 302 and head is None
        req.follow_redirect()
        hop, head = req.wait_manual(5)
        assert hop[0] == 301
        core.req_response(status=200, where=2)
        assert req.wait_manual(5) == (None, (200, b""))

    def test_manual_head_failure_detaches(self, core):
        loop = CountingLoop()
        req = new_request(redirect="manual")
        req.start()
        req.attach_async(loop, lambda: None)
        core.req_complete(status=8, net_error=-7)
        calls = loop.calls
        with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -7\)$"):
            req.wait_manual(1)
        core.set_strict(False)
        core.req_redirect(status=302)
        assert loop.calls == calls

    def test_manual_failure_while_waiting_has_no_net_error(self, core):
        req = new_request(redirect="manual")  # never started: no head check
        threading.Timer(0.2, lambda: core.req_complete(status=8, net_error=-7, where=1)).start()
        with pytest.raises(RuntimeError, match="^Network$"):
            req.wait_manual(30)
        assert core.wait_idle(5)  # the callback returns before the unstarted request goes

    def test_manual_deadline_passes(self, core):
        req = new_request(redirect="manual")
        req.start()
        t0 = time.monotonic()
        assert req.wait_manual(0.2) == (None, None)
        assert time.monotonic() - t0 >= 0.2

    def test_manual_head_wakes_the_wait(self, core):
        req = new_request(redirect="manual")
        req.start()
        threading.Timer(0.01, lambda: core.req_response(status=200, where=1)).start()
        assert req.wait_manual(5) == (None, (200, b""))

    def test_take_redirects_and_waits_share_the_queue(self, core):
        req = new_request()
        core.req_redirect(status=301)
        core.req_redirect(status=302)
        assert req.wait_redirect(0)[0] == 301
        assert [h[0] for h in req.take_redirects()] == [302]


class TestIsFinished:
    def test_transitions(self, core):
        req = new_request()
        assert req.is_finished() is False
        req.start()
        assert req.is_finished() is False
        core.req_complete(status=0)
        assert req.is_finished() is True


class TestReadBodyWithAnnouncedLength:
    """read_body sizes its result from Content-Length; a wrong length must not change the bytes."""

    def streaming(self, core, head):
        req = new_request()
        req.start()
        core.req_response(status=200, head=head)
        req.await_response()
        return req

    def deliver_later(self, core, chunks, status=0, net=0):
        def run():
            for c in chunks:
                core.req_body(data=c, where=1)
            core.req_complete(status=status, net_error=net, where=1)
        t = threading.Timer(0.05, run)
        t.start()
        return t

    @pytest.mark.parametrize("announced", [0, 1, 4096 * 64 - 7, 4096 * 64, 4096 * 64 + 9, 2**62])
    def test_any_announced_length_gives_the_delivered_bytes(self, core, announced):
        chunks = [bytes([i % 251]) * 4096 for i in range(64)]
        req = self.streaming(core, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % announced)
        t = self.deliver_later(core, chunks)
        assert req.read_body() == b"".join(chunks)
        t.join()
        assert req.read_body() == b""

    @pytest.mark.parametrize("head", [
        b"HTTP/1.1 200 OK\r\ncontent-length:  5 \r\nContent-Encoding: gzip\r\n\r\n",
        b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
        b"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n",
        b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n",
    ])
    def test_unusable_lengths_are_ignored(self, core, head):
        req = self.streaming(core, head)
        t = self.deliver_later(core, [b"abc", b"defgh"])
        assert req.read_body() == b"abcdefgh"
        t.join()

    def test_rest_after_next_body(self, core):
        req = self.streaming(core, b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n")
        core.req_body(data=b"abc")
        assert req.next_body() == b"abc"
        t = self.deliver_later(core, [b"def", b"ghi"])
        assert req.read_body() == b"defghi"
        t.join()

    def test_overflow_beyond_the_length_still_pauses_and_resumes(self, core):
        # One announced byte, three MiB delivered: the rest queues, pauses the Core and is
        # taken with a resume.
        req = self.streaming(core, b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n")
        chunks = [bytes([i]) * 65536 for i in range(48)]
        results = []
        reader = threading.Thread(target=lambda: results.append(req.read_body()))
        reader.start()
        for c in chunks:
            core.req_body(data=c)
        core.req_complete()
        reader.join(10)
        assert not reader.is_alive()
        assert results == [b"".join(chunks)]

    def test_failure_after_direct_writes_discards_them(self, core):
        req = self.streaming(core, b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")
        t = self.deliver_later(core, [b"x" * 40], status=8, net=-100)
        with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -100\)$"):
            req.read_body()
        t.join()
        assert req.read_body() == b""
