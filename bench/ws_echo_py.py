"""Fallback echo server on the `websockets` library, used only when Node's `ws` is missing.

    python ws_echo_py.py PORT [deflate]

Compression stays off unless "deflate" asks for it (the compressed scenario, S4z).
"""

import asyncio
import sys

from websockets.asyncio.server import serve


async def echo(connection):
    async for message in connection:
        await connection.send(message)


async def main(port: int, compression) -> None:
    async with serve(echo, "127.0.0.1", port, max_size=64 * 1024 * 1024, compression=compression,
                     max_queue=None):
        print("ready", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), "deflate" if sys.argv[2:] == ["deflate"] else None))
