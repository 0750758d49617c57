"""A cancelled request stops the server at once, as a browser's does: over HTTP/2 an RST_STREAM
(CANCEL), over HTTP/3 RESET_STREAM and STOP_SENDING (H3_REQUEST_CANCELLED), each leaving the
connection open for other streams; over HTTP/1.1 the connection closes. The servers send without
end until told to stop."""

import asyncio
import socket
import threading
import time

import pytest

import corvina_native as cn
from conftest import fetch

h2 = pytest.importorskip("h2")
import h2.errors  # noqa: E402
import h2.exceptions  # noqa: E402
from h2script import H2ScriptServer, ok, tls_context  # noqa: E402
from test_http3 import QuicPeer  # noqa: E402

H3_REQUEST_CANCELLED = 0x10C


def until(check, seconds=3.0):
    deadline = time.monotonic() + seconds
    while not check() and time.monotonic() < deadline:
        time.sleep(0.01)
    return check()


async def endless(stream):
    stream.respond(200, end=False)
    while not stream.ended:
        try:
            stream.conn.send_data(stream.id, b"x" * 1024)
            stream.flush()
        except (h2.exceptions.FlowControlError, h2.exceptions.StreamClosedError):
            pass
        await asyncio.sleep(0.005)


def test_an_http2_cancel_resets_the_stream_at_once(tls):
    server = H2ScriptServer(tls_context(tls))
    try:
        engine = cn.PyEngine(http_version="h2", ca_pem=tls["ca_pem"])
        request = engine.request("GET", server.route("/endless", endless), timeout=10)
        assert request.start_stream().status_code == 200
        request.cancel()
        assert until(lambda: server.peers[1][0].reset_code is not None), "no RST_STREAM came"
        assert server.peers[1][0].reset_code == h2.errors.ErrorCodes.CANCEL
        assert fetch(engine, "GET", server.route("/ok", ok), timeout=10)[0] == 200
        assert server.accepted == 1
    finally:
        server.stop()


def test_an_http3_cancel_resets_the_stream_at_once(tls):
    peer = QuicPeer("endless", tls["cert"], tls["key"])
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        request = engine.request("GET", peer.url("/endless"), timeout=10)
        assert request.start_stream().status_code == 200
        request.cancel()
        assert until(lambda: peer.stopped), "neither RESET_STREAM nor STOP_SENDING came"
        assert set(peer.stopped.values()) == {H3_REQUEST_CANCELLED}
        assert fetch(engine, "GET", peer.url("/ok"), timeout=10)[0] == 200
        assert len(peer.resumed) == 1  # one connection
    finally:
        peer.stop()


def test_an_http1_cancel_closes_the_connection_at_once():
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)
    stopped = threading.Event()

    def serve():
        conn, _ = listener.accept()
        with conn:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\n")
            try:
                while True:
                    conn.sendall(b"x" * 65536)
            except OSError:
                stopped.set()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        engine = cn.PyEngine(http_version="h1")
        request = engine.request("GET", f"http://127.0.0.1:{listener.getsockname()[1]}/",
                                 timeout=10)
        assert request.start_stream().status_code == 200
        request.cancel()
        assert stopped.wait(3), "the server went on sending"
    finally:
        listener.close()
        thread.join(5)
