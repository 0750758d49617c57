"""PyEngine.websocket and the PyWebSocket calls that reach the Core: the creation record,
argument conversion, start, send, close, cancel and their failures."""

import struct

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop

URL = "wss://example.test/chat"


def new_ws(**kwargs):
    return cn.PyEngine().websocket(URL, **kwargs)


def record(core):
    return core.last_record("ks_websocket_create")


class TestCreationRecord:
    def test_minimal_record_bytes(self, core):
        new_ws()
        raw = core.calls("ks_websocket_create")[-1]["record"]
        assert len(raw) == 136
        # 64-bit natural layout: head, four (pointer, length) pairs, callbacks, timeout.
        size, abi, url, url_len, origin, origin_len = struct.unpack_from("<IIQQQQ", raw, 0)
        assert (size, abi, url_len) == (136, 8, len(URL)) and url != 0
        assert (origin, origin_len) == (0, 0)
        assert struct.unpack_from("<QQQQ", raw, 40) == (0, 0, 0, 0)
        cb_size, cb_abi, user_data, *fns = struct.unpack_from("<IIQQQQQQ", raw, 72)
        assert (cb_size, cb_abi) == (56, 8) and user_data != 0 and all(fns)
        assert struct.unpack_from("<Q", raw, 128) == (0,)
        rec = record(core)
        assert rec["url"] == URL.encode() and rec["callbacks"]["on_error"]

    def test_every_option_in_order(self, core):
        new_ws(
            origin="https://o.test",
            headers=[("X-A", "1"), ("x-a", "2"), ("X-Empty", "")],
            timeout=2.5,
            protocols=["chat.v2", "chat", "\u00e9"],
        )
        rec = record(core)
        assert rec["origin"] == b"https://o.test" and rec["origin_len"] == 14
        assert rec["headers"] == [[b"X-A", b"1"], [b"x-a", b"2"], [b"X-Empty", None]]
        assert rec["header_count"] == 3
        assert rec["protocols"] == [b"chat.v2", b"chat", "\u00e9".encode()]
        assert rec["protocol_count"] == 3
        assert rec["timeout_ms"] == 2500

    def test_each_connection_has_its_own_user_data(self, core):
        a, b = new_ws(), new_ws()
        first, second = core.calls("ks_websocket_create")[-2:]
        assert first["config"]["callbacks"]["user_data"] != second["config"]["callbacks"][
            "user_data"
        ]
        del a, b

    @pytest.mark.parametrize(
        "timeout,ms",
        [(None, 0), (0, 0), (0.0004, 0), (0.0015, 1), (1, 1000), (2.0**63, 2**64 - 1)],
    )
    def test_timeout_milliseconds(self, core, timeout, ms):
        new_ws(timeout=timeout)
        assert record(core)["timeout_ms"] == ms

    def test_positional_and_keyword_arguments(self, core):
        engine = cn.PyEngine()
        engine.websocket(URL, "o", [("a", "b")], 1, ["p"])
        rec = record(core)
        assert (rec["origin"], rec["timeout_ms"], rec["protocols"]) == (b"o", 1000, [b"p"])
        engine.websocket(protocols=("q",), url=URL)
        assert record(core)["protocols"] == [b"q"]


class TestCreationArguments:
    def refused(self, core, exc, match, *args, **kwargs):
        with pytest.raises(exc, match=match) as info:
            cn.PyEngine().websocket(*args, **kwargs)
        assert not core.calls("ks_websocket_create")
        return info.value

    def test_url_is_required_text(self, core):
        self.refused(core, TypeError, "url", )
        self.refused(core, TypeError, r"^argument 'url': 'bytes' object is not an instance", b"x")

    def test_origin_none_is_refused(self, core):
        self.refused(
            core, TypeError, r"^argument 'origin': 'None' is not an instance of 'str'$", URL,
            origin=None,
        )

    def test_header_and_protocol_shapes(self, core):
        self.refused(core, TypeError, r"^argument 'headers': Can't extract `str` to `Vec`$", URL,
                     headers="a: b")
        self.refused(core, ValueError, r"^expected tuple of length 2, but got tuple of length 3$",
                     URL, headers=[("a", "b", "c")])
        self.refused(core, TypeError, r"^argument 'protocols': Can't extract `str` to `Vec`$",
                     URL, protocols="chat")
        self.refused(core, TypeError, r"^argument 'protocols': ", URL, protocols=[1])

    @pytest.mark.parametrize("bad", [-1, -0.0, float("nan"), float("inf"), 1e30])
    def test_bad_timeouts(self, core, bad):
        err = self.refused(core, RuntimeError, "^timeout must be a finite non-negative number$",
                           URL, timeout=bad)
        assert type(err) is RuntimeError

    def test_timeout_checked_after_every_conversion(self, core):
        self.refused(core, TypeError, r"^argument 'protocols': ", URL, timeout=-1,
                     protocols="chat")
        self.refused(core, TypeError, r"^argument 'timeout': ", URL, timeout="1")

    def test_unknown_and_duplicate_keywords(self, core):
        self.refused(core, TypeError, "unexpected keyword argument 'subprotocols'", URL,
                     subprotocols=["x"])
        self.refused(core, TypeError, "multiple values for argument 'url'", URL, url=URL)


class TestCreationFailure:
    @pytest.mark.parametrize(
        "status,text", [(1, "InvalidArgument"), (8, "Network"), (16, "native error 16"),
                        (2**32 - 1, "native error -1")],
    )
    def test_status_is_raised(self, core, status, text):
        live = core.live("websocket")
        core.push_status("ks_websocket_create", status)
        with pytest.raises(RuntimeError) as info:
            new_ws()
        assert str(info.value) == text
        assert core.live("websocket") == live

    def test_success_without_a_handle(self, core):
        core.push_status("ks_websocket_create", 0, null_handle=True)
        with pytest.raises(RuntimeError, match="^InitializationFailed$"):
            new_ws()

    def test_core_exception_is_a_fault_and_nothing_is_left(self, core):
        live = core.live("websocket")
        core.throw_next("ks_websocket_create")
        with pytest.raises(BaseException) as info:
            new_ws()
        assert not isinstance(info.value, Exception)
        assert core.live("websocket") == live


class TestStart:
    def test_not_connected_until_started(self, core):
        ws = new_ws()
        for call in (ws.recv, ws.poll_event, ws.poll_events):
            with pytest.raises(RuntimeError, match="^WebSocket is not connected$"):
                call()
        assert ws.is_finished() is False
        assert "ks_websocket_start" not in core.sequence()

    def test_second_start_is_refused_without_a_core_call(self, core):
        ws = new_ws()
        assert ws.connect() is None
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.connect()
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.start_async(CountingLoop(), print)
        assert len(core.calls("ks_websocket_start")) == 1
        core.ws_message(data=b"still connected")
        assert ws.poll_event() == ("text", b"still connected", None, None)

    def test_failed_start_can_be_retried(self, core):
        ws = new_ws()
        core.push_status("ks_websocket_start", 8)
        with pytest.raises(RuntimeError, match="^Network$"):
            ws.connect()
        with pytest.raises(RuntimeError, match="not connected"):
            ws.poll_event()
        ws.connect()
        assert len(core.calls("ks_websocket_start")) == 2
        assert ws.poll_event() is None

    def test_start_that_throws_leaves_it_startable(self, core):
        ws = new_ws()
        core.throw_next("ks_websocket_start")
        with pytest.raises(BaseException):
            ws.connect()
        ws.connect()
        assert ws.poll_events() == []


class TestSend:
    def test_text_and_bytes(self, core):
        ws = new_ws()
        ws.connect()
        ws.send_text("h\u00e9")
        ws.send_bytes(b"\x00\xff")
        ws.send_bytes(bytearray(b"ba"))
        ws.send_bytes([104, 105])
        ws.send_text(text="")
        ws.send_bytes(data=b"")
        sent = [(c["kind"], c["data"], c["len"]) for c in core.calls("ks_websocket_send")]
        assert sent == [
            (1, "h\u00e9".encode(), 3),
            (2, b"\x00\xff", 2),
            (2, b"ba", 2),
            (2, b"hi", 2),
            (1, None, 0),
            (2, None, 0),
        ]

    def test_send_before_connect_goes_to_the_core(self, core):
        ws = new_ws()
        core.push_status("ks_websocket_send", 5)
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.send_text("early")
        ws.send_bytes(b"x")
        assert len(core.calls("ks_websocket_send")) == 2

    def test_argument_errors_reach_nothing(self, core):
        ws = new_ws()
        with pytest.raises(TypeError, match=r"^argument 'text': 'bytes' object is not"):
            ws.send_text(b"x")
        with pytest.raises(TypeError, match=r"^argument 'data': Can't extract `str` to `Vec`$"):
            ws.send_bytes("x")
        with pytest.raises(OverflowError):
            ws.send_bytes([256])
        with pytest.raises(TypeError, match="missing"):
            ws.send_text()
        assert not core.calls("ks_websocket_send")


class TestCloseAndCancel:
    def test_close_passes_code_and_reason(self, core):
        ws = new_ws()
        ws.connect()
        ws.close(1000, "bye")
        ws.close(code=4999, reason="")
        ws.close(0, "\u00e9")
        ws.close(65535, "x")
        got = [(c["code"], c["reason"], c["reason_len"]) for c in core.calls("ks_websocket_close")]
        assert got == [(1000, b"bye", 3), (4999, None, 0), (0, "\u00e9".encode(), 2),
                       (65535, b"x", 1)]

    @pytest.mark.parametrize(
        "code,exc,message",
        [
            (65536, OverflowError, "^out of range integral type conversion attempted$"),
            (-1, OverflowError, "^out of range integral type conversion attempted$"),
            (2**31 - 1, OverflowError, "^out of range integral type conversion attempted$"),
            (-(2**31), OverflowError, "^out of range integral type conversion attempted$"),
            (2**31, OverflowError, "^Python int too large to convert to C int$"),
            (-(2**31) - 1, OverflowError, "^Python int too large to convert to C int$"),
            (2**70, OverflowError, "^Python int too large to convert to C int$"),
            ("1000", TypeError, "^argument 'code': "),
            (1000.0, TypeError, "^argument 'code': "),
        ],
    )
    def test_bad_codes_never_reach_the_core(self, core, code, exc, message):
        ws = new_ws()
        with pytest.raises(exc, match=message):
            ws.close(code, "r")
        assert not core.calls("ks_websocket_close")

    def test_reason_is_converted_after_the_code(self, core):
        ws = new_ws()
        with pytest.raises(OverflowError):
            ws.close(70000, None)
        with pytest.raises(TypeError, match="^argument 'reason': 'None' is not an instance"):
            ws.close(1000, None)

    @pytest.mark.parametrize("method", ["close", "cancel"])
    @pytest.mark.parametrize("status", [0, 5])
    def test_notifier_removed_whatever_the_core_says(self, core, method, status):
        core.set_auto(0)
        ws = new_ws()
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.push_status("ks_websocket_" + method, status)
        call = (lambda: ws.close(1000, "")) if method == "close" else ws.cancel
        if status:
            with pytest.raises(RuntimeError, match="^InvalidState$"):
                call()
        else:
            assert call() is None
        core.ws_message(data=b"after")
        assert loop.calls == 0
        assert ws.poll_events() == [("text", b"after", None, None)]

    def test_close_that_throws_still_removes_the_notifier(self, core):
        ws = new_ws()
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.throw_next("ks_websocket_close")
        with pytest.raises(BaseException):
            ws.close(1000, "")
        core.ws_message(data=b"x")
        assert loop.calls == 0

    def test_closed_reply_delivered_inside_close(self, core):
        ws = new_ws()
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.arm("ks_websocket_close")
        core.ws_closed(code=1000, reason=b"done", where=ARMED)
        ws.close(1000, "done")
        assert loop.calls == 1
        assert ws.is_finished()
        assert ws.recv() == ("closed", b"", 1000, "done")
        assert ws.recv() is None

    def test_cancel_reports_the_core_status(self, core):
        ws = new_ws()
        core.push_status("ks_websocket_cancel", 7)
        with pytest.raises(RuntimeError, match="^Canceled$"):
            ws.cancel()
        assert ws.cancel() is None
        assert len(core.calls("ks_websocket_cancel")) == 2


class TestNotifier:
    def test_failed_start_async_keeps_its_notifier(self, core):
        ws = new_ws()
        loop = CountingLoop()
        core.push_status("ks_websocket_start", 8)
        with pytest.raises(RuntimeError, match="^Network$"):
            ws.start_async(loop, print)
        ws.connect()
        core.ws_message(data=b"x")
        assert loop.calls == 1
        ws.detach_callback()
        ws.detach_callback()  # nothing installed: not an error
        assert ws.poll_events() == [("text", b"x", None, None)]
        core.ws_message(data=b"y")
        assert loop.calls == 1

    def test_callback_inside_start_notifies_on_the_calling_thread(self, core):
        ws = new_ws()
        loop = CountingLoop()
        core.arm("ks_websocket_start")
        core.ws_open(protocol=b"chat", where=ARMED)
        ws.start_async(loop, print)
        assert loop.calls == 1
        assert ws.poll_event() == ("open", b"chat", None, None)

    def test_notifications_coalesce_until_a_poll(self, core):
        ws = new_ws()
        loop = CountingLoop()
        ws.start_async(loop, print)
        for i in range(10):
            core.ws_message(data=b"%d" % i)
        assert loop.calls == 1
        assert len(ws.poll_events()) == 10
        core.ws_message(data=b"next")
        assert loop.calls == 2
        assert ws.poll_event() == ("text", b"next", None, None)
        assert ws.poll_event() is None
        core.ws_closing()
        assert loop.calls == 3

    def test_replacing_the_notifier(self, core):
        ws = new_ws()
        first, second = CountingLoop(), CountingLoop()
        core.push_status("ks_websocket_start", 8)
        with pytest.raises(RuntimeError):
            ws.start_async(first, print)
        ws.start_async(second, print)
        core.ws_message(data=b"x")
        assert (first.calls, second.calls) == (0, 1)

    def test_failing_loop_is_retried_by_the_next_event(self, core):
        class Closed:
            calls = 0

            def call_soon_threadsafe(self, fn):
                Closed.calls += 1
                raise RuntimeError("Event loop is closed")

        ws = new_ws()
        ws.start_async(Closed(), print)
        core.ws_message(data=b"a", where=1)
        core.ws_message(data=b"b", where=1)
        core.wait_idle()
        assert Closed.calls == 2
        assert [e[1] for e in ws.poll_events()] == [b"a", b"b"]

    def test_start_async_arguments(self, core):
        ws = new_ws()
        with pytest.raises(TypeError, match="missing"):
            ws.start_async(CountingLoop())
        ws.start_async(loop_=CountingLoop(), notify=None)
        assert len(core.calls("ks_websocket_start")) == 1
