"""A scripted HTTP/2 server on 127.0.0.1 (TLS with ALPN h2, or clear text with prior knowledge):
each test routes a path to a coroutine that answers the stream however it likes, through the
`h2` library or with raw frames the library would refuse to send. Connections whose number is
in `silent` complete TLS and then say nothing at all. Records every request it received."""

import asyncio
import ssl
import struct
import threading
import time

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions

HOST = "127.0.0.1"


def frame(kind, flags, stream_id, payload=b""):
    return struct.pack("!I", len(payload))[1:] + bytes([kind, flags]) + \
        struct.pack("!I", stream_id) + payload


def goaway(last_stream_id, code=0):
    return frame(7, 0, 0, struct.pack("!II", last_stream_id, code))


class Stream:
    """One request as the handler sees it: its headers, the body so far, and ways to answer."""

    def __init__(self, server, number, conn, writer, stream_id, headers):
        self.server, self.number, self.conn, self.writer = server, number, conn, writer
        self.id = stream_id
        self.headers = headers
        self.path = headers[":path"]
        self.body = bytearray()
        self.ended = False
        self.reset_code = None  # the client's RST_STREAM
        self.changed = asyncio.Event()

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.writer.write(data)

    def respond(self, status, body=None, extra=(), end=True):
        self.conn.send_headers(self.id, [(":status", str(status)), *extra],
                               end_stream=end and body is None)
        if body is not None:
            self.conn.send_data(self.id, body, end_stream=end)
        self.flush()

    def reset(self, code=h2.errors.ErrorCodes.NO_ERROR):
        self.conn.reset_stream(self.id, code)
        self.flush()

    def raw(self, data):
        self.flush()
        self.writer.write(data)

    async def drain(self):
        await self.writer.drain()

    async def received(self, n):
        """Waits until `n` body bytes arrived or the body ended."""
        while len(self.body) < n and not self.ended:
            self.changed.clear()
            await self.changed.wait()


class H2ScriptServer:
    def __init__(self, ssl_context=None, silent=(), max_streams=None):
        self.ssl_context = ssl_context
        self.silent = set(silent)
        # Announced in SETTINGS_MAX_CONCURRENT_STREAMS; a stream past it is refused
        # (RST_STREAM REFUSED_STREAM), as servers do, where h2 itself would end the connection.
        self.max_streams = max_streams
        self.refused = 0
        self.routes = {}
        self.accepted = 0
        self.open = 0
        self.requests = []  # (connection number, path)
        self.ignored = 0  # streams past a GOAWAY's last id
        self.peers = {}  # connection number -> [Stream] received on it
        self._transports = set()
        self._lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("HTTP/2 server did not start")

    def route(self, path, handler):
        self.routes[path] = handler
        return self.url(path)

    def url(self, path, host=HOST):
        return f"{'https' if self.ssl_context else 'http'}://{host}:{self.port}{path}"

    def paths(self):
        with self._lock:
            return [p for _, p in self.requests]

    def wait_open_count(self, count, timeout=10):
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
        tasks, streams = set(), {}
        try:
            if number in self.silent:
                while await reader.read(65536):
                    pass
                return
            conn = h2.connection.H2Connection(h2.config.H2Configuration(
                client_side=False, validate_inbound_headers=False))
            conn.initiate_connection()
            writer.write(conn.data_to_send())
            if self.max_streams is not None:
                writer.write(frame(4, 0, 0, struct.pack("!HI", 3, self.max_streams)))
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                for event in conn.receive_data(data):
                    self._event(event, number, conn, writer, streams, tasks)
                data = conn.data_to_send()
                if data:
                    writer.write(data)
        except (ConnectionError, ssl.SSLError, h2.exceptions.ProtocolError):
            pass
        finally:
            for task in tasks:
                task.cancel()
            self.open -= 1
            self._transports.discard(writer.transport)
            writer.transport.abort()

    def _event(self, event, number, conn, writer, streams, tasks):
        if isinstance(event, h2.events.RequestReceived):
            if self.max_streams is not None and conn.open_inbound_streams > self.max_streams:
                self.refused += 1
                conn.reset_stream(event.stream_id, h2.errors.ErrorCodes.REFUSED_STREAM)
                return
            headers = {k.decode(): v.decode("utf-8", "surrogateescape")
                       for k, v in event.headers}
            stream = Stream(self, number, conn, writer, event.stream_id, headers)
            streams[event.stream_id] = stream
            with self._lock:
                self.requests.append((number, stream.path))
                self.peers.setdefault(number, []).append(stream)
            handler = self.routes.get(stream.path.split("?")[0], _not_found)
            task = asyncio.ensure_future(self._answer(handler, stream))
            tasks.add(task)
            task.add_done_callback(tasks.discard)
        elif isinstance(event, h2.events.DataReceived):
            conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
            stream = streams.get(event.stream_id)
            if stream:
                stream.body += event.data
                stream.changed.set()
        elif isinstance(event, (h2.events.StreamEnded, h2.events.StreamReset)):
            stream = streams.get(event.stream_id)
            if stream:
                if isinstance(event, h2.events.StreamReset):
                    stream.reset_code = event.error_code
                stream.ended = True
                stream.changed.set()

    @staticmethod
    async def _answer(handler, stream):
        try:
            await handler(stream)
        except (h2.exceptions.StreamClosedError, h2.exceptions.ProtocolError, ConnectionError):
            pass


async def _not_found(stream):
    stream.respond(404, b"")


async def ok(stream):
    stream.respond(200, b"ok")


def tls_context(tls):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(tls["cert"], tls["key"])
    ctx.set_alpn_protocols(["h2"])
    return ctx
