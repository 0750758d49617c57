"""An event loop closed while its requests and WebSockets are in flight, in this process: the
Core's threads keep calling the notifiers of the dead loop, and nothing may escape (no
unraisable exception, no loop or thread exception), nothing may leak (the loop and the
notify callables are released once the objects go), and the requests still finish or fail
cleanly when consumed from blocking code afterwards."""

import asyncio
import gc
import sys
import threading
import time
import weakref

import pytest

from hostile import HANG, HostileServer, Sleep, WsAccept, ws_frame

TIMEOUT = 10
CHUNKS = 40
BODY = b"x" * CHUNKS


@pytest.fixture
def server():
    s = HostileServer()
    # Connection: close and no close from the server: the client has to end each connection.
    chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
    # The body keeps coming for about half a second after the loop is closed.
    s.script("/drip", chunked, *[f for _ in range(CHUNKS) for f in (b"1\r\nx\r\n", Sleep(0.015))],
             b"0\r\n\r\n", HANG)
    s.script("/ok", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok",
             HANG)
    s.script("/ticks", WsAccept(), *[f for i in range(20)
                                     for f in (ws_frame(1, b"tick %d" % i), Sleep(0.02))], HANG)
    yield s
    s.stop()


@pytest.fixture
def escapes(monkeypatch):
    """Everything that reaches the unraisable hook or a thread's excepthook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(("unraisable", u.exc_value)))
    monkeypatch.setattr(threading, "excepthook", lambda a: seen.append(("thread", a.exc_value)))
    return seen


def drain_blocking(request):
    """The rest of a request after its loop died: events by polling (non-blocking) until the
    terminal one, then the body they carried."""
    body, deadline = [], time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        for kind, _status, _head, chunk, error in request.poll_events():
            if kind == "body":
                body.append(chunk)
            elif kind == "done":
                return ("done", b"".join(body))
            elif kind == "error":
                return ("error", error)
        time.sleep(0.01)
    return ("hang", None)


@pytest.mark.parametrize("when", ["before-head", "mid-body"])
def test_requests_outlive_their_closed_loop(server, engine, escapes, when):
    loop = asyncio.new_event_loop()
    loop_errors = []
    loop.set_exception_handler(lambda _loop, context: loop_errors.append(context))
    calls = []

    def notify():
        calls.append(1)

    polled, blocking, sockets = [], [], []
    for i in range(6):
        r = engine.request("GET", server.url("/drip" if i % 3 else "/ok"), timeout=TIMEOUT)
        r.start_async(loop, notify)
        (polled if i % 2 else blocking).append((r, b"ok" if i % 3 == 0 else BODY))
    ws = engine.websocket(server.url("/ticks", "ws"), timeout=TIMEOUT)
    ws.start_async(loop, notify)
    sockets.append(ws)

    first = {}
    if when == "mid-body":
        # Take the head and some body on the loop, so the blocking side takes over mid-body.
        async def some():
            deadline = loop.time() + TIMEOUT
            while len(first) < len(polled) and loop.time() < deadline:
                for r, _ in polled:
                    for event in r.poll_events(2):
                        first.setdefault(id(r), []).append(event)
                await asyncio.sleep(0.01)

        loop.run_until_complete(some())
    else:
        loop.run_until_complete(asyncio.sleep(0.01))
    loop.close()

    # Polled requests: the events taken on the loop plus the rest from blocking code.
    for r, expected in polled:
        events = first.get(id(r), [])
        terminal = [e for e in events if e[0] in ("done", "error")]
        body = b"".join(e[3] for e in events if e[0] == "body")
        if not terminal:
            kind, rest = drain_blocking(r)
            assert kind == "done", (kind, rest)
            body += rest
        assert body == expected
    # Never polled: the head and body through the blocking calls.
    for r, expected in blocking:
        if when == "mid-body":
            assert r.await_response().status_code == 200
            assert r.read_body() == expected
        else:
            assert drain_blocking(r) == ("done", expected)
    # The WebSocket's queued events from blocking recv, to the end of the script.
    ticks = []
    timer = threading.Timer(TIMEOUT, ws.cancel)
    timer.start()
    try:
        while len(ticks) < 20:
            event = ws.recv()
            assert event is not None and event[0] in ("open", "text"), event
            if event[0] == "text":
                ticks.append(event[1])
    finally:
        timer.cancel()
    assert ticks == [b"tick %d" % i for i in range(20)]
    ws.cancel()

    assert server.wait_open_count(0), "connections of the dead loop's requests stay open"
    # Once the objects are gone, so are the notifiers' references to the loop and notify.
    gone = weakref.ref(loop), weakref.ref(notify)
    del r, ws, polled, blocking, sockets, first, loop, notify
    deadline = time.monotonic() + TIMEOUT
    while any(ref() is not None for ref in gone):
        assert time.monotonic() < deadline, "the closed loop or its notify is still referenced"
        engine.request("GET", server.url("/ok"))  # a module entry drains queued releases
        gc.collect()
        time.sleep(0.02)
    assert escapes == [] and loop_errors == []
