"""A TCP relay that counts what crosses it, for the compressed WebSocket scenario (S4z).

    python ws_relay.py LISTEN_PORT TARGET_PORT

Prints "ready" once listening on 127.0.0.1. On SIGTERM prints one JSON line: bytes sent
upstream (client to server) and downstream, and the Sec-WebSocket-Extensions answer of each
connection's handshake ("" when the server agreed to none), then exits.
"""

import asyncio
import json
import signal
import sys

stats = {"up": 0, "down": 0, "extensions": []}


async def pipe(reader, writer, key, watch_head=False):
    head = b""
    try:
        while data := await reader.read(1 << 16):
            stats[key] += len(data)
            if watch_head and head is not None:
                head += data
                if b"\r\n\r\n" in head:
                    lines = head.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
                    answer = [ln.split(b":", 1)[1].strip().decode() for ln in lines
                              if ln.lower().startswith(b"sec-websocket-extensions:")]
                    stats["extensions"].append(", ".join(answer))
                    head = None
            writer.write(data)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def main(listen, target):
    async def client(reader, writer):
        try:
            up_r, up_w = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pipe(reader, up_w, "up"), pipe(up_r, writer, "down", True))

    server = await asyncio.start_server(client, "127.0.0.1", listen)
    done = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, done.set)
    print("ready", flush=True)
    await done.wait()
    server.close()
    print(json.dumps(stats), flush=True)


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2])))
