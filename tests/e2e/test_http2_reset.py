"""HTTP/2 stream resets: a scripted HTTP/2 server (clear text with prior knowledge, or TLS
with ALPN) that resets one stream mid-response while others share its connection. The reset
stream fails cleanly with a Protocol failure; the other streams on the connection finish
whole. Also: sequential clear-text HTTP/2 requests to one server (with a libcurl before 8.0.0
every reuse of such a connection failed)."""

import asyncio
import ssl
import struct
import threading
import time

import pytest

import corvina_native as cn
from conftest import fetch, fetch_async

h2 = pytest.importorskip("h2")
import h2.config  # noqa: E402
import h2.connection  # noqa: E402
import h2.errors  # noqa: E402
import h2.events  # noqa: E402
import h2.exceptions  # noqa: E402

HOST = "127.0.0.1"
TIMEOUT = 10
RESET = "Protocol (Chromium net error -337)"
SLOW_CHUNKS, SLOW_CHUNK = 10, b"s" * 100


class H2Server:
    """Answers by path: /ok at once; /slow in ten chunks 50 ms apart; /reset-mid sends the head
    and part of the body, then RST_STREAM; /reset-head resets before any head; /refuse-once
    refuses its first stream (REFUSED_STREAM), then answers like /ok; /goaway sends GOAWAY
    naming itself the last stream, answers like /ok, leaves later streams unanswered and ends
    the connection once the streams up to it are answered. Records the
    connection of each stream so tests can tell which streams shared one."""

    def __init__(self, ssl_context=None):
        self.ssl_context = ssl_context
        self.accepted = 0
        self.open = 0
        self.streams = []  # (connection number, path)
        self._transports = set()
        self.refused = False
        self.ignored = 0
        self._lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("HTTP/2 server did not start")

    def url(self, path):
        return f"{'https' if self.ssl_context else 'http'}://{HOST}:{self.port}{path}"

    def connection_of(self, path):
        with self._lock:
            return [c for c, p in self.streams if p == path]

    def wait_open_count(self, count, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while self.open != count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.open == count

    def stop(self):
        self.loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)

    def _run(self):
        asyncio.set_event_loop(self.loop)

        async def main():
            self._stop = asyncio.Event()
            server = await asyncio.start_server(self._client, HOST, 0, ssl=self.ssl_context)
            self.port = server.sockets[0].getsockname()[1]
            self._ready.set()
            await self._stop.wait()
            server.close()
            # Ending the connections ends their handlers; cancelling those would make
            # asyncio's stream machinery log the cancellation as an error.
            for transport in list(self._transports):
                transport.abort()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            await asyncio.wait(tasks, timeout=5) if tasks else None

        self.loop.run_until_complete(main())
        self.loop.close()

    async def _client(self, reader, writer):
        self.accepted += 1
        self.open += 1
        number = self.accepted
        self._transports.add(writer.transport)
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        writer.write(conn.data_to_send())
        streams = set()
        goaway = None  # last stream id promised an answer, once GOAWAY went out

        def flush():
            data = conn.data_to_send()
            if data:
                writer.write(data)

        async def answer(stream_id, path):
            try:
                if path == "/refuse-once" and not self.refused:
                    self.refused = True  # never processed: the client may safely retry
                    conn.reset_stream(stream_id, h2.errors.ErrorCodes.REFUSED_STREAM)
                    return flush()
                if path in ("/ok", "/refuse-once"):
                    conn.send_headers(stream_id, [(":status", "200"), ("content-length", "2")])
                    conn.send_data(stream_id, b"ok", end_stream=True)
                    return flush()
                if path == "/reset-head":
                    conn.reset_stream(stream_id, h2.errors.ErrorCodes.INTERNAL_ERROR)
                    return flush()
                conn.send_headers(stream_id, [(":status", "200")])
                flush()
                for i in range(SLOW_CHUNKS):
                    await asyncio.sleep(0.05)
                    if path == "/reset-mid" and i == 2:
                        conn.reset_stream(stream_id, h2.errors.ErrorCodes.INTERNAL_ERROR)
                        return flush()
                    conn.send_data(stream_id, SLOW_CHUNK, end_stream=i == SLOW_CHUNKS - 1)
                    flush()
            except h2.exceptions.StreamClosedError:
                pass  # the client went away first
            finally:
                streams.discard(asyncio.current_task())
                if goaway is not None and not streams:
                    writer.close()  # every promised stream answered: the connection ends

        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                for event in conn.receive_data(data):
                    if isinstance(event, h2.events.RequestReceived):
                        path = dict(event.headers)[b":path"].decode()
                        if goaway is not None and event.stream_id > goaway:
                            with self._lock:
                                self.ignored += 1  # past the GOAWAY: never processed
                            continue
                        with self._lock:
                            self.streams.append((number, path))
                        if path == "/goaway":
                            # Answers this stream and those before it; later ones are left
                            # for the client to send again on a new connection. Written by
                            # hand: h2 would refuse to send anything after its own GOAWAY.
                            goaway = event.stream_id
                            flush()
                            writer.write(b"\x00\x00\x08\x07\x00\x00\x00\x00\x00" +
                                         struct.pack("!II", goaway, 0))
                            path = "/ok"
                        task = asyncio.ensure_future(answer(event.stream_id, path))
                        streams.add(task)
                    elif isinstance(event, h2.events.ConnectionTerminated):
                        break
                flush()
        except (ConnectionError, ssl.SSLError, h2.exceptions.ProtocolError):
            pass
        finally:
            for task in list(streams):
                task.cancel()
            self.open -= 1
            self._transports.discard(writer.transport)
            if goaway is None:
                writer.transport.abort()
            else:
                writer.transport.close()  # the last answers may still be in its buffer


@pytest.fixture(params=["h2c", "tls"])
def server(request, tls):
    ctx = None
    if request.param == "tls":
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(tls["cert"], tls["key"])
        ctx.set_alpn_protocols(["h2"])
    s = H2Server(ctx)
    yield s
    s.stop()
    assert s.open == 0


@pytest.fixture
def engine(server, tls):
    # Prior knowledge in clear text; ALPN (offering h2 first) over TLS.
    return cn.PyEngine(http_version="h2" if server.ssl_context is None else None,
                       ca_pem=tls["ca_pem"])


def test_sequential_requests(server, engine):
    for _ in range(5):
        status, head, body, _ = fetch(engine, "GET", server.url("/ok"), timeout=TIMEOUT)
        assert head.startswith(b"HTTP/2 200") and (status, body) == (200, b"ok")


@pytest.mark.parametrize("path", ["/reset-head", "/reset-mid"])
def test_reset_stream_fails_cleanly(server, engine, path):
    with pytest.raises(RuntimeError) as info:
        fetch(engine, "GET", server.url(path), timeout=TIMEOUT)
    assert str(info.value) == RESET

    async def main():
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(fetch_async(engine, "GET", server.url(path),
                                               timeout=TIMEOUT), TIMEOUT)
        return str(info.value)

    assert asyncio.run(main()) == RESET
    # The engine goes on working afterwards.
    assert fetch(engine, "GET", server.url("/ok"), timeout=TIMEOUT)[2] == b"ok"


def test_goaway_mid_sequence_loses_nothing(server, engine):
    async def one(path):
        status, _head, body, _ = await fetch_async(engine, "GET", server.url(path),
                                                   timeout=TIMEOUT)
        return status, body

    async def main():
        results = []
        for _ in range(3):  # each round starts on a new connection
            first = asyncio.ensure_future(one("/slow"))
            while len(server.connection_of("/slow")) <= len(results) // 6:
                await asyncio.sleep(0.01)
            rest = await asyncio.gather(one("/goaway"), *(one("/ok") for _ in range(4)))
            results += [await first] + rest
        return results

    results = asyncio.run(asyncio.wait_for(main(), TIMEOUT * 2))
    # A stream below the GOAWAY's last id finishes on the old connection; the ones past it
    # (ignored by the server, when they got there first) are sent again, not failed.
    assert results == ([(200, SLOW_CHUNK * SLOW_CHUNKS)] + [(200, b"ok")] * 5) * 3
    assert server.accepted >= 3  # each GOAWAY really ended its connection


def test_refused_stream_is_retried(server, engine):
    # REFUSED_STREAM promises the request was not processed: it is sent again, not failed.
    status, _head, body, _ = fetch(engine, "GET", server.url("/refuse-once"), timeout=TIMEOUT)
    assert (status, body) == (200, b"ok")
    assert len(server.connection_of("/refuse-once")) == 2


@pytest.mark.concurrency
def test_reset_leaves_the_other_streams_of_its_connection_whole(server, engine):
    if server.ssl_context is None:
        pytest.skip("clear-text HTTP/2 may get a connection per request (libcurl before 8.0.0)")
    async def one(path):
        try:
            status, _head, body, _ = await fetch_async(engine, "GET", server.url(path),
                                                       timeout=TIMEOUT)
            return status, body
        except RuntimeError as exc:
            return str(exc)

    async def main():
        first = asyncio.ensure_future(one("/slow"))
        while not server.connection_of("/slow"):  # the connection exists: others join it
            await asyncio.sleep(0.01)
        rest = await asyncio.gather(one("/reset-mid"), one("/slow"), one("/slow"))
        return [await first] + rest

    results = asyncio.run(asyncio.wait_for(main(), TIMEOUT * 2))
    whole = (200, SLOW_CHUNK * SLOW_CHUNKS)
    assert results == [whole, RESET, whole, whole]
    (reset_conn,) = server.connection_of("/reset-mid")
    shared = [c for c in server.connection_of("/slow") if c == reset_conn]
    assert shared, "no other stream shared the reset stream's connection"
