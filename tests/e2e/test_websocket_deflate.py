"""WebSocket compression (permessage-deflate) through the real Core: echo against the
`websockets` server and Node's `ws` with compression on, each parameter they can negotiate, a
server that declines, the offer per profile as it goes on the wire, and servers that cheat."""

import json
import resource
import time
import zlib

import pytest
from websockets.extensions.permessage_deflate import ServerPerMessageDeflateFactory

import corvina_native as cn
from hostile import HANG, HostileServer, WsAccept, ws_close, ws_frame
from ws_fixtures import *  # noqa: F401,F403 (fixtures)
from ws_fixtures import recv_all, run_async_until_closed, wait_open, watchdog
from ws_servers import NodeWsPeer, WsPeer, node_ws_path

TEXT, BINARY, CONT = 1, 2, 0
MiB = 1 << 20
PROTOCOL = "Protocol (Chromium net error -145, response 0)"
BAD_ANSWER = "Protocol (Chromium net error -320, response 101)"
TOO_BIG = "Protocol (Chromium net error -142, response 0)"
BUFFER_LIMIT = "BufferLimit (Chromium net error 0, response 0)"
OFFER_WITH_BITS = b"permessage-deflate; client_max_window_bits"

# Negotiated parameters: (the `websockets` factory's arguments or None where it cannot, Node's
# perMessageDeflate) and what the answer must then carry.
COMBOS = {
    "defaults": ({}, {}, []),
    "server-no-context-takeover": ({"server_no_context_takeover": True},
                                   {"serverNoContextTakeover": True},
                                   ["server_no_context_takeover"]),
    "client-no-context-takeover": ({"client_no_context_takeover": True},
                                   {"clientNoContextTakeover": True},
                                   ["client_no_context_takeover"]),
    "server-window-9": ({"server_max_window_bits": 9}, {"serverMaxWindowBits": 9},
                        ["server_max_window_bits=9"]),
    "client-window-9": ({"client_max_window_bits": 9}, {"clientMaxWindowBits": 9},
                        ["client_max_window_bits=9"]),
    # Beast deflates with 9 for 8, as zlib does: its matches still reach back 250 bytes at most.
    # The `websockets` server refuses 8.
    "windows-8": (None,
                  {"serverMaxWindowBits": 8, "clientMaxWindowBits": 8},
                  ["server_max_window_bits=8", "client_max_window_bits=8"]),
    "all-at-once": ({"server_no_context_takeover": True, "client_no_context_takeover": True,
                     "server_max_window_bits": 10, "client_max_window_bits": 11},
                    {"serverNoContextTakeover": True, "clientNoContextTakeover": True,
                     "serverMaxWindowBits": 10, "clientMaxWindowBits": 11},
                    ["server_no_context_takeover", "client_no_context_takeover",
                     "server_max_window_bits=10", "client_max_window_bits=11"]),
}


class Peer:
    """One compressing echo server, and the extension answer it gave a tagged connection."""

    def __init__(self, kind, combo, workdir):
        py_args, node_opts, self.expected = COMBOS[combo]
        self.kind = kind
        if kind == "websockets" and py_args is None:
            pytest.skip("the websockets server cannot negotiate this")
        if kind == "websockets":
            self.server = WsPeer(extensions=[ServerPerMessageDeflateFactory(**py_args)])
        else:
            if node_ws_path() is None:
                pytest.skip("Node's ws package is not installed")
            self.server = NodeWsPeer(str(workdir), dict(node_opts, threshold=0))

    def url(self, path):
        return f"ws://127.0.0.1:{self.server.port}{path}"

    def open(self, ws):
        """Opens ws to /extensions and returns the server's answer, its first message."""
        wait_open(ws)
        with watchdog(ws):
            return ws.recv()[1].decode()

    def stop(self):
        self.server.stop()


PEERS = ["websockets", "node"]


@pytest.fixture(scope="module", params=PEERS)
def peer(request, ws_workdir):
    server = Peer(request.param, "defaults", ws_workdir)
    yield server
    server.stop()


def message(kind, n):
    """JSON-like text or patterned binary of n bytes: compressible, yet not trivially."""
    if kind == "text":
        row = '{"id": %d, "name": "item", "tags": ["a", "b"]}, '
        text = "".join(row % i for i in range(n // 40 + 1))[:n]
        return text.encode()
    return bytes((i * 7 + i // 251) % 256 for i in range(n))


SIZES = [1, 31, 32, 1000, 65536, MiB]
PAYLOADS = [(k, message(k, n)) for n in SIZES for k in ("text", "binary")]


def send(ws, kind, data):
    ws.send_text(data.decode()) if kind == "text" else ws.send_bytes(data)


def test_echo_blocking(peer):
    engine = cn.PyEngine()
    ws = engine.websocket(peer.url("/extensions"))
    assert peer.open(ws).startswith("permessage-deflate")
    with watchdog(ws):
        for kind, data in PAYLOADS * 2:  # twice: the second round inflates with a warm context
            send(ws, kind, data)
            assert ws.recv()[:2] == (kind, data)
    ws.close(1000, "")
    assert recv_all(ws) == [("closed", b"", 1000, "")]


def test_echo_asyncio(peer):
    replies = []

    def on_event(ws, event):
        if event[0] == "open":
            for kind, data in PAYLOADS:
                send(ws, kind, data)
        elif event[0] in ("text", "binary"):
            replies.append(event[:2])
            if len(replies) == len(PAYLOADS):
                ws.close(1000, "")

    engine = cn.PyEngine()
    ws = engine.websocket(peer.url("/echo"))
    events = run_async_until_closed(ws, on_event)
    assert replies == PAYLOADS
    assert events[-1] == ("closed", b"", 1000, "")


@pytest.mark.parametrize("kind", PEERS)
@pytest.mark.parametrize("combo", list(COMBOS))
def test_negotiated_parameters(kind, combo, ws_workdir):
    server = Peer(kind, combo, ws_workdir)
    try:
        engine = cn.PyEngine()
        ws = engine.websocket(server.url("/extensions"))
        answer = server.open(ws)
        params = [p.strip() for p in answer.split(";")]
        assert params[0] == "permessage-deflate" and set(server.expected) <= set(params[1:])
        # Repeats matter with context takeover on either side; big ones span the window.
        with watchdog(ws):
            for kind_, data in [("text", message("text", 4000))] * 3 + PAYLOADS[-4:]:
                send(ws, kind_, data)
                assert ws.recv()[:2] == (kind_, data)
        ws.close(1000, "")
        assert recv_all(ws) == [("closed", b"", 1000, "")]
    finally:
        server.stop()


@pytest.mark.parametrize("kind", PEERS)
def test_server_that_declines_gets_plain_frames(kind, ws_workdir, ws_peer):
    if kind == "node":
        if node_ws_path() is None:
            pytest.skip("Node's ws package is not installed")
        server = NodeWsPeer(str(ws_workdir))
    else:
        server = ws_peer  # compression off
    try:
        engine = cn.PyEngine()
        ws = engine.websocket(f"ws://127.0.0.1:{server.port}/extensions")
        wait_open(ws)
        with watchdog(ws):
            assert ws.recv()[:2] == ("text", b"")  # no extension agreed
            for kind_, data in PAYLOADS[-2:]:
                send(ws, kind_, data)
                assert ws.recv()[:2] == (kind_, data)
        ws.close(1000, "")
    finally:
        if server is not ws_peer:
            server.stop()


# ---- on the wire, and servers that cheat -------------------------------------------------

@pytest.fixture(scope="module")
def hostile():
    server = HostileServer()
    yield server
    server.stop()


_counter = iter(range(1 << 30))
ACCEPT_DEFLATE = WsAccept(b"Sec-WebSocket-Extensions: permessage-deflate\r\n")


def deflated(data, wbits=15):
    """A message as permessage-deflate sends it: raw deflate, sync flush, trailer removed."""
    z = zlib.compressobj(9, zlib.DEFLATED, -wbits)
    out = z.compress(data) + z.flush(zlib.Z_SYNC_FLUSH)
    assert out.endswith(b"\x00\x00\xff\xff")
    return out[:-4]


def play(hostile, *steps, profile=None, tail=(HANG,)):
    path = hostile.script(f"/deflate-{next(_counter)}", *steps, *tail)
    engine = cn.PyEngine(impersonate=profile) if profile else cn.PyEngine()
    ws = engine.websocket(hostile.url(path, "ws"), timeout=20)
    ws.connect()
    events = recv_all(ws)
    ws.cancel()  # the module may refuse an event before the Core's connection ends
    assert hostile.wait_closed(path)
    (conn,) = hostile.connections_of(path)
    return events, conn


@pytest.mark.parametrize("profile,offer", [
    (None, OFFER_WITH_BITS), ("chrome", OFFER_WITH_BITS), ("chrome_120", OFFER_WITH_BITS),
    ("safari_18", OFFER_WITH_BITS), ("firefox_133", b"permessage-deflate")])
def test_offer_per_profile_on_the_wire(hostile, profile, offer):
    events, conn = play(hostile, WsAccept(), ws_close(1000), profile=profile)
    assert events[-1] == ("closed", b"", 1000, "")
    lines = [line for line in conn.head.split(b"\r\n")
             if line.lower().startswith(b"sec-websocket-extensions:")]
    assert lines == [b"Sec-WebSocket-Extensions: " + offer]


def test_outgoing_messages_compressed_above_the_threshold(hostile):
    path = hostile.script(f"/deflate-out-{next(_counter)}", ACCEPT_DEFLATE, HANG)
    engine = cn.PyEngine()
    ws = engine.websocket(hostile.url(path, "ws"))
    wait_open(ws)
    big, small = message("text", 5000), b"tiny"
    for data in (big, small, big):
        ws.send_text(data.decode())
    (conn,) = hostile.connections_of(path)
    deadline = time.monotonic() + 10
    while len(conn.frames) < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
    ws.cancel()
    first, second, third = conn.frames[:3]
    assert conn.compressed[:3] == [True, False, True]
    inflate = zlib.decompressobj(-15)  # one context: ours is taken over between messages
    assert inflate.decompress(first[1] + b"\x00\x00\xff\xff") == big
    assert second == (TEXT, small)
    assert inflate.decompress(third[1] + b"\x00\x00\xff\xff") == big
    assert len(third[1]) < len(first[1]) < len(big) // 4


def _bomb(n):
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    block, out = bytes(MiB), []
    for _ in range(n // MiB):
        out.append(z.compress(block))
    out.append(z.flush(zlib.Z_SYNC_FLUSH))
    return b"".join(out)[:-4]


@pytest.mark.parametrize("size,outcome,close", [
    (16 * MiB, BUFFER_LIMIT, None),   # the module's 4 MiB queue counts inflated bytes
    (1 << 30, TOO_BIG, 1009),         # the Core's 64 MiB message limit stops the inflating
])
def test_deflate_bomb(hostile, size, outcome, close):
    frame = ws_frame(BINARY, _bomb(size), rsv=4)
    assert len(frame) < size // 500
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    events, conn = play(hostile, ACCEPT_DEFLATE, frame)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    # A BufferLimit replaces what is still queued: "open" too, when the reader comes late.
    assert [e for e in events if e[0] != "open"] == [("error", b"", None, outcome)], events
    assert grown < 256 * MiB, grown
    if close:
        assert conn.close_frame()[0] == close


@pytest.mark.parametrize("name,steps,outcome,close", [
    ("compressed-without-negotiation", [WsAccept(), ws_frame(TEXT, deflated(b"hello"), rsv=4)],
     PROTOCOL, 1002),
    ("rsv1-on-continuation", [ACCEPT_DEFLATE, ws_frame(TEXT, deflated(b"he"), fin=False, rsv=4),
                              ws_frame(CONT, deflated(b"llo"), rsv=4)], PROTOCOL, 1002),
    ("data-that-does-not-inflate", [ACCEPT_DEFLATE, ws_frame(TEXT, b"\xff\xff\xff\xff", rsv=4)],
     PROTOCOL, 1002),
    ("inflates-to-bad-utf8", [ACCEPT_DEFLATE, ws_frame(TEXT, deflated(b"\xc3\x28"), rsv=4)],
     PROTOCOL, 1007),
])
def test_frames_that_fail_the_connection(hostile, name, steps, outcome, close):
    events, conn = play(hostile, *steps)
    assert events[1:] == [("error", b"", None, outcome)], events
    assert conn.close_frame()[0] == close


@pytest.mark.parametrize("profile,answer", [
    ("firefox_133", b"permessage-deflate; client_max_window_bits=10"),  # not offered
    (None, b"permessage-deflate; mystery"),  # the grammar's other cases: test_ws_helpers.cpp
    (None, b"x-webkit-deflate-frame"),
])
def test_answers_that_fail_the_handshake(hostile, profile, answer):
    accept = WsAccept(b"Sec-WebSocket-Extensions: " + answer + b"\r\n")
    events, conn = play(hostile, accept, ws_frame(TEXT, b"never read"), profile=profile)
    assert events == [("error", b"", None, BAD_ANSWER)]
    assert conn.frames == []


def test_answer_over_two_header_lines_is_one_list(hostile):
    accept = WsAccept(b"Sec-WebSocket-Extensions: permessage-deflate\r\n"
                      b"Sec-WebSocket-Extensions: x-other\r\n")
    events, _ = play(hostile, accept)
    assert events == [("error", b"", None, BAD_ANSWER)]
