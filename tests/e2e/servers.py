"""Real servers on 127.0.0.1 for end-to-end tests: nginx, an aiohttp app, tinyproxy and a
SOCKS5 proxy (dante), each configured by the tests and stopped when they end."""

import asyncio
import gzip
import hashlib
import json
import os
import pathlib
import shutil
import socket
import sys
import threading

from aiohttp import web

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from support.local_servers import (HOST, Process, free_port, nginx_config,  # noqa: E402,F401
                                   start_nginx, wait_port)

# ---- nginx ---------------------------------------------------------------------------------

TEXT = ("corvina end-to-end text line\n" * 4000).encode()
REDIRECT_CODES = (301, 302, 303, 307, 308)


class Nginx:
    """Static files, gzip, redirect chains and rate-limited bodies over HTTP/1.1 in clear,
    HTTP/2 in clear (prior knowledge) and HTTPS with HTTP/2."""

    def __init__(self, workdir, cert_file, key_file, app_port, big_size,
                 keepalive_requests=100000, keepalive_timeout="75s"):
        # A small keepalive_requests makes nginx end each connection (GOAWAY on HTTP/2) after
        # that many requests, a short keepalive_timeout after that long idle.
        self.keepalive_requests = keepalive_requests
        self.keepalive_timeout = keepalive_timeout
        self.dir = workdir
        self.root = os.path.join(workdir, "www")
        os.makedirs(self.root)
        with open(os.path.join(self.root, "small.txt"), "wb") as f:
            f.write(b"small file\n")
        with open(os.path.join(self.root, "text.txt"), "wb") as f:
            f.write(TEXT)
        # A sparse file: 1 GiB on the wire, no space on disk.
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.truncate(big_size)
        self.big_size = big_size
        self.http_port, self.h2c_port, self.https_port = free_port(), free_port(), free_port()
        self.app_port = app_port
        self.process = start_nginx(workdir, self._config(cert_file, key_file),
                                   (self.http_port, self.https_port, self.h2c_port))

    def _config(self, cert, key):
        redirects = []
        for code in REDIRECT_CODES:
            redirects.append(f"location = /to-echo/{code} {{ return {code} "
                             f"http://{HOST}:{self.app_port}/echo; }}")
        for n in range(1, 31):
            target = f"/chain/{n - 1}" if n > 1 else "/small.txt"
            redirects.append(f"location = /chain/{n} {{ return 302 {target}; }}")
        redirects.append("location = /loop { return 308 /loop; }")
        redirects.append("location = /relative { return 301 chain/1; }")
        redirect_block = "\n        ".join(redirects)
        body = f"""
        root {self.root};
        gzip on;
        gzip_types text/plain;
        gzip_min_length 64;
        {redirect_block}
        location /slow/ {{ alias {self.root}/; limit_rate 32k; }}
        location /medium/ {{ alias {self.root}/; limit_rate 2m; }}"""
        http = f"""log_format conn '$connection $request_uri $ssl_session_reused';
    access_log {self.dir}/access.log conn;
    types {{ text/plain txt; application/octet-stream bin; }}
    default_type application/octet-stream;
    keepalive_requests {self.keepalive_requests};
    keepalive_timeout {self.keepalive_timeout};
    http2_max_concurrent_streams 256;"""
        tls = f"""
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_session_cache shared:tls:1m;"""
        return nginx_config(self.dir, [
            f"\n        listen {HOST}:{self.http_port};{body}",
            f"\n        listen {HOST}:{self.h2c_port} http2;{body}",
            f"\n        listen {HOST}:{self.https_port} ssl http2;{tls}{body}",
        ], http=http)

    def url(self, path, scheme="http", host=HOST):
        port = {"http": self.http_port, "h2c": self.h2c_port, "https": self.https_port}[scheme]
        return f"{'https' if scheme == 'https' else 'http'}://{host}:{port}{path}"

    def resumed_for(self, marker):
        """For each logged request whose URI contains marker, in order: whether its connection
        resumed a TLS session."""
        with open(os.path.join(self.dir, "access.log")) as f:
            return [line.split()[2] == "r" for line in f if marker in line]

    def connections_for(self, marker):
        """Distinct connection numbers of the logged requests whose URI contains marker."""
        with open(os.path.join(self.dir, "access.log")) as f:
            return {line.split()[0] for line in f if marker in line}

    def stop(self):
        self.process.stop()


# ---- aiohttp application -----------------------------------------------------------------

class AppState:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.conditional = []  # (path, If-None-Match, If-Modified-Since)
        self.stream_written = 0
        self.stream_done = False

    def bump(self, key):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + 1
            return self.counts[key]


def make_app(state):
    routes = web.RouteTableDef()

    @routes.route("*", "/echo")
    async def echo(request):
        body = await request.read()
        return web.json_response({
            "method": request.method,
            "headers": list(request.raw_headers and
                            [(k.decode("latin-1"), v.decode("latin-1"))
                             for k, v in request.raw_headers]),
            "body": body.decode("latin-1"),
            "length": len(body),
            "sha256": hashlib.sha256(body).hexdigest(),
            "chunked": request.headers.get("Transfer-Encoding", ""),
            "version": f"{request.version.major}.{request.version.minor}",
        })

    @routes.get("/status/{code}")
    async def status(request):
        code = int(request.match_info["code"])
        return web.Response(status=code, text=f"status {code}")

    @routes.get("/delay/{ms}")
    async def delay(request):
        await asyncio.sleep(int(request.match_info["ms"]) / 1000)
        return web.Response(text="late")

    @routes.get("/drip")
    async def drip(request):
        # Head at once, then one small chunk every 100 ms for a long time.
        resp = web.StreamResponse()
        await resp.prepare(request)
        for _ in range(600):
            await resp.write(b"d" * 100)
            await asyncio.sleep(0.1)
        return resp

    @routes.get("/reset")
    async def reset(request):
        resp = web.StreamResponse(headers={"Content-Length": "1000000"})
        await resp.prepare(request)
        await resp.write(b"r" * 1000)
        await asyncio.sleep(0.05)
        sock = request.transport.get_extra_info("socket")
        import struct
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        request.transport.abort()
        return resp

    @routes.get("/truncated-chunked")
    async def truncated(request):
        resp = web.StreamResponse()
        resp.enable_chunked_encoding()
        await resp.prepare(request)
        await resp.write(b"t" * 1000)
        await asyncio.sleep(0.05)
        request.transport.close()
        return resp

    @routes.get("/huge-headers")
    async def huge_headers(request):
        headers = {f"X-Big-{i}": "h" * 1000 for i in range(60)}
        headers["X-Long"] = "L" * 30000
        return web.Response(text="many headers", headers=headers)

    @routes.get("/cache/etag")
    async def cache_etag(request):
        state.conditional.append(("etag", request.headers.get("If-None-Match"),
                                  request.headers.get("If-Modified-Since")))
        max_age = request.query.get("max_age", "100")
        headers = {"ETag": '"e1"', "Cache-Control": f"max-age={max_age}"}
        if request.headers.get("If-None-Match") == '"e1"':
            return web.Response(status=304, headers=headers)
        n = state.bump("etag")
        return web.Response(text=f"etag body {n}", headers=headers)

    @routes.get("/cache/lm")
    async def cache_lm(request):
        lm = "Mon, 01 Jan 2024 00:00:00 GMT"
        state.conditional.append(("lm", request.headers.get("If-None-Match"),
                                  request.headers.get("If-Modified-Since")))
        headers = {"Last-Modified": lm, "Cache-Control": "no-cache"}
        if request.headers.get("If-Modified-Since") == lm:
            return web.Response(status=304, headers=headers)
        n = state.bump("lm")
        return web.Response(text=f"lm body {n}", headers=headers)

    @routes.post("/slow-upload")
    async def slow_upload(request):
        total = 0
        async for part in request.content.iter_chunked(65536):
            total += len(part)
            await asyncio.sleep(0.001)
        return web.json_response({"length": total})

    @routes.get("/stream")
    async def stream(request):
        # 64 MiB; records how much the transport accepted, to observe back-pressure.
        size = 64 << 20
        chunk = b"s" * 65536
        state.stream_written = 0
        state.stream_done = False
        resp = web.StreamResponse(headers={"Content-Length": str(size)})
        await resp.prepare(request)
        while state.stream_written < size:
            await resp.write(chunk)
            state.stream_written += len(chunk)
        state.stream_done = True
        return resp

    app = web.Application(client_max_size=1 << 30)
    app.add_routes(routes)
    return app


class App:
    """The aiohttp application in a thread of its own."""

    def __init__(self):
        self.state = AppState()
        self.port = free_port()
        self._ready = threading.Event()
        self._error = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10) or self._error:
            raise RuntimeError(f"aiohttp app did not start: {self._error}")

    def _run(self):
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        try:
            self.runner = web.AppRunner(make_app(self.state))
            self.loop.run_until_complete(self.runner.setup())
            site = web.TCPSite(self.runner, HOST, self.port)
            self.loop.run_until_complete(site.start())
        except Exception as exc:  # reported to the starting thread
            self._error = exc
            self._ready.set()
            return
        self._ready.set()
        self.loop.run_forever()
        self.loop.run_until_complete(self.runner.cleanup())
        self.loop.close()

    def url(self, path):
        return f"http://{HOST}:{self.port}{path}"

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)


# ---- proxies -------------------------------------------------------------------------------

class TinyProxy:
    def __init__(self, workdir, user, password):
        self.port = free_port()
        conf = os.path.join(workdir, "tinyproxy.conf")
        run_as = "User root\nGroup root\n" if os.geteuid() == 0 else ""
        with open(conf, "w") as f:
            f.write(f"""{run_as}Port {self.port}
Listen {HOST}
Timeout 60
MaxClients 100
Allow 127.0.0.1
BasicAuth {user} {password}
LogLevel Warning
DisableViaHeader Yes
""")
        self.process = Process(["tinyproxy", "-d", "-c", conf], self.port,
                               os.path.join(workdir, "tinyproxy.out"))

    def stop(self):
        self.process.stop()


class TlsRelay:
    """TLS in front of a plain TCP server (tinyproxy here), making it an https:// proxy."""

    def __init__(self, cert_file, key_file, target_port):
        import ssl

        self.port = free_port()
        self._target = target_port
        self._ssl = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._ssl.load_cert_chain(cert_file, key_file)
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("TLS relay did not start")

    @staticmethod
    async def _pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except Exception:  # a peer that went away ends the relay
            pass
        finally:
            writer.close()

    async def _client(self, reader, writer):
        try:
            up_reader, up_writer = await asyncio.open_connection(HOST, self._target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer))

    def _run(self):
        self.loop = asyncio.new_event_loop()
        # Refused handshakes are part of the tests; keep them out of the log.
        self.loop.set_exception_handler(lambda loop, context: None)
        server = self.loop.run_until_complete(
            asyncio.start_server(self._client, HOST, self.port, ssl=self._ssl))
        self._ready.set()
        self.loop.run_forever()
        server.close()
        for task in asyncio.all_tasks(self.loop):
            task.cancel()
        self.loop.run_until_complete(asyncio.sleep(0))
        self.loop.close()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)


class Socks5:
    def __init__(self, workdir):
        if shutil.which("danted") is None:
            raise RuntimeError("danted is not installed")
        self.port = free_port()
        conf = os.path.join(workdir, "danted.conf")
        users = "user.privileged: root\nuser.unprivileged: nobody\n" if os.geteuid() == 0 else ""
        with open(conf, "w") as f:
            f.write(f"""logoutput: {workdir}/danted.log
internal: {HOST} port = {self.port}
external: {HOST}
clientmethod: none
socksmethod: none
{users}client pass {{ from: 127.0.0.1/32 to: 0.0.0.0/0 }}
socks pass {{ from: 127.0.0.1/32 to: 0.0.0.0/0 }}
""")
        self.process = Process(["danted", "-f", conf, "-N", "1", "-p",
                                os.path.join(workdir, "danted.pid")],
                               self.port, os.path.join(workdir, "danted.out"))

    def stop(self):
        self.process.stop()


def gzip_size(data):
    return len(gzip.compress(data))


def dumps(obj):
    return json.dumps(obj, sort_keys=True)
