"""WebSocket traffic through the real Core against peers we did not write: the `websockets`
server in clear and over TLS, Node's `ws`, and nginx in front of them."""

import hashlib
import json

import pytest

import corvina_native as cn

from ws_fixtures import *  # noqa: F401,F403 (fixtures)
from ws_fixtures import recv_all, run_async, run_async_until_closed, wait_open, watchdog

SIZES = [0, 125, 126, 65535, 65536]
BUFFER_LIMIT = "BufferLimit (Chromium net error 0, response 0)"


def url(peer, path, scheme="ws"):
    return f"{scheme}://127.0.0.1:{peer.port}{path}"


def echo_round(ws, payloads):
    """Sends each (kind, bytes) and reads its echo with blocking recv."""
    got = []
    with watchdog(ws):
        for kind, data in payloads:
            (ws.send_text(data.decode()) if kind == "text" else ws.send_bytes(data))
            got.append(ws.recv()[:2])
    return got


def payloads():
    out = []
    for n in SIZES:
        out.append(("text", ("é" * (n // 2) + "a" * (n % 2)).encode()))
        out.append(("binary", bytes(i % 251 for i in range(n))))
    return out


class TestBlocking:
    def test_echo_every_frame_length_class(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo"))
        assert wait_open(ws) == ""
        sent = payloads()
        assert echo_round(ws, sent) == sent
        ws.close(1000, "done")
        assert recv_all(ws) == [("closed", b"", 1000, "done")]
        assert ws.is_finished()

    def test_sixteen_mib_reaches_the_peer_intact(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/digest"))
        wait_open(ws)
        big = bytes(range(256)) * (1 << 16)
        text = "ü" * (1 << 23)
        ws.send_bytes(big)
        ws.send_text(text)
        with watchdog(ws):
            first, second = ws.recv(), ws.recv()
        assert first[1].decode() == f"binary {len(big)} {hashlib.sha256(big).hexdigest()}"
        encoded = text.encode()
        assert second[1].decode() == f"text {len(encoded)} {hashlib.sha256(encoded).hexdigest()}"
        ws.close(1000, "")

    def test_sixteen_mib_message_exceeds_the_module_queue(self, ws_peer):
        # One event above the module's 4 MiB queue becomes the BufferLimit error: the Core
        # delivered it whole, the module refused to hold it.
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, f"/big?n={16 << 20}"))
        wait_open(ws)
        assert recv_all(ws) == [("error", b"", None, BUFFER_LIMIT)]

    def test_message_just_under_the_queue_limit_arrives(self, ws_peer):
        n = (4 << 20) - 4096
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, f"/big?n={n}"))
        wait_open(ws)
        with watchdog(ws):
            assert ws.recv() == ("binary", b"\xab" * n, None, None)
        ws.close(1000, "")

    def test_burst_of_ten_thousand_each_way(self, ws_peer):
        engine = cn.PyEngine()
        # Bursts of 1000: the module queues at most 1024 events, and a reader slower than
        # the peer would see BufferLimit (tested with the failures).
        ws = engine.websocket(url(ws_peer, "/flood?n=10000&window=1000"))
        wait_open(ws)
        received = []
        with watchdog(ws):
            for i in range(10000):
                if i and i % 1000 == 0:
                    ws.send_text("more")
                received.append(ws.recv())
        assert [e[1] for e in received] == [f"m{i}".encode() for i in range(10000)]
        ws.close(1000, "")
        assert recv_all(ws)[-1][0] == "closed"

        # 10000 writes in flight in the Core's queue at once, in order.
        ws = engine.websocket(url(ws_peer, "/tally"))
        wait_open(ws)
        digest = hashlib.sha256()
        for i in range(10000):
            data = i.to_bytes(4, "big")
            digest.update(data)
            ws.send_bytes(data)
        ws.send_text("end")
        with watchdog(ws):
            assert ws.recv() == ("text", f"10000 {digest.hexdigest()}".encode(), None, None)
        ws.close(1000, "")

    def test_fragmented_message_is_reassembled_and_pings_are_answered(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/fragments"))
        wait_open(ws)
        with watchdog(ws):
            assert ws.recv() == ("text", b"alpha-beta-gamma", None, None)
        ws.close(1000, "")
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/ping"))
        wait_open(ws)
        with watchdog(ws):
            assert ws.recv() == ("text", b"pong", None, None)
        ws.close(1000, "")


class TestHandshakeRequest:
    def test_protocol_origin_and_headers_as_the_server_saw_them(self, ws_peer):
        engine = cn.PyEngine(user_agent="ws-agent/1", accept_language="fr")
        ws = engine.websocket(url(ws_peer, "/headers?x=1"), origin="https://app.example",
                              headers=[("X-One", "1"), ("X-Two", "2"), ("X-Three", "3"),
                                       ("X-Two", "again")],
                              protocols=["nope", "superchat", "chat"])
        assert wait_open(ws) == "chat"  # the server's preference among those offered
        with watchdog(ws):
            seen = json.loads(ws.recv()[1])
        assert seen["subprotocol"] == "chat"
        headers = [(k.lower(), v) for k, v in seen["headers"]]
        assert ("origin", "https://app.example") in headers
        assert ("user-agent", "ws-agent/1") in headers
        assert ("accept-language", "fr") in headers
        assert ("sec-websocket-protocol", "nope, superchat, chat") in headers
        extras = [h for h in headers if h[0].startswith("x-")]
        # Distinct names keep their order; a repeated name keeps its values' order next to
        # its first occurrence (the HTTP field order that carries meaning).
        assert extras == [("x-one", "1"), ("x-two", "2"), ("x-two", "again"), ("x-three", "3")]
        ws.close(1000, "")

    def test_no_origin_when_empty_and_profile_headers(self, ws_peer):
        engine = cn.PyEngine(impersonate="chrome")
        ws = engine.websocket(url(ws_peer, "/headers"))
        assert wait_open(ws) == ""
        with watchdog(ws):
            seen = json.loads(ws.recv()[1])
        names = [k.lower() for k, _ in seen["headers"]]
        assert "origin" not in names and "sec-websocket-protocol" not in names
        ua = dict((k.lower(), v) for k, v in seen["headers"])["user-agent"]
        assert "Chrome/" in ua
        assert seen["subprotocol"] is None
        ws.close(1000, "")

    def test_caller_header_replaces_the_default(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/headers"),
                                     headers=[("User-Agent", "mine/2")])
        wait_open(ws)
        with watchdog(ws):
            seen = json.loads(ws.recv()[1])
        agents = [v for k, v in seen["headers"] if k.lower() == "user-agent"]
        assert agents == ["mine/2"]
        ws.close(1000, "")


class TestAsync:
    def test_echo_sizes_from_the_event_loop(self, ws_peer):
        sent = payloads()
        replies = []

        def on_event(ws, event):
            if event[0] == "open":
                for kind, data in sent:
                    (ws.send_text(data.decode()) if kind == "text" else ws.send_bytes(data))
            elif event[0] in ("text", "binary"):
                replies.append(event[:2])
                if len(replies) == len(sent):
                    ws.close(4000, "async bye")

        engine = cn.PyEngine()

        ws = engine.websocket(url(ws_peer, "/echo?tag=async-echo"))
        events = run_async_until_closed(ws, on_event)
        assert replies == sent
        assert events[-1] == ("closed", b"", 4000, "async bye")
        assert ws_peer.close_of("async-echo") == (4000, "async bye")

    def test_burst_from_the_event_loop(self, ws_peer):
        def on_event(ws, event):
            if event == ("text", b"m9999", None, None):
                ws.close(1000, "")
            elif event[0] == "text" and int(event[1][1:]) % 1000 == 999:
                ws.send_text("more")

        engine = cn.PyEngine()

        ws = engine.websocket(url(ws_peer, "/flood?n=10000&window=1000"))
        events = run_async_until_closed(ws, on_event)
        texts = [e[1] for e in events if e[0] == "text"]
        assert texts == [f"m{i}".encode() for i in range(10000)]

    def test_server_close_code_reaches_the_loop(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/close?code=4321&reason=server+says+no"))
        events = run_async(ws, lambda ws, e: None)
        assert [e[0] for e in events] == ["open", "closing", "closed"]
        assert events[-1] == ("closed", b"", 4321, "server says no")


class TestTls:
    def test_wss_echo_with_the_test_ca(self, wss_peer, ws_tls):
        engine = cn.PyEngine(ca_pem=ws_tls["ca_pem"])
        ws = engine.websocket(url(wss_peer, "/echo", "wss"))
        wait_open(ws)
        sent = payloads()
        assert echo_round(ws, sent) == sent
        ws.close(1000, "tls done")
        assert recv_all(ws) == [("closed", b"", 1000, "tls done")]

    @pytest.mark.parametrize("profile", ["chrome", "firefox_133", "safari_18"])
    def test_wss_with_a_browser_profile(self, wss_peer, ws_tls, profile):
        engine = cn.PyEngine(ca_pem=ws_tls["ca_pem"], impersonate=profile)
        ws = engine.websocket(url(wss_peer, "/headers", "wss"))
        wait_open(ws)
        with watchdog(ws):
            seen = json.loads(ws.recv()[1])
        names = [k.lower() for k, _ in seen["headers"]]
        assert "user-agent" in names and "upgrade-insecure-requests" not in names
        ws.close(1000, "")

    def test_untrusted_certificate_fails_unless_verification_is_off(self, wss_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(wss_peer, "/echo", "wss"))
        ws.connect()
        (event,) = recv_all(ws)
        assert event[0] == "error" and event[3].startswith("Tls (Chromium net error -202,")
        engine = cn.PyEngine(verify=False)
        ws = engine.websocket(url(wss_peer, "/echo", "wss"))
        wait_open(ws)
        assert echo_round(ws, [("text", b"x")]) == [("text", b"x")]
        ws.close(1000, "")

    def test_wrong_host_name_is_refused(self, wss_peer, ws_tls):
        # The certificate names 127.0.0.1 and localhost; ::1 is not in it.
        engine = cn.PyEngine(ca_pem=ws_tls["ca_pem"])
        ws = engine.websocket(
            f"wss://127.0.0.2:{wss_peer.port}/echo")
        ws.connect()
        (event,) = recv_all(ws)
        assert event[0] == "error"
        assert event[3].startswith(("Tls (Chromium net error -200,", "Network"))


class TestOtherPeers:
    def test_node_ws_echo_protocol_and_close(self, node_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(node_peer, "/"), protocols=["chat", "superchat"])
        assert wait_open(ws) == "superchat"
        sent = payloads()
        assert echo_round(ws, sent) == sent
        ws.close(3001, "from client")
        assert recv_all(ws) == [("closed", b"", 3001, "from client")]
        engine = cn.PyEngine()
        ws = engine.websocket(url(node_peer, "/close"))
        wait_open(ws)
        assert recv_all(ws) == [("closing", b"", None, None),
                                ("closed", b"", 4002, "node says bye")]

    @pytest.mark.parametrize("scheme", ["ws", "wss"])
    def test_through_nginx(self, nginx_ws, ws_tls, scheme):
        port = nginx_ws.port if scheme == "ws" else nginx_ws.tls_port
        engine = cn.PyEngine(ca_pem=ws_tls["ca_pem"])
        ws = engine.websocket(f"{scheme}://127.0.0.1:{port}/echo")
        wait_open(ws)
        sent = payloads()
        assert echo_round(ws, sent) == sent
        ws.close(1000, "via nginx")
        assert recv_all(ws) == [("closed", b"", 1000, "via nginx")]

    def test_nginx_page_is_not_a_websocket(self, nginx_ws):
        engine = cn.PyEngine()
        ws = engine.websocket(f"ws://127.0.0.1:{nginx_ws.port}/plain")
        ws.connect()
        assert recv_all(ws) == [
            ("error", b"", None, "Protocol (Chromium net error -320, response 200)")]
