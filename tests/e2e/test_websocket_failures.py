"""How WebSocket connections end through the real Core: closes from either side, refused
and stalled handshakes, broken peers, protocol violations, limits, cancel, proxies."""

import asyncio
import gc
import threading
import time
from urllib.parse import quote

import pytest

import corvina_native as cn

from ws_fixtures import *  # noqa: F401,F403 (fixtures)
from conftest import PROXY_PASSWORD, PROXY_USER
from ws_fixtures import recv_all, run_async, wait_open, watchdog
from ws_servers import free_port

BUFFER_LIMIT = "BufferLimit (Chromium net error 0, response 0)"
CANCELED = "Canceled (Chromium net error -3, response 0)"


def url(peer, path, scheme="ws"):
    return f"{scheme}://127.0.0.1:{peer.port}{path}"


def error(text):
    return [("error", b"", None, text)]


def wait_finished(ws, seconds=20):
    deadline = time.monotonic() + seconds
    while not ws.is_finished() and time.monotonic() < deadline:
        time.sleep(0.02)
    return ws.is_finished()


class TestClose:
    @pytest.mark.parametrize("code,reason", [(1000, ""), (1001, "going away"), (1011, "oops"),
                                             (3000, "x" * 123), (4999, "é")])
    def test_server_close_code_and_reason(self, ws_peer, code, reason):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, f"/close?code={code}&reason={quote(reason)}"))
        wait_open(ws)
        assert recv_all(ws) == [("closing", b"", None, None), ("closed", b"", code, reason)]
        assert ws.recv() is None and ws.is_finished()

    @pytest.mark.parametrize("scheme", ["ws", "wss"])
    def test_our_answer_echoes_the_servers_close(self, ws_peer, wss_peer, ws_tls, scheme):
        peer = ws_peer if scheme == "ws" else wss_peer
        engine = cn.PyEngine(ca_pem=ws_tls["ca_pem"])
        tag = f"echo-close-{scheme}"
        ws = engine.websocket(url(peer, f"/close?code=4100&reason=see+you&tag={tag}", scheme))
        wait_open(ws)
        assert recv_all(ws)[-1] == ("closed", b"", 4100, "see you")
        assert peer.close_of(tag) == (4100, "see you")

    def test_client_close_reaches_the_server_and_ends_sending(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo?tag=client-close"))
        wait_open(ws)
        ws.close(4001, "client bye")
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.send_text("too late")
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.close(1000, "")
        assert recv_all(ws) == [("closed", b"", 4001, "client bye")]
        assert ws_peer.close_of("client-close") == (4001, "client bye")
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.send_bytes(b"after the end")

    @pytest.mark.parametrize("code,reason", [(0, ""), (999, ""), (1004, ""), (1005, ""),
                                             (1006, ""), (1015, ""), (2000, ""), (5000, ""),
                                             (1000, "x" * 124)])
    def test_codes_and_reasons_a_close_frame_may_not_carry(self, ws_peer, code, reason):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo"))
        wait_open(ws)
        with pytest.raises(RuntimeError, match="^InvalidArgument$"):
            ws.close(code, reason)
        ws.send_text("still open")
        with watchdog(ws):
            assert ws.recv() == ("text", b"still open", None, None)
        ws.close(1000, "")

    def test_calls_before_connect_are_refused(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo"))
        for call in (lambda: ws.send_text("x"), lambda: ws.send_bytes(b""),
                     lambda: ws.close(1000, "")):
            with pytest.raises(RuntimeError, match="^InvalidState$"):
                call()
        ws.cancel()  # nothing started: a no-op

    def test_peer_that_never_answers_our_close(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/silent"))
        wait_open(ws)
        ws.close(1000, "anyone?")
        # The Core gives up after its close timeout: an abnormal closure.
        assert recv_all(ws) == [("closed", b"", 1006, "")]


class TestRefused:
    def test_403(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/reject"))
        ws.connect()
        assert recv_all(ws) == error("Protocol (Chromium net error -320, response 403)")

    def test_http_server_that_is_not_a_websocket_server(self, raw_http):
        engine = cn.PyEngine()
        ws = engine.websocket(url(raw_http, "/"))
        ws.connect()
        assert recv_all(ws) == error("Protocol (Chromium net error -320, response 200)")

    def test_nothing_listens(self):
        engine = cn.PyEngine()
        ws = engine.websocket(f"ws://127.0.0.1:{free_port()}/")
        ws.connect()
        assert recv_all(ws) == error("Network (Chromium net error -102, response 0)")

    def test_handshake_timeout(self, raw_silent):
        engine = cn.PyEngine()
        ws = engine.websocket(url(raw_silent, "/"), timeout=0.3)
        ws.connect()
        assert recv_all(ws) == error("Timeout (Chromium net error -7, response 0)")

    def test_bad_arguments_are_refused_at_creation(self, ws_peer):
        engine = cn.PyEngine()
        for kwargs in ({"url": "ftp://127.0.0.1/"}, {"url": "ws://127.0.0.1/#frag"},
                       {"url": url(ws_peer, "/"), "protocols": ["a b"]},
                       {"url": url(ws_peer, "/"), "protocols": ["a", "a"]},
                       {"url": url(ws_peer, "/"), "headers": [("Sec-WebSocket-Key", "x")]},
                       {"url": url(ws_peer, "/"), "headers": [("X-Bad", "a\r\nb")]}):
            with pytest.raises(RuntimeError, match="^InvalidArgument$"):
                engine.websocket(**kwargs)


class TestBrokenPeers:
    def test_peer_vanishes_mid_message(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/vanish"))
        wait_open(ws)
        assert recv_all(ws) == error("Network (Chromium net error -100, response 0)")

    def test_text_that_is_not_utf8_fails_with_1007(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/badutf8?tag=badutf8"))
        wait_open(ws)
        assert recv_all(ws) == error("Protocol (Chromium net error -145, response 0)")
        assert ws_peer.close_of("badutf8")[0] == 1007

    def test_message_above_the_core_limit_fails_with_1009(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, f"/big?n={(64 << 20) + 1}&tag=toobig"))
        wait_open(ws)
        assert recv_all(ws) == error("Protocol (Chromium net error -142, response 0)")
        assert ws_peer.close_of("toobig")[0] == 1009

    def test_slow_reader_hits_the_module_buffer_limit(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/flood?n=3000"))
        ws.connect()  # and read nothing while the peer floods
        assert wait_finished(ws)
        assert recv_all(ws) == error(BUFFER_LIMIT)


class TestCancel:
    def test_cancel_from_another_thread_while_recv_waits(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo"))
        wait_open(ws)
        threading.Timer(0.2, ws.cancel).start()
        assert recv_all(ws) == error(CANCELED)
        with pytest.raises(RuntimeError, match="^InvalidState$"):
            ws.send_text("x")

    def test_cancel_during_the_handshake(self, raw_silent):
        engine = cn.PyEngine()
        ws = engine.websocket(url(raw_silent, "/"))
        ws.connect()
        ws.cancel()
        assert recv_all(ws) == error(CANCELED)

    def test_close_during_the_handshake(self, raw_silent):
        engine = cn.PyEngine()
        ws = engine.websocket(url(raw_silent, "/"))
        ws.connect()
        ws.close(1000, "")
        assert recv_all(ws) == error(CANCELED)

    def test_engine_release_ends_live_connections(self, ws_peer):
        engine = cn.PyEngine()
        sockets = [engine.websocket(url(ws_peer, "/echo")) for _ in range(3)]
        for ws in sockets:
            wait_open(ws)
        del engine
        gc.collect()
        for ws in sockets:
            assert recv_all(ws) == error(CANCELED)

    def test_cancel_from_the_event_loop(self, ws_peer):
        engine = cn.PyEngine()
        ws = engine.websocket(url(ws_peer, "/echo"))

        async def main():
            loop = asyncio.get_running_loop()
            echoed = loop.create_future()

            def notify():
                for event in ws.poll_events():
                    if event[0] == "open":
                        ws.send_text("hello")
                    elif event[0] == "text" and not echoed.done():
                        echoed.set_result(None)

            ws.start_async(loop, notify)
            await asyncio.wait_for(echoed, 20)
            ws.cancel()  # also removes the notifier
            for _ in range(400):
                if ws.is_finished():
                    return ws.poll_events()
                await asyncio.sleep(0.05)
            return []

        assert asyncio.run(main()) == error(CANCELED)

    def test_refused_and_vanished_seen_from_the_event_loop(self, ws_peer):
        engine = cn.PyEngine()
        events = run_async(engine.websocket(url(ws_peer, "/reject")), lambda ws, e: None)
        assert events == error("Protocol (Chromium net error -320, response 403)")
        events = run_async(engine.websocket(url(ws_peer, "/vanish")), lambda ws, e: None)
        assert events == [("open", b"", None, None)] + error(
            "Network (Chromium net error -100, response 0)")


class TestProxy:
    @pytest.mark.parametrize("scheme", ["ws", "wss"])
    def test_echo_through_connect_with_credentials(self, tinyproxy, ws_peer, wss_peer, ws_tls,
                                                   scheme):
        peer = ws_peer if scheme == "ws" else wss_peer
        engine = cn.PyEngine(proxy=f"http://127.0.0.1:{tinyproxy.port}",
                             proxy_username=PROXY_USER, proxy_password=PROXY_PASSWORD,
                             ca_pem=ws_tls["ca_pem"])
        ws = engine.websocket(url(peer, "/echo", scheme))
        wait_open(ws)
        ws.send_text("through the tunnel")
        with watchdog(ws):
            assert ws.recv() == ("text", b"through the tunnel", None, None)
        ws.close(1000, "")
        assert recv_all(ws) == [("closed", b"", 1000, "")]

    def test_wrong_credentials(self, tinyproxy, ws_peer):
        engine = cn.PyEngine(proxy=f"http://127.0.0.1:{tinyproxy.port}",
                             proxy_username=PROXY_USER, proxy_password="wrong")
        ws = engine.websocket(url(ws_peer, "/echo"))
        ws.connect()
        # tinyproxy answers CONNECT with 401 rather than 407; the Core passes it on.
        (event,) = recv_all(ws)
        assert event[3] in ("Proxy (Chromium net error -127, response 407)",
                            "Proxy (Chromium net error -111, response 401)")

    def test_proxy_not_listening(self, ws_peer):
        engine = cn.PyEngine(proxy=f"http://127.0.0.1:{free_port()}")
        ws = engine.websocket(url(ws_peer, "/echo"))
        ws.connect()
        assert recv_all(ws) == error("Proxy (Chromium net error -130, response 0)")

    @pytest.mark.parametrize("scheme", ["ws", "wss"])
    def test_echo_through_socks5(self, socks5, ws_peer, wss_peer, ws_tls, scheme):
        peer = ws_peer if scheme == "ws" else wss_peer
        engine = cn.PyEngine(proxy=f"socks5h://127.0.0.1:{socks5.port}",
                             ca_pem=ws_tls["ca_pem"])
        ws = engine.websocket(url(peer, "/echo", scheme))
        wait_open(ws)
        ws.send_bytes(b"socks")
        with watchdog(ws):
            assert ws.recv() == ("binary", b"socks", None, None)
        ws.close(1000, "")
        assert recv_all(ws) == [("closed", b"", 1000, "")]

    def test_socks5_target_refused(self, socks5):
        engine = cn.PyEngine(proxy=f"socks5://127.0.0.1:{socks5.port}")
        ws = engine.websocket(f"ws://127.0.0.1:{free_port()}/")
        ws.connect()
        assert recv_all(ws) == error("Proxy (Chromium net error -120, response 0)")
