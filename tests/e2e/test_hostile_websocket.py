"""WebSocket protocol violations from a scripted peer, through the real Core, in the manner of
the client-facing cases of the public Autobahn suite: framing, reserved bits, opcodes,
fragmentation, control frames, UTF-8 and close codes. Each must end the connection with a
protocol error (and our close frame with the right code) or be handled as the RFC says."""

import asyncio
import threading

import pytest

import corvina_native as cn
from hostile import ABORT, HANG, HostileServer, Sleep, WsAccept, ws_close, ws_frame

TIMEOUT = 20
PROTOCOL = [("error", b"", None, "Protocol (Chromium net error -145, response 0)")]
TEXT, BINARY, CONT, CLOSE_OP, PING, PONG = 1, 2, 0, 8, 9, 10


@pytest.fixture(scope="module")
def peer():
    server = HostileServer()
    yield server
    server.stop()


_counter = iter(range(1 << 30))


def events_blocking(engine, url):
    ws = engine.websocket(url, timeout=TIMEOUT)
    ws.connect()
    events = []
    timer = threading.Timer(TIMEOUT, ws.cancel)
    timer.daemon = True
    timer.start()
    try:
        while (event := ws.recv()) is not None:
            events.append(event)
    finally:
        timer.cancel()
    return events


def events_async(engine, url):
    ws = engine.websocket(url, timeout=TIMEOUT)

    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        events = []

        def notify():
            for event in ws.poll_events():
                events.append(event)
                if event[0] in ("closed", "error") and not done.done():
                    done.set_result(None)

        ws.start_async(loop, notify)
        try:
            await asyncio.wait_for(done, TIMEOUT)
        finally:
            ws.cancel()
        return events

    return asyncio.run(main())


def play(peer, mode, name, *frames, tail=(HANG,)):
    """Runs the script: handshake, frames, then the tail. Returns (events after open, the
    peer's record of the connection)."""
    path = peer.script(f"/{name}-{next(_counter)}", WsAccept(), *frames, *tail)
    engine = cn.PyEngine()
    run = events_blocking if mode == "blocking" else events_async
    events = run(engine, peer.url(path, "ws"))
    assert events[0] == ("open", b"", None, None), events
    assert peer.wait_closed(path), "the connection outlived the WebSocket"
    (conn,) = peer.connections_of(path)
    return events[1:], conn


MODES = ["blocking", "async"]

# (Autobahn-like case, frames) -> the client fails the connection and closes with `code`.
VIOLATIONS = [
    # 3.x: reserved bits without a negotiated extension.
    ("3.1-rsv1-text", [ws_frame(TEXT, b"hello", rsv=4)], 1002),
    ("3.2-rsv2-text", [ws_frame(TEXT, b"hello", rsv=2)], 1002),
    ("3.3-rsv3-after-good-text", [ws_frame(TEXT, b"ok"), ws_frame(TEXT, b"x", rsv=1)], 1002),
    ("3.6-rsv-on-binary", [ws_frame(BINARY, b"\x00\xff", rsv=6)], 1002),
    ("3.7-rsv-on-ping", [ws_frame(PING, b"p", rsv=7)], 1002),
    # 4.x: opcodes that are not defined.
    ("4.1.1-opcode-3", [ws_frame(3)], 1002),
    ("4.1.2-opcode-4-with-payload", [ws_frame(4, b"reserved")], 1002),
    ("4.2.1-opcode-11", [ws_frame(11)], 1002),
    ("4.2.5-opcode-15-after-text", [ws_frame(TEXT, b"ok"), ws_frame(15, b"x")], 1002),
    # 5.x: fragmentation.
    ("5.1-fragmented-ping", [ws_frame(PING, b"frag", fin=False), ws_frame(CONT, b"ment")],
     1002),
    ("5.2-fragmented-pong", [ws_frame(PONG, b"frag", fin=False), ws_frame(CONT, b"ment")],
     1002),
    ("5.9-continuation-without-start", [ws_frame(CONT, b"orphan")], 1002),
    ("5.18-text-inside-fragmented-text",
     [ws_frame(TEXT, b"first", fin=False), ws_frame(TEXT, b"second")], 1002),
    # 2.x: control frames over 125 bytes.
    ("2.5-ping-126-bytes", [ws_frame(PING, b"p" * 126)], 1002),
    # A server must not mask its frames.
    ("masked-server-frame", [bytes([0x81, 0x85, 1, 2, 3, 4]) + bytes(
        c ^ (1, 2, 3, 4)[i % 4] for i, c in enumerate(b"hello"))], 1002),
    # 6.x: invalid UTF-8 in a text message, whole, split over fragments, or at its end.
    ("6.3.1-invalid-utf8", [ws_frame(TEXT, "κόσμε".encode() + b"\xed\xa0\x80edited")], 1007),
    ("6.4.1-invalid-across-fragments",
     [ws_frame(TEXT, "κόσμε".encode(), fin=False), ws_frame(CONT, b"\xf4\x90\x80\x80", fin=False),
      ws_frame(CONT, b"edited")], 1007),
    ("6.6.x-truncated-sequence", [ws_frame(TEXT, b"abc\xce")], 1007),
    ("6.x-overlong", [ws_frame(TEXT, b"\xc0\xaf")], 1007),
    # 7.x: close frames the peer may not send.
    ("7.3.2-close-one-byte", [bytes([0x88, 0x01, 0x03])], 1002),
    ("7.5.1-close-reason-not-utf8", [ws_close(1000, b"\xce\xba\xe1\xbd\xb9\xcf\x83\xce\xbc\xce"
                                                  b"\xb5\xed\xa0\x80")], (1002, 1007)),
] + [(f"7.9.x-close-code-{code}", [ws_close(code)], 1002)
     for code in (0, 999, 1004, 1005, 1006, 1016, 1100, 2000, 2999, 5000, 65535)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name,frames,code", VIOLATIONS, ids=[v[0] for v in VIOLATIONS])
def test_violation_fails_the_connection(peer, mode, name, frames, code):
    events, conn = play(peer, mode, name, *frames)
    close = conn.close_frame()
    # A valid message before the violation is delivered; nothing after it is.
    delivered = [e for e in events if e[0] != "error"]
    assert all(e == ("text", b"ok", None, None) for e in delivered), events
    assert events[len(delivered):] == PROTOCOL
    assert close is not None and close[0] in (code if isinstance(code, tuple) else (code,)), close


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("code", [1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012,
                                  1013, 1014, 3000, 3999, 4000, 4999])
def test_valid_close_codes_are_echoed(peer, mode, code):
    # 7.7.x: every code a peer may send ends the connection cleanly with that code.
    events, conn = play(peer, mode, f"close-{code}", ws_close(code, b"bye"))
    assert events == [("closing", b"", None, None), ("closed", b"", code, "bye")]
    assert conn.close_frame() == (code, b"bye")


@pytest.mark.parametrize("mode", MODES)
def test_ping_is_answered_and_fragments_are_joined(peer, mode):
    # 2.2, 5.6, 5.15-like: a ping between the fragments of a text message is answered with
    # the same payload, and the fragments arrive as one message.
    events, conn = play(
        peer, mode, "ping-fragments",
        ws_frame(TEXT, "frag".encode(), fin=False), ws_frame(PING, b"\x00\xffpayload"),
        ws_frame(CONT, b"-ment", fin=False), ws_frame(CONT, "é".encode()),
        ws_frame(BINARY, b""), Sleep(0.2), ws_close(1000))
    assert events == [("text", "frag-menté".encode(), None, None), ("binary", b"", None, None),
                      ("closing", b"", None, None), ("closed", b"", 1000, "")]
    assert (PONG, b"\x00\xffpayload") in conn.frames
    assert conn.close_frame() == (1000, b"")


@pytest.mark.parametrize("mode", MODES)
def test_close_without_code_is_clean_with_1005(peer, mode):
    # 7.3.1: an empty close frame.
    events, conn = play(peer, mode, "close-empty", ws_close())
    assert events == [("closing", b"", None, None), ("closed", b"", 1005, "")]
    assert conn.close_frame() == (None, b"")


@pytest.mark.parametrize("mode", MODES)
def test_peer_vanishes_without_a_close_frame(peer, mode):
    events, conn = play(peer, mode, "vanish", ws_frame(TEXT, b"ok"), tail=(ABORT,))
    assert events == [("text", b"ok", None, None),
                      ("error", b"", None, "Network (Chromium net error -100, response 0)")]
    assert conn.close_frame() is None


def test_peer_that_never_answers_our_close(peer):
    path = peer.script(f"/mute-{next(_counter)}", WsAccept(), HANG)
    engine = cn.PyEngine()
    ws = engine.websocket(peer.url(path, "ws"))
    ws.connect()
    assert ws.recv() == ("open", b"", None, None)
    ws.close(4000, "hello?")
    assert events_tail(ws) == [("closed", b"", 1006, "")]
    assert peer.wait_closed(path)
    (conn,) = peer.connections_of(path)
    assert conn.close_frame() == (4000, b"hello?")


def events_tail(ws):
    timer = threading.Timer(TIMEOUT, ws.cancel)
    timer.daemon = True
    timer.start()
    events = []
    try:
        while (event := ws.recv()) is not None:
            events.append(event)
    finally:
        timer.cancel()
    return events


def test_bad_handshake_answers(peer):
    engine = cn.PyEngine()
    cases = [
        (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         b"Sec-WebSocket-Accept: d3Jvbmc=\r\n\r\n", 101),
        (b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n\r\n", 101),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200),
    ]
    for i, (answer, status) in enumerate(cases):
        path = peer.script(f"/bad-handshake-{i}-{next(_counter)}", answer, HANG)
        ws = engine.websocket(peer.url(path, "ws"), timeout=TIMEOUT)
        ws.connect()
        assert events_tail(ws) == [
            ("error", b"", None, f"Protocol (Chromium net error -320, response {status})")]
        assert peer.wait_closed(path)
