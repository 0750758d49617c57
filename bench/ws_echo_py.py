"""Fallback echo server on the `websockets` library, used only when Node's `ws` is missing.

    python ws_echo_py.py PORT
"""

import asyncio
import sys

from websockets.asyncio.server import serve


async def echo(connection):
    async for message in connection:
        await connection.send(message)


async def main(port: int) -> None:
    async with serve(echo, "127.0.0.1", port, max_size=64 * 1024 * 1024, compression=None,
                     max_queue=None):
        print("ready", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))
