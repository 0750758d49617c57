"""WebSocket events: tuples, the bounded queue and its overflow, the end of the stream,
faults inside callbacks, and the one release of the Core's reference to the state."""

import gc
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvina_native as cn
from support.loops import CountingLoop

LIMIT_EVENTS = 1024
LIMIT_BYTES = 4194304
BUFFER_LIMIT = ("error", b"", None, "BufferLimit (Chromium net error 0, response 0)")
PANIC = ("error", b"", None, "CallbackPanic (Chromium net error 0, response -1)")
# Bytes around the boundaries of UTF-8 lead and continuation ranges.
UTF8_EDGES = st.lists(
    st.sampled_from(
        [0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
         0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    ),
    max_size=12,
).map(bytes)
TERMINALS = {
    "closed": ("closed", b"", 1000, ""),
    "error": ("error", b"", None, "Network (Chromium net error -100, response 0)"),
}


class Notify:
    def __call__(self):
        pass


def connected():
    ws = cn.PyEngine().websocket("wss://example.test/")
    ws.connect()
    return ws


def drain(ws):
    return ws.poll_events(1 << 20)


class TestTuples:
    def test_every_kind(self, core):
        ws = connected()
        core.ws_open(protocol=b"chat", detail=b"extensions")
        core.ws_message(data=b"\xff\xfe not utf-8", type=1)
        core.ws_message(data=b"\x00\x01", type=2)
        core.ws_message(data=b"odd", type=9)
        core.ws_message(data=b"", type=1)
        core.ws_closing()
        core.ws_closed(code=0x12345 & 0xFFFF, reason=b"bye")
        assert drain(ws) == [
            ("open", b"chat", None, None),
            ("text", b"\xff\xfe not utf-8", None, None),
            ("binary", b"\x00\x01", None, None),
            ("binary", b"odd", None, None),
            ("text", b"", None, None),
            ("closing", b"", None, None),
            ("closed", b"", 0x2345, "bye"),
        ]

    def test_close_code_is_the_low_16_bits(self, core):
        ws = connected()
        core.ws_closed(code=0x10000 + 1001)
        assert ws.poll_event() == ("closed", b"", 1001, "")

    def test_empty_texts(self, core):
        ws = connected()
        core.ws_open(protocol=None, detail=None)
        core.ws_closed(code=1000, reason=None)
        assert drain(ws) == [("open", b"", None, None), ("closed", b"", 1000, "")]

    def test_invalid_utf8_in_texts_is_replaced(self, core):
        ws = connected()
        core.ws_open(protocol=b"p\xffq\xe2\x82", detail=b"\xc0")
        core.ws_closed(code=1000, reason=b"a\xed\xa0\x80b\xf0\x9f\x98")
        assert drain(ws) == [
            ("open", "p\ufffdq\ufffd".encode(), None, None),
            ("closed", b"", 1000, "a\ufffd\ufffd\ufffdb\ufffd"),
        ]

    # The Core object stays the same fixture for every example; each example has its own
    # connection, which is all the test needs.
    @settings(max_examples=300, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(reason=st.binary(max_size=24) | st.text(max_size=8).map(str.encode) | UTF8_EDGES)
    def test_texts_decode_like_the_interpreter(self, core, reason):
        ws = connected()
        core.ws_open(protocol=reason)
        core.ws_closed(code=1000, reason=reason)
        expected = reason.decode("utf-8", "replace")
        assert drain(ws) == [
            ("open", expected.encode(), None, None),
            ("closed", b"", 1000, expected),
        ]

    @pytest.mark.parametrize(
        "status,net,response,text",
        [
            (11, -1, 403, "Protocol (Chromium net error -1, response 403)"),
            (0, -2, 0, "native error 0 (Chromium net error -2, response 0)"),
            (16, 0, -1, "native error 16 (Chromium net error 0, response -1)"),
            (2**32 - 1, -105, 101, "native error -1 (Chromium net error -105, response 101)"),
            (6, -7, 0, "Timeout (Chromium net error -7, response 0)"),
        ],
    )
    def test_error_text(self, core, status, net, response, text):
        ws = connected()
        core.ws_error(status=status, net_error=net, response_code=response, message=b"\xffdesc")
        assert ws.recv() == ("error", b"", None, text)

    def test_poll_limits(self, core):
        ws = connected()
        for i in range(200):
            core.ws_message(data=b"%d" % i)
        assert len(ws.poll_events(0)) == 1
        assert len(ws.poll_events()) == 64
        assert len(ws.poll_events(limit=100)) == 100
        assert [e[1] for e in ws.poll_events(2**32 - 1)] == [b"%d" % i for i in range(165, 200)]
        with pytest.raises(OverflowError, match="^out of range integral type conversion"):
            ws.poll_events(2**32)
        with pytest.raises(OverflowError):
            ws.poll_events(-1)
        with pytest.raises(TypeError, match="^argument 'limit': "):
            ws.poll_events("1")


class TestEndOfStream:
    @pytest.mark.parametrize("terminal", ["closed", "error"])
    def test_after_the_terminal_event(self, core, terminal):
        ws = connected()
        core.ws_message(data=b"last")
        if terminal == "closed":
            core.ws_closed(code=1000)
        else:
            core.ws_error(status=8, net_error=-100)
        assert ws.is_finished() is True  # as soon as it is queued
        assert ws.poll_events() == [("text", b"last", None, None), TERMINALS[terminal]]
        assert ws.poll_event() is None
        assert ws.poll_events() == []
        assert ws.recv() is None

    def test_polls_stop_at_the_terminal_event(self, core):
        core.set_strict(False)
        ws = connected()
        core.ws_closed(code=1000)
        core.ws_message(data=b"too late")
        assert ws.poll_events(10) == [("closed", b"", 1000, "")]
        assert ws.poll_events(10) == []

    def test_events_after_the_end_are_dropped_silently(self, core):
        core.set_strict(False)
        ws = cn.PyEngine().websocket("wss://example.test/")
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.ws_closed(code=1000)
        assert loop.calls == 1
        assert ws.recv() == ("closed", b"", 1000, "")  # leaves the notifier and the flag
        assert ws.poll_events() == []  # clears the flag
        core.ws_message(data=b"dropped")
        core.ws_error(status=8)
        core.ws_closed(code=1001)
        assert loop.calls == 1
        assert ws.poll_events() == [] and ws.recv() is None

    def test_terminal_poll_removes_the_notifier_but_recv_does_not(self, core):
        notify = Notify()
        for use_poll in (True, False):
            ws = cn.PyEngine().websocket("wss://example.test/")
            ws.start_async(CountingLoop(), notify)
            before = sys.getrefcount(notify)
            core.ws_closed(code=1000)
            if use_poll:
                assert ws.poll_event()[0] == "closed"
                assert sys.getrefcount(notify) == before - 1
            else:
                assert ws.recv()[0] == "closed"
                assert sys.getrefcount(notify) == before
            del ws


class TestEventLimit:
    def test_1023_events_then_one_more(self, core):
        ws = connected()
        for _ in range(LIMIT_EVENTS - 1):
            core.ws_closing()
        core.ws_message(data=b"x" * 100)
        got = drain(ws)
        assert len(got) == LIMIT_EVENTS and got[-1] == ("text", b"x" * 100, None, None)
        assert ws.is_finished() is False

    @pytest.mark.parametrize("kind", ["closing", "closed", "error", "message"])
    def test_1024_events_overflow_on_any_next_event(self, core, kind):
        ws = connected()
        for i in range(LIMIT_EVENTS):
            core.ws_message(data=b"%d" % i)
        assert ws.is_finished() is False
        {
            "closing": lambda: core.ws_closing(),
            "closed": lambda: core.ws_closed(code=1000),
            "error": lambda: core.ws_error(status=8),
            "message": lambda: core.ws_message(data=b""),
        }[kind]()
        assert ws.is_finished() is True
        assert drain(ws) == [BUFFER_LIMIT]
        assert drain(ws) == [] and ws.recv() is None

    def test_popping_makes_room(self, core):
        ws = connected()
        for _ in range(LIMIT_EVENTS):
            core.ws_closing()
        assert len(ws.poll_events(1)) == 1
        core.ws_closed(code=1000)
        got = drain(ws)
        assert len(got) == LIMIT_EVENTS and got[-1][0] == "closed"


class TestByteLimit:
    def test_exactly_the_limit_is_kept(self, core):
        ws = connected()
        core.ws_message(data=b"a" * (LIMIT_BYTES - 10))
        core.ws_closed(code=1000, reason=b"r" * 10)
        got = drain(ws)
        assert [e[0] for e in got] == ["text", "closed"]
        assert len(got[0][1]) == LIMIT_BYTES - 10 and got[1][3] == "r" * 10

    def test_one_byte_more_overflows(self, core):
        ws = connected()
        core.ws_message(data=b"a" * LIMIT_BYTES, type=2)
        core.ws_message(data=b"b", type=2)
        core.ws_message(data=b"c", type=2)  # after the end: dropped
        assert drain(ws) == [BUFFER_LIMIT]

    @pytest.mark.parametrize("event", ["open", "closed", "error"])
    def test_texts_count_too(self, core, event):
        ws = connected()
        core.ws_message(data=b"a" * (LIMIT_BYTES - 4))
        if event == "open":
            core.ws_open(protocol=b"ab", detail=b"cde")  # 5 bytes, detail included
        elif event == "closed":
            core.ws_closed(code=1000, reason=b"abcde")
        else:
            core.ws_error(status=8, message=b"abcde")
        assert drain(ws) == [BUFFER_LIMIT]

    def test_replacement_characters_count_as_decoded(self, core):
        ws = connected()
        core.ws_message(data=b"a" * (LIMIT_BYTES - 4))
        core.ws_closed(code=1000, reason=b"\xff\xff")  # two bytes, six once decoded
        assert drain(ws) == [BUFFER_LIMIT]

    def test_closing_events_add_no_bytes(self, core):
        ws = connected()
        core.ws_message(data=b"a" * LIMIT_BYTES)
        for _ in range(LIMIT_EVENTS - 1):
            core.ws_closing()
        assert ws.is_finished() is False
        got = drain(ws)
        assert len(got) == LIMIT_EVENTS and got[-1][0] == "closing"

    def test_popping_frees_bytes(self, core):
        ws = connected()
        core.ws_message(data=b"a" * LIMIT_BYTES)
        core.ws_closing()
        assert ws.poll_event()[0] == "text"
        core.ws_message(data=b"b" * LIMIT_BYTES)
        assert [e[0] for e in drain(ws)] == ["closing", "text"]


class TestCallbackFault:
    @pytest.mark.parametrize(
        "deliver,run",
        [
            ("message", 0),
            ("open_protocol", 0),
            ("open_detail", 1),
            ("closed", 0),
            ("error", 0),
        ],
    )
    def test_absurd_length_is_a_callback_panic(self, core, deliver, run):
        ws = connected()
        core.ws_message(data=b"before")
        core.set_claimed_len(2**31, run)
        {
            "message": lambda: core.ws_message(data=b"x"),
            "open_protocol": lambda: core.ws_open(protocol=b"p", detail=b"d"),
            "open_detail": lambda: core.ws_open(protocol=b"p", detail=b"d"),
            "closed": lambda: core.ws_closed(code=1000, reason=b"r"),
            "error": lambda: core.ws_error(status=8, message=b"m"),
        }[deliver]()
        assert ws.is_finished() is True
        assert drain(ws) == [("text", b"before", None, None), PANIC]
        assert ws.recv() is None

    def test_panic_is_not_subject_to_the_limits(self, core):
        ws = connected()
        for _ in range(LIMIT_EVENTS):
            core.ws_closing()
        core.set_claimed_len(2**40, 0)
        core.ws_message(data=b"x")
        got = drain(ws)
        assert len(got) == LIMIT_EVENTS + 1 and got[-1] == PANIC

    def test_later_events_and_faults_are_dropped(self, core):
        ws = cn.PyEngine().websocket("wss://example.test/")
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.set_claimed_len(2**31, 0)
        core.ws_message(data=b"x")
        assert loop.calls == 1
        assert ws.recv() == PANIC
        assert ws.poll_events() == []
        core.set_claimed_len(2**31, 0)
        core.ws_message(data=b"y")
        core.ws_message(data=b"z")
        assert loop.calls == 1 and ws.poll_events() == []


class TestOverflowNotifies:
    def test_buffer_limit_event_notifies(self, core):
        ws = cn.PyEngine().websocket("wss://example.test/")
        loop = CountingLoop()
        ws.start_async(loop, print)
        core.ws_message(data=b"a" * LIMIT_BYTES)
        assert loop.calls == 1
        assert ws.poll_event()[0] == "text"
        core.ws_message(data=b"a" * LIMIT_BYTES)
        core.ws_message(data=b"b")
        assert loop.calls == 2
        assert ws.poll_events() == [BUFFER_LIMIT]


class TestCoreReference:
    """The state lives while the handle, a connection or the Core refers to it; the loop and
    notify objects of an installed notifier die with it, which shows when it went."""

    def watched(self, core, start_status=0):
        ws = cn.PyEngine().websocket("wss://example.test/")
        notify = Notify()
        ref = weakref.ref(notify)
        if start_status:
            core.push_status("ks_websocket_start", start_status)
            with pytest.raises(RuntimeError):
                ws.start_async(CountingLoop(), notify)
        else:
            ws.start_async(CountingLoop(), notify)
        return ws, ref

    @staticmethod
    def settle(core):
        core.wait_idle()
        cn.PyEngine.abi_version()  # a module entry releases references queued by Core threads
        gc.collect()

    def test_never_started(self, core):
        ws, ref = self.watched(core, start_status=8)
        live = core.live("websocket")
        self.settle(core)
        assert ref() is not None
        del ws
        self.settle(core)
        assert ref() is None
        assert len(core.calls("ks_websocket_release")) == 1
        assert core.live("websocket") == live - 1

    @pytest.mark.parametrize("terminal", ["closed", "error"])
    def test_terminal_callback_then_object_gone(self, core, terminal):
        ws, ref = self.watched(core)
        if terminal == "closed":
            core.ws_closed(code=1000, where=1)
        else:
            core.ws_error(status=8, where=1)
        self.settle(core)
        assert ws.is_finished() and ref() is not None
        del ws
        self.settle(core)
        assert ref() is None

    @pytest.mark.parametrize("terminal", ["closed", "error"])
    def test_terminal_callback_that_faults_still_releases(self, core, terminal):
        # Nothing follows a terminal callback, so its reference must go even on a fault.
        core.set_auto(0)
        ws, ref = self.watched(core)
        core.set_claimed_len(2**31, 0)
        if terminal == "closed":
            core.ws_closed(code=1000, reason=b"r", where=1)
        else:
            core.ws_error(status=8, message=b"m", where=1)
        self.settle(core)
        assert ws.poll_events() == [PANIC]
        del ws
        self.settle(core)
        assert ref() is None

    def test_poll_drops_the_notifier_outside_the_object_lock(self, core):
        # The last reference to notify may run Python code that uses the same connection.
        ws = cn.PyEngine().websocket("wss://example.test/")
        seen = []

        class Reentrant:
            def __call__(self):
                pass

            def __del__(self):
                seen.append(ws.poll_events())

        ws.start_async(CountingLoop(), Reentrant())
        core.ws_closed(code=1000)
        assert ws.poll_events()[-1][0] == "closed"
        assert seen == [[]]

    def test_object_gone_before_the_terminal_callback(self, core):
        ws, ref = self.watched(core)
        core.ws_message(data=b"unread")
        del ws  # the Core answers the release with on_error on its own thread
        self.settle(core)
        assert ref() is None
        assert core.callbacks("on_error")[-1].get("auto")

    def test_object_gone_and_terminal_dropped_by_overflow(self, core):
        core.set_auto(0)
        ws, ref = self.watched(core)
        for _ in range(LIMIT_EVENTS):
            core.ws_closing()
        del ws
        self.settle(core)
        assert ref() is not None  # the Core still owes its terminal callback
        core.ws_closed(code=1000, where=2)  # overflows: dropped, yet the reference goes
        self.settle(core)
        assert ref() is None

    def test_second_terminal_callback_releases_nothing(self, core):
        core.set_strict(False)
        core.set_auto(0)
        ws, ref = self.watched(core)
        core.ws_closed(code=1000)
        core.ws_error(status=8)
        core.ws_closed(code=1001)
        assert ref() is not None
        assert ws.recv() == ("closed", b"", 1000, "")
        del ws
        self.settle(core)
        assert ref() is None

    def test_connection_outlives_its_handle_until_terminal(self, core):
        core.set_auto(0)
        ws, ref = self.watched(core)
        live = core.live("websocket")
        del ws
        self.settle(core)
        assert ref() is not None and core.live("websocket") == live - 1
        core.ws_closed(code=1000, where=1)
        self.settle(core)
        assert ref() is None
