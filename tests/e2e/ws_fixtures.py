"""Fixtures and helpers for the WebSocket end-to-end tests. Import them with
`from ws_fixtures import *` so pytest sees the fixtures."""

import asyncio
import contextlib
import threading

import pytest
import trustme

from conftest import _need
from ws_servers import NginxWsProxy, NodeWsPeer, RawServer, WsPeer, node_ws_path

__all__ = ["ws_workdir", "ws_tls", "ws_peer", "wss_peer", "node_peer", "nginx_ws", "raw_http",
           "raw_silent", "recv_all", "run_async", "run_async_until_closed", "wait_open",
           "watchdog", "TIMEOUT"]

TIMEOUT = 20  # bound on every wait of a test, in seconds


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


def run_async_until_closed(ws, on_event):
    """run_async, but after our own close() (which removes the notifier) the rest is
    drained by polling until the terminal tuple."""
    async def main():
        loop = asyncio.get_running_loop()
        events = []
        wake = asyncio.Event()

        def notify():
            wake.set()

        ws.start_async(loop, notify)
        deadline = loop.time() + 30
        while loop.time() < deadline:
            batch = ws.poll_events()
            for event in batch:
                events.append(event)
                on_event(ws, event)
                if event[0] in ("closed", "error"):
                    return events
            if not batch:
                wake.clear()
                try:
                    await asyncio.wait_for(wake.wait(), 0.05)
                except asyncio.TimeoutError:
                    pass
        ws.cancel()
        raise AssertionError(f"no terminal event; last: {events[-3:]}")

    return asyncio.run(main())
