"""WebSocket peers for the end-to-end tests, all on 127.0.0.1: the `websockets` library's
server (clear or TLS), Node's `ws` server, nginx proxying WebSockets, tinyproxy with CONNECT,
and raw TCP servers that misbehave. Every class has stop()."""

import asyncio
import hashlib
import json
import os
import threading
import time
from urllib.parse import parse_qs, urlsplit

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

from servers import HOST, Process, free_port, nginx_config, start_nginx  # noqa: F401
from support.local_servers import node_ws_path

PROTOCOLS = ("chat", "superchat")


class _LoopThread:
    """An asyncio loop on its own thread, running one server coroutine until stop()."""

    def __init__(self, start):
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._stop = None
        self._error = None
        self.port = None
        self._thread = threading.Thread(target=self._run, args=(start,), daemon=True)
        self._thread.start()
        if not self._ready.wait(10) or self._error:
            raise RuntimeError(f"server did not start: {self._error}")

    def _run(self, start):
        asyncio.set_event_loop(self.loop)

        async def main():
            self._stop = asyncio.Event()
            try:
                server = await start()
            except Exception as exc:  # reported to the constructor
                self._error = exc
                self._ready.set()
                return
            self.port = server.sockets[0].getsockname()[1]
            self._ready.set()
            await self._stop.wait()
            server.close()
            await server.wait_closed()

        self.loop.run_until_complete(main())
        self.loop.close()

    def stop(self):
        if self._stop is not None and not self.loop.is_closed():
            self.loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)


class WsPeer(_LoopThread):
    """The `websockets` server. The path chooses the behaviour:
    /echo            echoes every message with its type
    /headers         first sends the handshake request's headers as JSON, then echoes
    /extensions      first sends its Sec-WebSocket-Extensions answer ("" for none), then echoes
    /close?code=&reason=   closes at once with that code and reason
    /reject          refuses the handshake with 403
    /flood?n=&window=  sends n small text messages, then echoes; with a window, waits for
                     the text "more" after each window of messages
    /big?n=          sends one binary message of n bytes, then echoes
    /fragments       sends one text message in three fragments, then echoes
    /digest          answers each message with "<type> <length> <sha256 hex>"
    /tally           on the text "end", answers "<count> <sha256 hex of all messages>"
    /ping            pings, and reports "pong" once the answer came
    /vanish          sends half a frame and drops the connection
    /badutf8         sends a text frame that is not UTF-8 and waits for the close
    /silent          stops reading, so a close frame is never answered
    The close code and reason each connection received are kept in `closes` under its query's
    `tag`. Compression is off unless `extensions` (the library's extension factories) is given;
    /extensions tells what it agreed to."""

    def __init__(self, ssl_context=None, extensions=None):
        self.closes = {}
        self.requests = {}
        self.ssl_context = ssl_context
        self.extensions = extensions
        super().__init__(self._start)

    async def _start(self):
        return await serve(self._handler, HOST, 0, ssl=self.ssl_context, max_size=None,
                           process_request=self._process_request,
                           select_subprotocol=self._select, ping_interval=None,
                           compression=None, extensions=self.extensions, max_queue=None)

    def close_of(self, tag, timeout=10.0):
        """The (code, reason) the connection tagged `tag` received, once it has ended."""
        deadline = time.monotonic() + timeout
        while tag not in self.closes and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.closes.get(tag)

    @staticmethod
    def _select(connection, offered):
        for p in PROTOCOLS:
            if p in offered:
                return p
        return None

    def _process_request(self, connection, request):
        if urlsplit(request.path).path == "/reject":
            return connection.respond(403, "go away\n")
        return None

    async def _handler(self, ws):
        url = urlsplit(ws.request.path)
        query = {k: v[0] for k, v in parse_qs(url.query).items()}
        tag = query.get("tag", url.path)
        self.requests[tag] = list(ws.request.headers.raw_items())
        try:
            await self._route(ws, url.path, query)
        except ConnectionClosed:
            pass
        finally:
            await ws.wait_closed()
            self.closes[tag] = (ws.close_code, ws.close_reason)

    async def _route(self, ws, path, query):
        if path == "/headers":
            await ws.send(json.dumps({"headers": list(ws.request.headers.raw_items()),
                                      "subprotocol": ws.subprotocol}))
        elif path == "/extensions":
            await ws.send(ws.response.headers.get("Sec-WebSocket-Extensions", ""))
        elif path == "/close":
            await ws.close(int(query["code"]), query.get("reason", ""))
            return
        elif path == "/flood":
            window = int(query.get("window", 0))
            for i in range(int(query["n"])):
                if window and i and i % window == 0:
                    assert await ws.recv() == "more"
                await ws.send(f"m{i}")
        elif path == "/big":
            await ws.send(b"\xab" * int(query["n"]))
        elif path == "/fragments":
            await ws.send(["alpha-", "beta-", "gamma"])
        elif path == "/digest":
            async for message in ws:
                data = message.encode() if isinstance(message, str) else message
                kind = "text" if isinstance(message, str) else "binary"
                await ws.send(f"{kind} {len(data)} {hashlib.sha256(data).hexdigest()}")
            return
        elif path == "/tally":
            count, digest = 0, hashlib.sha256()
            async for message in ws:
                if message == "end":
                    await ws.send(f"{count} {digest.hexdigest()}")
                    continue
                count += 1
                digest.update(message.encode() if isinstance(message, str) else message)
            return
        elif path == "/ping":
            waiter = await ws.ping(b"hi")
            await asyncio.wait_for(waiter, 5)
            await ws.send("pong")
        elif path == "/vanish":
            # Binary frame header announcing 1000 bytes, then ten of them.
            ws.transport.write(b"\x82\x7e\x03\xe8" + b"x" * 10)
            await asyncio.sleep(0.05)
            ws.transport.abort()
            return
        elif path == "/badutf8":
            ws.transport.write(b"\x81\x02\xff\xfe")
            await ws.wait_closed()
            return
        elif path == "/silent":
            ws.transport.pause_reading()
            await asyncio.sleep(30)
            return
        async for message in ws:
            await ws.send(message)


class RawServer(_LoopThread):
    """A TCP server that is no WebSocket server: "http" answers every request with a plain
    200 page; "silent" accepts and never says anything."""

    def __init__(self, mode):
        self.mode = mode
        self._writers = []
        super().__init__(self._start)

    async def _start(self):
        return await asyncio.start_server(self._client, HOST, 0)

    async def _client(self, reader, writer):
        self._writers.append(writer)
        try:
            if self.mode == "http":
                await reader.readuntil(b"\r\n\r\n")
                body = b"plain page\n"
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                             b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
                await writer.drain()
            await reader.read()  # until the client goes
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    def stop(self):
        for w in self._writers:
            self.loop.call_soon_threadsafe(w.close)
        super().stop()


_NODE_SERVER = r"""
const { WebSocketServer } = require('ws');
const port = Number(process.argv[1]);
const perMessageDeflate = JSON.parse(process.argv[2] || 'false');
const wss = new WebSocketServer({ host: '127.0.0.1', port, perMessageDeflate,
  handleProtocols: (offered) => offered.has('superchat') ? 'superchat' : false });
wss.on('headers', (headers, req) => {
  const answer = headers.find((h) => /^sec-websocket-extensions:/i.test(h));
  req.answer = answer ? answer.replace(/^[^:]*:\s*/, '') : '';
});
wss.on('connection', (ws, req) => {
  if (req.url.startsWith('/close')) { ws.close(4002, 'node says bye'); return; }
  if (req.url.startsWith('/extensions')) ws.send(req.answer);
  ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
});
"""


class NodeWsPeer:
    """Node's `ws` server: echoes with the message type; /close closes with 4002;
    /extensions first sends its Sec-WebSocket-Extensions answer. `deflate` is its perMessageDeflate
    option (off by default)."""

    def __init__(self, workdir, deflate=False):
        self.port = free_port()
        env = dict(os.environ, NODE_PATH=node_ws_path() or "")
        self._process = Process(["node", "-e", _NODE_SERVER, str(self.port), json.dumps(deflate)],
                                self.port, os.path.join(workdir, f"node-ws-{self.port}.out"),
                                env=env)

    def stop(self):
        self._process.stop()


class NginxWsProxy:
    """nginx in front of a WebSocket peer, in clear and over TLS; /plain is an ordinary page."""

    def __init__(self, workdir, upstream_port, cert, key):
        self.port, self.tls_port = free_port(), free_port()
        locations = f"""
        location = /plain {{ return 200 "not a websocket\\n"; }}
        location / {{
            proxy_pass http://{HOST}:{upstream_port};
            proxy_http_version 1.1;
            proxy_set_header Upgrade $http_upgrade;
            proxy_set_header Connection $connection_upgrade;
            proxy_read_timeout 30s;
            proxy_buffering off;
        }}"""
        config = nginx_config(workdir, [
            f"\n        listen {HOST}:{self.port};{locations}",
            f"""
        listen {HOST}:{self.tls_port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};{locations}""",
        ], http="""access_log off;
    map $http_upgrade $connection_upgrade { default upgrade; '' close; }""",
            events="worker_connections 64;")
        self._process = start_nginx(workdir, config, (self.port, self.tls_port))

    def stop(self):
        self._process.stop()
