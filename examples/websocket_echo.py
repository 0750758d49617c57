"""A WebSocket echo, from blocking code and from asyncio.

    python examples/websocket_echo.py ws://HOST:PORT/PATH
"""

import asyncio
import sys

import corvina_native as cn
from aio import AsyncWebSocket


def blocking_echo(engine: cn.PyEngine, url: str) -> None:
    ws = engine.websocket(url, protocols=["echo"], timeout=10)
    ws.connect()
    print("  blocking:", ws.recv())  # ("open", protocol, None, None)
    ws.send_text("hello")
    ws.send_bytes(b"\x00\x01\x02")
    print("  blocking:", ws.recv(), ws.recv())
    ws.close(1000, "bye")
    while (event := ws.recv()) is not None:
        print("  blocking:", event)


async def async_echo(engine: cn.PyEngine, url: str) -> None:
    ws = AsyncWebSocket(engine.websocket(url, timeout=10))
    async for kind, payload, code, text in ws.events():
        print("  asyncio:", (kind, payload, code, text))
        if kind == "open":
            ws.ws.send_text("ping over asyncio")
        elif kind == "text":
            ws.close(1000, "done")


if __name__ == "__main__":
    engine = cn.PyEngine()
    blocking_echo(engine, sys.argv[1])
    asyncio.run(async_echo(engine, sys.argv[1]))
