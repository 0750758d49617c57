"""Fixtures and helpers for the WebSocket end-to-end tests. Import them with
`from ws_fixtures import *` so pytest sees the fixtures."""

import asyncio
import contextlib
import shutil
import threading

import pytest
import trustme

from ws_servers import (NginxWsProxy, NodeWsPeer, RawServer, Socks5, TinyProxy, WsPeer,
                        node_ws_path)

__all__ = ["ws_workdir", "ws_tls", "ws_peer", "wss_peer", "node_peer", "nginx_ws",
           "ws_proxy", "ws_socks5", "raw_http", "raw_silent", "PROXY_USER", "PROXY_PASSWORD",
           "recv_all", "run_async", "wait_open", "watchdog", "TIMEOUT"]

PROXY_USER, PROXY_PASSWORD = "wsuser", "ws-s3cret"
TIMEOUT = 20  # bound on every wait of a test, in seconds


def _need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")


@pytest.fixture(scope="session")
def ws_workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("ws")


@pytest.fixture(scope="session")
def ws_tls(ws_workdir):
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    cert_file, key_file = ws_workdir / "ws-server.pem", ws_workdir / "ws-server.key"
    cert.private_key_and_cert_chain_pem.write_to_path(str(cert_file))
    cert.private_key_pem.write_to_path(str(key_file))
    server_ctx = __import__("ssl").SSLContext(__import__("ssl").PROTOCOL_TLS_SERVER)
    cert.configure_cert(server_ctx)
    return {"ca_pem": ca.cert_pem.bytes(), "cert": str(cert_file), "key": str(key_file),
            "server_ctx": server_ctx}


@pytest.fixture(scope="session")
def ws_peer():
    server = WsPeer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def wss_peer(ws_tls):
    server = WsPeer(ssl_context=ws_tls["server_ctx"])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def node_peer(ws_workdir):
    if node_ws_path() is None:
        pytest.skip("Node's ws package is not installed")
    server = NodeWsPeer(str(ws_workdir))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def nginx_ws(ws_workdir, ws_tls, ws_peer):
    _need("nginx")
    root = ws_workdir / "nginx"
    root.mkdir()
    server = NginxWsProxy(str(root), ws_peer.port, ws_tls["cert"], ws_tls["key"])
    yield server
    server.stop()


@pytest.fixture(scope="session")
def ws_proxy(ws_workdir):
    _need("tinyproxy")
    root = ws_workdir / "tinyproxy"
    root.mkdir()
    server = TinyProxy(str(root), PROXY_USER, PROXY_PASSWORD)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def ws_socks5(ws_workdir):
    _need("danted")
    root = ws_workdir / "danted"
    root.mkdir()
    try:
        server = Socks5(str(root))
    except RuntimeError as exc:
        pytest.skip(f"SOCKS5 proxy did not start: {exc}")
    yield server
    server.stop()


@pytest.fixture(scope="session")
def raw_http():
    server = RawServer("http")
    yield server
    server.stop()


@pytest.fixture(scope="session")
def raw_silent():
    server = RawServer("silent")
    yield server
    server.stop()


@contextlib.contextmanager
def watchdog(ws, seconds=TIMEOUT):
    """Cancels ws if the block takes longer than `seconds`, so a blocking recv cannot hang
    the run; the test then fails on the Canceled error it sees."""
    timer = threading.Timer(seconds, ws.cancel)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


def wait_open(ws):
    """connect() and the "open" tuple; returns the selected protocol."""
    ws.connect()
    with watchdog(ws):
        event = ws.recv()
    assert event[0] == "open", event
    return event[1].decode()


def recv_all(ws):
    """Every remaining tuple from blocking recv until it returns None."""
    events = []
    with watchdog(ws):
        while (event := ws.recv()) is not None:
            events.append(event)
    return events


def run_async(ws, on_event, timeout=TIMEOUT):
    """Drives ws from an asyncio loop through start_async and poll_events. on_event(ws,
    event) is called for each tuple on the loop; returns every tuple once the terminal one
    arrived."""

    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        events = []

        def notify():
            for event in ws.poll_events():
                events.append(event)
                on_event(ws, event)
                if event[0] in ("closed", "error") and not done.done():
                    done.set_result(None)

        ws.start_async(loop, notify)
        await asyncio.wait_for(done, timeout)
        return events

    return asyncio.run(main())
