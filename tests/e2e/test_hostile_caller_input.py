"""Header injection from the caller: request methods, URLs, header names and values, and the
WebSocket equivalents, carrying CR, LF or NUL. The module passes the text through; the real
Core refuses it at creation (status 1), before anything reaches the network."""

import pytest

import corvina_native as cn
from hostile import HANG, HostileServer

BAD = ["\r", "\n", "\0", "\r\n", "\r\nX-Injected: 1", "\0tail"]


@pytest.fixture(scope="module")
def server():
    s = HostileServer()
    s.script("/ok", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", HANG)
    yield s
    s.stop()


def refused(create):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        create()


@pytest.mark.parametrize("bad", BAD, ids=repr)
def test_requests_carrying_control_characters_are_refused(server, engine, bad):
    url = server.url("/ok")
    refused(lambda: engine.request("GET" + bad, url))
    refused(lambda: engine.request(bad + "GET", url))
    refused(lambda: engine.request("GET", url + bad))
    refused(lambda: engine.request("GET", url + "?q=" + bad + "x"))
    refused(lambda: engine.request("GET", server.url("/ok" + bad + "more")))
    refused(lambda: engine.request("GET", url, headers=[("X-Name" + bad, "v")]))
    refused(lambda: engine.request("GET", url, headers=[("X-Name", "v" + bad)]))
    refused(lambda: engine.request("GET", url, headers=[("X-Name", bad + "v")]))
    refused(lambda: engine.request("GET", url, headers=[("Host", "h" + bad)]))


@pytest.mark.parametrize("bad", BAD, ids=repr)
def test_websockets_carrying_control_characters_are_refused(server, engine, bad):
    url = server.url("/ok", "ws")
    refused(lambda: engine.websocket(url + bad))
    refused(lambda: engine.websocket(url, headers=[("X-Name" + bad, "v")]))
    refused(lambda: engine.websocket(url, headers=[("X-Name", "v" + bad)]))
    refused(lambda: engine.websocket(url, origin="http://a" + bad))
    refused(lambda: engine.websocket(url, protocols=["chat" + bad]))


def test_nothing_refused_reached_the_server_and_clean_requests_still_work(server, engine):
    request = engine.request("GET", server.url("/ok"), headers=[("X-Fine", "tab\tand space")])
    assert request.start_stream().status_code == 200
    assert request.read_body() == b"ok"
    heads = [c.head for c in server.connections_of("/ok")]
    assert heads and all(b"X-Injected" not in h and b"\0" not in h for h in heads)
    assert b"X-Fine: tab\tand space\r\n" in heads[-1]
