"""The demo: every example against a server started on 127.0.0.1, no internet needed."""

import asyncio

import corvina_native as cn
from many_requests import many
from get import get
from http3 import QuicServer, http3
from local_server import LocalServer
from manual_redirect import follow_manually
from stream import stream
from upload import upload
from websocket_echo import async_echo, blocking_echo


def main() -> None:
    print(f"corvina_native: Core {cn.PyEngine.core_version()}, ABI {cn.abi_version}")
    engine = cn.PyEngine(user_agent="corvina-demo/1.0")
    with LocalServer() as server:
        base = server.base
        print(f"local server at {base}\n")
        get(engine, f"{base}/redirect/2")
        stream(engine, f"{base}/large?mb=256")
        asyncio.run(many(engine, f"{base}/hello", 200))
        follow_manually(engine, f"{base}/redirect/3")
        upload(engine, f"{base}/upload")
        ws_url = base.replace("http://", "ws://") + "/ws"
        print("WebSocket echo:")
        blocking_echo(engine, ws_url)
        asyncio.run(async_echo(engine, ws_url))
    with QuicServer() as quic:
        http3(f"{quic.base}/", quic.ca_pem)
    print("\ndemo finished")


if __name__ == "__main__":
    main()
