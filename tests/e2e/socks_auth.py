"""A SOCKS5 proxy with username/password authentication (RFC 1928 and 1929), on 127.0.0.1.

Debian's dante authenticates against system accounts, which tests must not create; this small
server checks the credentials itself and relays CONNECT to 127.0.0.1 only.
"""

import asyncio
import ipaddress
import socket
import threading


class AuthSocks5:
    def __init__(self, user: bytes, password: bytes):
        self.user, self.password = user, password
        self.attempts = []  # (user, password) as offered
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        self._ready.wait(10)

    def _run(self):
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(
            asyncio.start_server(self._client, "127.0.0.1", 0))
        self.port = self._server.sockets[0].getsockname()[1]
        self._ready.set()
        self._loop.run_forever()

    async def _client(self, reader, writer):
        try:
            version, count = await reader.readexactly(2)
            methods = await reader.readexactly(count)
            if version != 5 or 2 not in methods:
                writer.write(b"\x05\xff")
                return
            writer.write(b"\x05\x02")
            _, ulen = await reader.readexactly(2)
            user = await reader.readexactly(ulen)
            (plen,) = await reader.readexactly(1)
            password = await reader.readexactly(plen)
            self.attempts.append((user, password))
            if (user, password) != (self.user, self.password):
                writer.write(b"\x01\x01")
                return
            writer.write(b"\x01\x00")
            _, command, _, atyp = await reader.readexactly(4)
            if atyp == 1:
                host = str(ipaddress.IPv4Address(await reader.readexactly(4)))
            elif atyp == 3:
                (n,) = await reader.readexactly(1)
                host = (await reader.readexactly(n)).decode()
            else:
                return
            port = int.from_bytes(await reader.readexactly(2), "big")
            if command != 1 or host not in ("127.0.0.1", "localhost"):
                writer.write(b"\x05\x02\x00\x01" + bytes(6))  # not allowed
                return
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"\x05\x00\x00\x01" + socket.inet_aton("127.0.0.1") + bytes(2))
            await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    @staticmethod
    async def _pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    def stop(self):
        async def close():
            self._server.close()
            await self._server.wait_closed()

        asyncio.run_coroutine_threadsafe(close(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
