"""Raw non-ASCII in a URL goes out percent-encoded as UTF-8, as browsers send it: in the request
line over HTTP/1.1, in :path over HTTP/2, in a redirect's next request and in a WebSocket
handshake; an escape already present stays as it is. The servers record what arrived."""

import itertools

import pytest

import corvina_native as cn
from conftest import fetch
from h2script import H2ScriptServer, ok, tls_context
from hostile import CLOSE, HANG, HostileServer, WsAccept

TIMEOUT = 5
OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
_counter = itertools.count()

# (as the caller writes it, as it must arrive); {n} keeps each test's paths apart
CASES = {
    "latin": ("/get{n}?u=\u00e9t\u00e9", "/get{n}?u=%C3%A9t%C3%A9"),
    "cjk": ("/\u6f22{n}?q=\u6f22", "/%E6%BC%A2{n}?q=%E6%BC%A2"),
    "emoji": ("/e{n}/\U0001F600", "/e{n}/%F0%9F%98%80"),
    "escaped": ("/a%20b{n}?c=%20", "/a%20b{n}?c=%20"),
}


@pytest.fixture(scope="module")
def hostile():
    server = HostileServer()
    yield server
    server.stop()


def paths(case):
    n = next(_counter)
    raw, wire = CASES[case]
    return raw.format(n=n), wire.format(n=n)


@pytest.mark.parametrize("case", CASES)
def test_http1_request_line(hostile, case):
    raw, wire = paths(case)
    hostile.script(wire, OK)
    assert fetch(cn.PyEngine(), "GET", hostile.url(raw), timeout=TIMEOUT)[2] == b"ok"


@pytest.mark.parametrize("case", CASES)
def test_http2_path(tls, case):
    raw, wire = paths(case)
    server = H2ScriptServer(tls_context(tls))
    try:
        server.route(wire.split("?")[0], ok)
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        assert fetch(engine, "GET", server.url(raw), timeout=TIMEOUT)[2] == b"ok"
        assert server.paths() == [wire]
    finally:
        server.stop()


@pytest.mark.parametrize("case", CASES)
def test_redirect_target(hostile, case):
    raw, wire = paths(case)
    start = hostile.script(f"/start{next(_counter)}", b"HTTP/1.1 302 Found\r\nLocation: " +
                           raw.encode() + b"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                           CLOSE)
    hostile.script(wire, OK)
    status, _, body, hops = fetch(cn.PyEngine(), "GET", hostile.url(start), timeout=TIMEOUT)
    assert (status, body) == (200, b"ok")
    assert hostile.url(wire) in hops[0]  # the hop reports the URL it went to


@pytest.mark.parametrize("case", CASES)
def test_websocket_handshake(hostile, case):
    raw, wire = paths(case)
    hostile.script(wire, WsAccept(), HANG)
    engine = cn.PyEngine()
    ws = engine.websocket(hostile.url(raw, "ws"), timeout=TIMEOUT)
    ws.connect()
    assert ws.recv() == ("open", b"", None, None)
    ws.cancel()
