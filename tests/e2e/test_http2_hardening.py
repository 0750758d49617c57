"""HTTP/2 answers that end or stall the wrong way, against a scripted server (h2script): a body
cut short by a reset of any code, a complete answer sent before the upload ended, silent
connections after a timeout, oversized header blocks, GOAWAY below an in-flight stream, a burst
past the server's stream limit, a PING flood; and the HTTP/1.1 shapes of the same where they
exist (hostile server)."""

import asyncio
import time

import pytest

import corvina_native as cn
from conftest import fetch, fetch_async
from h2script import H2ScriptServer, frame, goaway, ok, tls_context
from hostile import HANG, HostileServer

h2 = pytest.importorskip("h2")
import h2.errors  # noqa: E402

TIMEOUT = 10
PROTOCOL = "Protocol (Chromium net error -337)"
LENGTH_MISMATCH = "Network (Chromium net error -354)"
TIMED_OUT = "Timeout (Chromium net error -7)"
HEADERS_TOO_BIG = "Protocol (Chromium net error -325)"
REFUSED = "Network (Chromium net error -351)"
E = h2.errors.ErrorCodes


@pytest.fixture(params=["tls", "h2c"])
def h2server(request, tls):
    s = H2ScriptServer(tls_context(tls) if request.param == "tls" else None)
    yield s
    s.stop()
    assert s.wait_open_count(0)


@pytest.fixture
def engine(h2server, tls):
    return cn.PyEngine(http_version="h2" if h2server.ssl_context is None else None,
                       ca_pem=tls["ca_pem"])


def failure(engine, method, url, **kwargs):
    try:
        fetch(engine, method, url, **kwargs)
    except RuntimeError as exc:
        return str(exc)
    return None


# ---- a body cut short by RST_STREAM --------------------------------------------------------

@pytest.mark.parametrize("code", [E.NO_ERROR, E.CANCEL, E.INTERNAL_ERROR, E.STREAM_CLOSED,
                                  E.REFUSED_STREAM])
@pytest.mark.parametrize("length", [None, 10_000])
def test_reset_before_end_stream_fails(h2server, engine, code, length):
    async def cut(stream):
        extra = [("content-length", str(length))] if length else []
        stream.respond(200, b"x" * 5000, extra=extra, end=False)
        await asyncio.sleep(0.05)
        stream.reset(code)

    url = h2server.route("/cut", cut)
    # A given length tells a cut body by itself; without one only END_STREAM does.
    want = LENGTH_MISMATCH if length and code == E.NO_ERROR else PROTOCOL
    assert failure(engine, "GET", url, timeout=TIMEOUT) == want
    h2server.route("/ok", ok)
    assert fetch(engine, "GET", h2server.url("/ok"), timeout=TIMEOUT)[2] == b"ok"


# ---- a complete answer before the upload ended ---------------------------------------------

@pytest.mark.parametrize("status", [200, 413])
@pytest.mark.parametrize("chunked", [False, True])
def test_early_answer_ends_the_upload(h2server, engine, status, chunked):
    async def early(stream):
        await stream.received(65_535)  # the first window, then the answer
        stream.respond(status, b"early")
        stream.reset(E.NO_ERROR)

    url = h2server.route("/early", early)
    begun = time.monotonic()
    request = engine.request("POST", url, body=None if chunked else b"u" * (1 << 20),
                             chunked=chunked, timeout=4)
    if chunked:
        request.upload_write(b"u" * (1 << 20), False)  # and never finished
    response = request.start_stream()
    assert (response.status_code, request.read_body()) == (status, b"early")
    assert time.monotonic() - begun < 2
    h2server.route("/ok", ok)
    assert fetch(engine, "GET", h2server.url("/ok"), timeout=TIMEOUT)[2] == b"ok"


def test_early_answer_over_http1():
    server = HostileServer()
    try:
        path = server.script("/early", b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nearly")
        begun = time.monotonic()
        status, _, body, _ = fetch(cn.PyEngine(), "POST", server.url(path),
                                   body=b"u" * (4 << 20), timeout=TIMEOUT)
        assert (status, body) == (200, b"early") and time.monotonic() - begun < 3
    finally:
        server.stop()


# ---- a connection silent after a timeout ---------------------------------------------------

async def stall(stream):
    stream.respond(200, b"s" * 1000, end=False)
    await asyncio.sleep(60)


@pytest.mark.parametrize("shape", ["silent", "stall"])
def test_silent_connection_is_not_reused_after_a_timeout(tls, shape):
    # The first connection says nothing after TLS, or stalls mid-body and then everything.
    server = H2ScriptServer(tls_context(tls), silent={1} if shape == "silent" else ())
    try:
        server.route("/stall", stall)
        server.route("/ok", ok)
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        first = "/stall" if shape == "stall" else "/ok"
        if shape == "stall":
            server.routes["/ok"] = _ok_except_on(1)
        assert failure(engine, "GET", server.url(first), timeout=1) == TIMED_OUT
        begun = time.monotonic()
        for _ in range(3):
            status, _, body, _ = fetch(engine, "GET", server.url("/ok"), timeout=3)
            assert (status, body) == (200, b"ok")
        assert time.monotonic() - begun < 2
        assert server.accepted == 2
    finally:
        server.stop()


def _ok_except_on(number):
    async def handler(stream):
        if stream.number != number:
            await ok(stream)
    return handler


def test_timed_out_http1_connection_is_not_reused():
    server = HostileServer()
    try:
        hang = server.script("/hang", b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", HANG)
        okay = server.script("/ok", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        engine = cn.PyEngine()
        assert failure(engine, "GET", server.url(hang), timeout=1) == TIMED_OUT
        assert fetch(engine, "GET", server.url(okay), timeout=3)[2] == b"ok"
        assert not server.connections_of(okay)[0].reused
    finally:
        server.stop()


# ---- oversized header blocks ---------------------------------------------------------------

def _literal(name, value):
    """An HPACK literal header field without indexing (lengths below 2**21)."""
    def length(n):
        if n < 127:
            return bytes([n])
        out, n = bytearray([127]), n - 127
        while n >= 128:
            out.append(n & 0x7F | 0x80)
            n >>= 7
        return bytes(out + bytes([n]))
    return b"\x00" + length(len(name)) + name + length(len(value)) + value


@pytest.mark.parametrize("shape", ["big", "flood"])
def test_oversized_header_block_is_refused_once(h2server, engine, shape):
    async def big(stream):
        stream.raw(frame(1, 0, stream.id, b"\x88"))  # :status 200, END_HEADERS not set
        piece = _literal(b"x-pad", b"p" * 8000) * 2
        total = 4 << 20 if shape == "big" else 64 << 20
        for sent in range(0, total, len(piece)):
            last = shape == "big" and sent + len(piece) >= total
            stream.raw(frame(9, 4 if last else 0, stream.id, piece))
            await stream.drain()

    url = h2server.route("/big", big)
    begun = time.monotonic()
    assert failure(engine, "GET", url, timeout=TIMEOUT) == HEADERS_TOO_BIG
    assert time.monotonic() - begun < 5
    assert h2server.paths().count("/big") == 1  # not sent again


# ---- GOAWAY below an in-flight stream ------------------------------------------------------

@pytest.mark.parametrize("body", ["none", "bytes", "stream-unread", "stream-read"])
def test_request_past_goaway_is_retried_once(h2server, engine, body):
    async def hold(stream):
        while len(h2server.peers[stream.number]) < 2:  # the victim shares the connection
            await asyncio.sleep(0.01)
        stream.raw(goaway(stream.id))
        stream.respond(200, b"held")
        await stream.drain()
        await asyncio.sleep(0.2)
        stream.writer.close()

    async def victim(stream):
        if stream.number == 1:
            return  # past the GOAWAY: never processed
        await stream.received(1 << 30)
        stream.respond(200, bytes(stream.body) or b"ok")

    h2server.route("/hold", hold)
    h2server.route("/victim", victim)

    async def main():
        first = asyncio.ensure_future(fetch_async(engine, "GET", h2server.url("/hold"),
                                                  timeout=TIMEOUT))
        while not h2server.paths():
            await asyncio.sleep(0.01)
        kwargs = {"timeout": TIMEOUT}
        if body == "bytes":
            kwargs["body"] = b"payload"
        method = "GET" if body == "none" else "POST"
        if body.startswith("stream"):
            request = engine.request(method, h2server.url("/victim"), chunked=True, **kwargs)
            result = asyncio.get_running_loop().run_in_executor(
                None, _streamed, h2server, request, body)
        else:
            result = fetch_async(engine, method, h2server.url("/victim"), **kwargs)
        try:
            second = await result
        except RuntimeError as exc:
            second = str(exc)
        return (await first)[2], second

    held, second = asyncio.run(asyncio.wait_for(main(), TIMEOUT * 2))
    assert held == b"held"
    if body == "stream-read":
        # Bytes the caller handed over are gone: the request fails, safe to send again.
        assert second == REFUSED
    else:
        assert second[0] == 200 and second[2] in (b"ok", b"payload")
        assert h2server.paths().count("/victim") == 2  # once past the GOAWAY, once again


def _streamed(server, request, body):
    if body == "stream-read":
        request.upload_write(b"pay", False)  # consumed before the GOAWAY
    request.start()
    if body == "stream-unread":
        deadline = time.monotonic() + TIMEOUT
        while server.paths().count("/victim") < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        request.upload_write(b"payload", True)
    try:
        response = request.await_response()
        return response.status_code, b"", request.read_body(), []
    except RuntimeError as exc:
        return str(exc)


# ---- a server's stream limit ---------------------------------------------------------------

def test_requests_past_the_stream_limit_wait_for_a_stream(tls):
    # One stream at a time, each answer a little late; the connection and its SETTINGS are known
    # before the burst. Every request waits for the stream; none fails for the limit.
    server = H2ScriptServer(tls_context(tls), max_streams=1)
    try:
        async def slow(stream):
            await asyncio.sleep(0.02)
            stream.respond(200, b"ok")

        url = server.route("/slow", slow)
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        assert fetch(engine, "GET", url, timeout=TIMEOUT)[2] == b"ok"

        async def main():
            return await asyncio.gather(*(fetch_async(engine, "GET", url, timeout=TIMEOUT)
                                          for _ in range(16)), return_exceptions=True)

        results = asyncio.run(main())
        assert [r if isinstance(r, Exception) else r[2] for r in results] == [b"ok"] * 16
    finally:
        server.stop()


# ---- a PING flood ------------------------------------------------------------------------------

@pytest.mark.parametrize("when", ["before-answer", "while-idle"])
def test_request_after_a_ping_flood_gets_a_fresh_connection(h2server, engine, when):
    # nghttp2 gives up on a connection whose unsent PING answers pile up; the next request goes
    # out on a new connection, whatever became of the flooded one's own request.
    pings = b"".join(frame(6, 0, 0, i.to_bytes(8, "big")) for i in range(5000))

    async def flood(stream):
        if when == "while-idle":
            stream.respond(200, b"flooded")
            await stream.drain()
            await asyncio.sleep(0.2)
        stream.raw(pings)
        await stream.drain()
        if when == "before-answer":
            stream.respond(200, b"flooded")

    flooded = h2server.route("/flood", flood)
    after = h2server.route("/after", ok)
    assert failure(engine, "GET", flooded, timeout=TIMEOUT) in (None, PROTOCOL)
    time.sleep(0.5)
    assert fetch(engine, "GET", after, timeout=TIMEOUT)[:1] == (200,)
