"""A small local HTTP and WebSocket server for the examples, on 127.0.0.1 only."""

from __future__ import annotations

import asyncio
import threading
from typing import Any

from aiohttp import WSMsgType, web

CHUNK = b"x" * 65536


async def hello(request: web.Request) -> web.Response:
    return web.Response(text="hello from 127.0.0.1\n")


async def large(request: web.Request) -> web.StreamResponse:
    size = int(request.query.get("mb", "64")) * 1024 * 1024
    response = web.StreamResponse(headers={"Content-Length": str(size)})
    await response.prepare(request)
    sent = 0
    while sent < size:
        part = CHUNK[: min(len(CHUNK), size - sent)]
        await response.write(part)
        sent += len(part)
    return response


async def redirect(request: web.Request) -> web.Response:
    hops = int(request.match_info["hops"])
    target = f"/redirect/{hops - 1}" if hops > 1 else "/hello"
    raise web.HTTPFound(target)


async def upload(request: web.Request) -> web.Response:
    total = 0
    async for part in request.content.iter_any():
        total += len(part)
    return web.json_response({"received": total, "chunked": request.headers.get("Transfer-Encoding")})


async def echo_ws(request: web.Request) -> web.WebSocketResponse:
    ws = web.WebSocketResponse(protocols=("echo",))
    await ws.prepare(request)
    async for msg in ws:
        if msg.type == WSMsgType.TEXT:
            await ws.send_str(msg.data)
        elif msg.type == WSMsgType.BINARY:
            await ws.send_bytes(msg.data)
    return ws


def make_app() -> web.Application:
    app = web.Application(client_max_size=1 << 30)
    app.router.add_get("/hello", hello)
    app.router.add_get("/large", large)
    app.router.add_get("/redirect/{hops}", redirect)
    app.router.add_post("/upload", upload)
    app.router.add_get("/ws", echo_ws)
    return app


class LocalServer:
    """Runs the app on an ephemeral port of 127.0.0.1 in a thread of its own."""

    def __init__(self) -> None:
        self._ready = threading.Event()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self.port = 0
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self) -> LocalServer:
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("local server did not start")
        return self

    def __exit__(self, *exc: Any) -> None:
        assert self._loop is not None and self._runner is not None
        asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def _run(self) -> None:
        self._loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self._loop)
        self._runner = web.AppRunner(make_app(), access_log=None)
        self._loop.run_until_complete(self._runner.setup())
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        self._loop.run_until_complete(site.start())
        self.port = self._runner.addresses[0][1]
        self._ready.set()
        self._loop.run_forever()
        self._loop.close()
