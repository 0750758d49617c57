"""The request callbacks: what each records, back-pressure and its single resume, faults inside
a callback, and the order in which the Core request and the Core's reference are released."""

import re

import pytest

import corvina_native as cn
from support.kst import ARMED, SIZE_MAX
from support.loops import CountingLoop

pytestmark = pytest.mark.usefixtures("no_overlapped_terminal")

URL = "http://127.0.0.1/"
MIB = 1048576


@pytest.fixture
def req(core):
    r = cn.PyEngine().request("GET", URL)
    r.start()
    return r


def streaming(core, req, head=b"H"):
    core.req_response(status=200, head=head)
    assert req.await_response().headers == head
    return req


def resumes(core):
    return len(core.calls("ks_request_resume_read"))


def body_results(core):
    return [e["returned"] for e in core.callbacks("on_body")]


class TestHead:
    def test_second_head_before_take_wins(self, core, req):
        core.req_response(status=301, head=b"first")
        core.req_response(status=200, head=b"second")
        resp = req.await_response()
        assert (resp.status_code, resp.headers, resp.content) == (200, b"second", b"")

    def test_head_after_take_is_never_handed_out(self, core, req):
        streaming(core, req, b"one")
        core.req_response(status=500, head=b"late")
        with pytest.raises(RuntimeError, match="^request is not started$"):
            req.await_response()
        assert req.poll_events() == []

    @pytest.mark.parametrize("status", [0, -1, 999, -(2**31)])
    def test_status_passes_unchanged(self, core, req, status):
        core.req_response(status=status, head=b"")
        resp = req.await_response()
        assert resp.status_code == status and resp.headers == b""

    def test_headers_are_fresh_bytes_on_each_read(self, core, req):
        core.req_response(status=200, head=b"X: 1\r\n")
        resp = req.await_response()
        a, b = resp.headers, resp.headers
        assert a == b == b"X: 1\r\n" and a is not b


class TestBody:
    def test_chunks_in_order_then_end_twice(self, core, req):
        streaming(core, req)
        for chunk in (b"a", b"", b"ccc"):
            assert core.req_body(data=chunk) is True
        core.req_complete()
        assert [req.next_body() for _ in range(5)] == [b"a", b"", b"ccc", None, None]

    def test_error_after_head_is_handed_out_once(self, core, req):
        streaming(core, req)
        core.req_body(data=b"x")
        core.req_complete(status=8, net_error=-101)
        assert req.next_body() == b"x"
        with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -101\)$"):
            req.next_body()
        assert req.next_body() is None
        assert req.read_body() == b""

    def test_chunk_crossing_threshold_pauses(self, core, req):
        streaming(core, req)
        half = b"\0" * (MIB // 2)
        assert core.req_body(data=half) is True
        assert core.req_body(data=half[:-1]) is True  # 1048575 queued
        assert core.req_body(data=b"!") is False  # reaches 1048576
        assert core.req_body(data=b"?") is False  # still over
        assert resumes(core) == 0
        assert req.next_body() == half  # 524289 left: resume exactly once
        assert resumes(core) == 1
        assert core.calls("ks_request_resume_read")[0]["gil"] is False
        assert req.next_body() == half[:-1]
        assert req.next_body() == b"!"
        assert resumes(core) == 1

    def test_resume_only_below_threshold(self, core, req):
        streaming(core, req)
        core.req_body(data=b"\0" * MIB)  # exactly the threshold
        core.req_body(data=b"z")
        assert body_results(core) == [False, False]
        assert req.next_body() == b"\0" * MIB
        assert resumes(core) == 1

    def test_no_pause_after_complete(self, core, req):
        streaming(core, req)
        core.req_complete()
        core.set_strict(False)  # a chunk after the end, as the rule allows for
        assert core.req_body(data=b"\0" * (2 * MIB)) is True
        assert len(req.next_body()) == 2 * MIB
        assert req.next_body() is None
        assert resumes(core) == 0

    def test_polling_resumes_too(self, core):
        loop = CountingLoop()
        req = cn.PyEngine().request("GET", URL)
        req.start_async(loop, lambda: None)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"
        core.req_body(data=b"\0" * MIB)
        assert req.poll_event()[0] == "body"
        assert resumes(core) == 1
        resume = core.calls("ks_request_resume_read")[0]
        assert resume["gil"] is True

    def test_wait_body_resumes_after_a_blocking_take(self, core, req):
        streaming(core, req)
        core.req_body(data=b"\0" * MIB, where=1)
        core.req_body(data=b"\0" * 10, where=1)
        core.req_complete(where=1)
        assert len(req.read_body()) == MIB + 10
        assert resumes(core) == 1


class TestRedirectHops:
    def test_hop_fields_and_lossy_texts(self, core, req):
        core.req_redirect(status=301, head=b"Location: b\r\n", from_url=b"http://a/\xff",
                          to_url="http://b/\u00e9")
        hop = (301, b"Location: b\r\n", "http://a/\ufffd", "http://b/\u00e9")
        assert req.take_redirects() == [hop]
        assert req.take_redirects() == []

    def test_hops_in_arrival_order(self, core, req):
        for i in range(5):
            core.req_redirect(status=300 + i, from_url=f"u{i}", to_url=f"u{i + 1}")
        assert [h[0] for h in req.take_redirects()] == [300, 301, 302, 303, 304]


class TestCallbackFaults:
    """A fault inside a callback becomes CallbackPanic; nothing reaches the Core."""

    PANIC = re.escape("CallbackPanic (Chromium net error 0)")

    @pytest.mark.parametrize("length", [2**31, 2**63, SIZE_MAX])
    def test_body_length_beyond_any_buffer(self, core, req, length):
        streaming(core, req)
        core.set_claimed_len(length)
        assert core.req_body(data=b"abc") is True  # 1 after a fault
        assert req.is_finished() is True
        with pytest.raises(RuntimeError, match=rf"^{self.PANIC}$"):
            req.next_body()

    def test_length_without_data(self, core, req):
        streaming(core, req)
        core.set_claimed_len(5)
        core.req_body(data=None)
        assert req.is_finished()

    def test_head_fault_is_handed_out_in_place_of_the_head(self, core, req):
        core.set_claimed_len(2**63)
        core.req_response(status=200, head=b"H")
        with pytest.raises(RuntimeError, match=rf"^{self.PANIC}$"):
            req.await_response()

    @pytest.mark.parametrize("run", [0, 1, 2])
    def test_redirect_fault_in_any_text(self, core, req, run):
        core.set_claimed_len(2**63, run)
        core.req_redirect(status=302, head=b"h", from_url=b"f", to_url=b"t")
        assert req.take_redirects() == []
        assert req.is_finished() is True
        assert req.wait_redirect(0) is None  # nothing wakes it: no hop, no error
        panic = "CallbackPanic (Chromium net error 0)"
        assert req.poll_events() == [("error", 0, b"", b"", panic)]

    @pytest.mark.parametrize("status", [0, 8])
    def test_later_complete_keeps_the_panic(self, core, req, status):
        # The chunk that faulted is lost: a success after it would hand out a short body.
        streaming(core, req)
        core.set_claimed_len(2**63)
        core.req_body(data=b"x")
        core.req_complete(status=status, net_error=-100)
        with pytest.raises(RuntimeError, match=rf"^{self.PANIC}$"):
            req.next_body()
        assert req.next_body() is None

    def test_lost_head_then_success_is_the_panic(self, core, req):
        core.set_claimed_len(2**63)
        core.req_response(status=200, head=b"H")
        core.req_complete(status=0)
        with pytest.raises(RuntimeError, match=rf"^{self.PANIC}$"):
            req.await_response()

    def test_panic_does_not_overwrite_an_outcome(self, core, req):
        streaming(core, req)
        core.req_complete(status=7, net_error=-3)
        core.set_strict(False)  # a callback after the terminal one, on purpose
        core.set_claimed_len(2**63)
        core.req_body(data=b"x")
        with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)$"):
            req.read_body()

    def test_state_stays_usable_after_a_fault(self, core, req):
        streaming(core, req)
        core.set_claimed_len(2**63)
        core.req_body(data=b"x")
        core.req_body(data=b"after")
        core.req_redirect(status=302)
        assert req.next_body() == b"after"
        assert len(req.take_redirects()) == 1


class TestOutcomes:
    @pytest.mark.parametrize(
        "status,net,text",
        [(6, -7, "Timeout (Chromium net error -7)"),
         (1000, -2, "native error 1000 (Chromium net error -2)"),
         (16, 0, "native error 16 (Chromium net error 0)"),
         (2**32 - 1, 5, "native error -1 (Chromium net error 5)"),
         (15, -1, "ProfileUnsupported (Chromium net error -1)")],
    )
    def test_failure_texts(self, core, req, status, net, text):
        core.req_complete(status=status, net_error=net)
        with pytest.raises(RuntimeError) as info:
            req.await_response()
        assert str(info.value) == text and type(info.value) is RuntimeError

    def test_is_finished_before_anything_is_read(self, core, req):
        assert req.is_finished() is False
        core.req_response(status=200)
        core.req_body(data=b"x")
        assert req.is_finished() is False
        core.req_complete()
        assert req.is_finished() is True

    def test_failure_before_the_head_is_handed_once(self, core, req):
        core.req_complete(status=8, net_error=-105)
        events = req.poll_events()
        assert events == [("error", 0, b"", b"", "Network (Chromium net error -105)")]
        assert req.poll_events() == []


class TestRelease:
    def test_never_started(self, core):
        req = cn.PyEngine().request("GET", URL)
        del req
        assert core.sequence()[-1] == "ks_request_release"
        assert core.callbacks("on_complete") == []

    def test_failed_start_then_release(self, core):
        req = cn.PyEngine().request("GET", URL)
        core.push_status("ks_request_start", 8)
        with pytest.raises(RuntimeError, match="^Network$"):
            req.start()
        del req
        assert core.live("request") == 0

    def test_started_released_before_on_complete(self, core):
        core.set_auto(0)
        req = cn.PyEngine().request("GET", URL)
        req.start()
        rid = core.last_id("request")
        del req
        assert core.live("request") == 0
        # The state outlives the handle until on_complete has returned.
        core.req_body(rid, data=b"late", where=1)
        core.req_complete(rid, status=7, net_error=-3, where=1)
        assert core.wait_idle(5)
        assert [e["cb"] for e in core.callbacks()] == ["on_body", "on_complete"]

    def test_started_released_with_automatic_completion(self, core):
        core.set_auto(0x1)
        req = cn.PyEngine().request("GET", URL)
        req.start()
        del req
        assert core.wait_idle(5)
        (done,) = core.callbacks("on_complete")
        assert done["auto"] is True and done["worker"] == 1

    def test_complete_before_release_keeps_the_request_usable(self, core):
        req = cn.PyEngine().request("GET", URL)
        req.start()
        core.req_response(status=200)
        core.req_body(data=b"abc")
        core.req_complete()
        assert core.live("request") == 1
        assert req.await_response().status_code == 200
        assert req.read_body() == b"abc"
        del req
        assert core.live("request") == 0

    @pytest.mark.parametrize("order", ["pairs_first", "object_first"])
    def test_any_order_of_object_and_pairs(self, core, order):
        loop = CountingLoop()
        req = cn.PyEngine().request("GET", URL)
        req.start_async(loop, lambda: None)
        core.req_response(status=200)
        assert req.poll_event()[0] == "response"  # body_stream now holds a pair
        if order == "pairs_first":
            req.detach_callback()
        del req
        assert core.live("request") == 0
        core.req_complete(where=1)
        assert core.wait_idle(5)

    def test_complete_inside_release(self, core):
        core.set_auto(0)
        req = cn.PyEngine().request("GET", URL)
        req.start()
        core.arm("ks_request_release")
        core.req_complete(status=7, net_error=-3, where=ARMED)
        del req
        assert core.sequence()[-2:] == ["ks_request_release", "on_complete"]
