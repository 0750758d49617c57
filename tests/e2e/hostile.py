"""A raw-socket server on 127.0.0.1 that misbehaves on purpose: each test registers a script
under a path, and the server answers a request for that path with exactly the steps of the
script, byte for byte, then records what the client sent afterwards (WebSocket frames are
decoded). Runs an asyncio loop on its own thread; stop() ends every connection."""

import asyncio
import base64
import hashlib
import socket
import ssl
import struct
import threading
import time
import zlib

HOST = "127.0.0.1"
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


# ---- steps of a script ---------------------------------------------------------------------

class Sleep:
    def __init__(self, seconds):
        self.seconds = seconds


class Drip:
    """Sends data one byte at a time, `interval` seconds apart."""

    def __init__(self, data, interval=1.0):
        self.data, self.interval = data, interval


class Stream:
    """Sends every chunk of an iterable, waiting for the client to take each one: a client
    that stops reading stalls the server instead of growing its buffers."""

    def __init__(self, chunks):
        self.chunks = chunks


class WsAccept:
    """The 101 answer to the client's WebSocket handshake, with extra raw header lines."""

    def __init__(self, extra=b""):
        self.extra = extra


RESET = "reset"    # RST: SO_LINGER 0, then close
CLOSE = "close"    # orderly close (for TLS: close_notify, then FIN)
ABORT = "abort"    # drop the transport: for TLS, FIN with no close_notify
HANG = "hang"      # keep the connection open and silent until the client goes
NEXT = "next"      # answer the client's next request on this connection with its own script


def ws_frame(opcode, payload=b"", fin=True, rsv=0):
    """One unmasked server frame; rsv is the 3-bit RSV1..RSV3 field."""
    first = (0x80 if fin else 0) | (rsv & 7) << 4 | (opcode & 0x0F)
    n = len(payload)
    if n < 126:
        head = struct.pack("!BB", first, n)
    elif n < 1 << 16:
        head = struct.pack("!BBH", first, 126, n)
    else:
        head = struct.pack("!BBQ", first, 127, n)
    return head + payload


def ws_close(code=None, reason=b""):
    return ws_frame(8, b"" if code is None else struct.pack("!H", code) + reason)


def gzip_zeros(total, chunk=1 << 20):
    """A gzip stream of `total` zero bytes, produced lazily (about 1 KB per MiB)."""
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    block = bytes(chunk)
    left = total
    while left:
        n = min(chunk, left)
        out = z.compress(block[:n])
        left -= n
        if out:
            yield out
    yield z.flush()


# ---- the server ----------------------------------------------------------------------------

class Connection:
    """What one client connection did: its request head and everything it sent after the
    script, as raw bytes and as decoded WebSocket frames (opcode, payload)."""

    def __init__(self, closed=None, reused=False):
        self.head = b""
        self.after = bytearray()
        self.frames = []
        self.compressed = []  # per frame in `frames`: whether RSV1 was set
        self.closed = closed or threading.Event()
        self.played = threading.Event()  # the script ended: sent whole, or cut short
        self.reused = reused  # the request came on a connection that answered one before

    def close_frame(self):
        """(code, reason) of the client's close frame, None if it sent none."""
        for opcode, payload in self.frames:
            if opcode == 8:
                if len(payload) < 2:
                    return (None, b"")
                return (struct.unpack("!H", payload[:2])[0], payload[2:])
        return None


class HostileServer:
    def __init__(self, ssl_context=None):
        self.ssl_context = ssl_context
        self.scripts = {}
        self.connections = {}  # path -> [Connection]
        self.accepted = 0
        self.open = 0
        self._transports = set()
        self._lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("hostile server did not start")

    # -- API of the tests

    def script(self, path, *steps):
        """Registers the answer to `path`; returns the URL path."""
        with self._lock:
            self.scripts[path] = steps
        return path

    def url(self, path, scheme=None):
        scheme = scheme or ("https" if self.ssl_context else "http")
        return f"{scheme}://{HOST}:{self.port}{path}"

    def connections_of(self, path):
        with self._lock:
            return list(self.connections.get(path, ()))

    def wait_closed(self, path, timeout=10.0):
        """Waits until every connection for `path` has ended; True if they did."""
        deadline = time.monotonic() + timeout
        for conn in self.connections_of(path):
            if not conn.closed.wait(max(0.0, deadline - time.monotonic())):
                return False
        return True

    def forget(self):
        """Drops the records of past connections (long loops measure their own objects)."""
        with self._lock:
            self.connections.clear()

    def wait_open_count(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while self.open != count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.open == count

    def stop(self):
        if not self.loop.is_closed():
            self.loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)

    # -- the loop thread

    def _run(self):
        asyncio.set_event_loop(self.loop)

        async def main():
            self._stop = asyncio.Event()
            server = await asyncio.start_server(self._client, HOST, 0, ssl=self.ssl_context,
                                                limit=1 << 20)
            self.port = server.sockets[0].getsockname()[1]
            self._ready.set()
            await self._stop.wait()
            server.close()
            for transport in list(self._transports):
                transport.abort()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await server.wait_closed()

        self.loop.run_until_complete(main())
        self.loop.close()

    async def _client(self, reader, writer):
        transport = writer.transport
        self._transports.add(transport)
        closed = threading.Event()
        self.accepted += 1
        self.open += 1
        try:
            await self._answer(reader, writer, Connection(closed))
        except (ConnectionError, ssl.SSLError, OSError):
            pass
        finally:
            self.open -= 1
            self._transports.discard(transport)
            if not transport.is_closing():
                transport.abort()
            closed.set()

    async def _answer(self, reader, writer, conn):
        try:
            conn.head = await reader.readuntil(b"\r\n\r\n")
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError,
                ssl.SSLError):
            return
        path = conn.head.split(b" ", 2)[1].decode("latin-1")
        with self._lock:
            steps = self.scripts.get(path)
            self.connections.setdefault(path, []).append(conn)
        if steps is None:
            writer.write(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            steps = (HANG,)
        try:
            ended = await self._play(steps, conn, reader, writer)
        finally:
            conn.played.set()
        if ended == NEXT:
            await self._answer(reader, writer, Connection(conn.closed, reused=True))
        elif not ended:
            await self._record(conn, reader)

    async def _play(self, steps, conn, reader, writer):
        """Runs the steps; True if the script ended the connection itself, NEXT if the
        connection answers another request."""
        for step in steps:
            if isinstance(step, (bytes, bytearray)):
                writer.write(step)
                await writer.drain()
            elif isinstance(step, Sleep):
                await asyncio.sleep(step.seconds)
            elif isinstance(step, Drip):
                for i in range(len(step.data)):
                    writer.write(step.data[i:i + 1])
                    await writer.drain()
                    await asyncio.sleep(step.interval)
            elif isinstance(step, Stream):
                for chunk in step.chunks:
                    writer.write(chunk)
                    await writer.drain()
            elif isinstance(step, WsAccept):
                writer.write(self._ws_accept(conn.head, step.extra))
                await writer.drain()
            elif step == RESET:
                sock = writer.get_extra_info("socket")
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
                return True
            elif step == CLOSE:
                writer.close()
                try:
                    await writer.wait_closed()
                except (ConnectionError, ssl.SSLError):
                    pass
                return True
            elif step == ABORT:
                writer.transport.abort()
                return True
            elif step == HANG:
                break
            elif step == NEXT:
                return NEXT
            else:
                raise ValueError(f"unknown step {step!r}")
        return False

    async def _record(self, conn, reader):
        """Keeps what the client sends until it goes (or the server stops)."""
        while True:
            data = await reader.read(65536)
            if not data:
                return
            conn.after += data
            decoded = _decode_client_frames(bytes(conn.after))
            conn.frames = [(first & 0x0F, payload) for first, payload in decoded]
            conn.compressed = [bool(first & 0x40) for first, _ in decoded]

    @staticmethod
    def _ws_accept(head, extra):
        key = b""
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"sec-websocket-key":
                key = value.strip()
        accept = base64.b64encode(hashlib.sha1(key + WS_GUID).digest())
        return (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n" + extra +
                b"\r\n")


def _decode_client_frames(data):
    """Masked client frames in data, as far as they are complete: (first byte, payload)."""
    frames, i = [], 0
    while len(data) - i >= 2:
        first, n = data[i], data[i + 1] & 0x7F
        j = i + 2
        if n == 126:
            if len(data) - j < 2:
                break
            n, j = struct.unpack("!H", data[j:j + 2])[0], j + 2
        elif n == 127:
            if len(data) - j < 8:
                break
            n, j = struct.unpack("!Q", data[j:j + 8])[0], j + 8
        masked = data[i + 1] & 0x80
        mask = data[j:j + 4] if masked else b"\0\0\0\0"
        j += 4 if masked else 0
        if len(data) - j < n:
            break
        payload = bytes(b ^ mask[k % 4] for k, b in enumerate(data[j:j + n]))
        frames.append((first, payload))
        i = j + n
    return frames
