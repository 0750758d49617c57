"""An HTTP/3 peer for the tests and the benchmark: a small ASGI app under hypercorn, in a process
of its own, serving QUIC and TLS over TCP on one port number of 127.0.0.1.

The TCP side speaks HTTP/1.1 only and closes each connection after one request: hypercorn's
HTTP/2 connections end without GOAWAY, which a client reusing one would take for a failure, and
a fresh TCP connection per request is what lets a client that learned Alt-Svc race QUIC again.

Run as a script it is the server: `python h3_peer.py PORT CERT KEY`.
"""

import asyncio
import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import time
from urllib.parse import parse_qs

HOST = "127.0.0.1"
BLOCK = 1 << 16


def block(i):
    """The i-th 64 KiB block of every generated body: no period a lost or repeated block hides."""
    return hashlib.sha256(b"%d" % i).digest() * (BLOCK // 32)


def body_sha256(size):
    h = hashlib.sha256()
    for i in range(size // BLOCK):
        h.update(block(i))
    h.update(block(size // BLOCK)[:size % BLOCK])
    return h.hexdigest()


# ---- the app --------------------------------------------------------------------------------

async def _read_body(receive):
    h, length = hashlib.sha256(), 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        h.update(message.get("body", b""))
        length += len(message.get("body", b""))
        if not message.get("more_body", False):
            return length, h.hexdigest()


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    # The server would go on sending on a stream the client has reset and take its QUIC
    # listener down with it: after the first failed send this request's sends are dropped.
    gone = False

    async def safe_send(message):
        nonlocal gone
        if gone:
            return
        try:
            await send(message)
        except Exception:  # the stream was reset by the client
            gone = True

    async def answer(status, body=b"", headers=()):
        await safe_send({"type": "http.response.start", "status": status,
                         "headers": [(k.encode(), v.encode()) for k, v in headers]})
        await safe_send({"type": "http.response.body", "body": body})

    path, query = scope["path"], parse_qs(scope["query_string"].decode())
    if path == "/1b":
        await answer(200, b"x")
    elif path == "/echo":
        read = await _read_body(receive)
        if read is None:
            return
        await answer(200, json.dumps({
            "method": scope["method"], "length": read[0], "sha256": read[1],
            "http_version": scope["http_version"], "client": list(scope["client"] or ()),
            "headers": [[k.decode(), v.decode()] for k, v in scope["headers"]],
        }).encode(), [("content-type", "application/json")])
    elif path.startswith("/bytes/"):
        size = int(path.split("/")[2])
        await safe_send({"type": "http.response.start", "status": 200,
                         "headers": [(b"content-length", b"%d" % size)]})
        for i in range(0, size, BLOCK):
            await safe_send({"type": "http.response.body", "more_body": True,
                             "body": block(i // BLOCK)[:size - i]})
            if gone:
                return
        await safe_send({"type": "http.response.body"})
    elif path.startswith("/delay/"):
        await asyncio.sleep(int(path.split("/")[2]) / 1000)
        await answer(200, b"late")
    elif path == "/drip":
        # The head at once, then 100 bytes every 100 ms for a minute.
        await safe_send({"type": "http.response.start", "status": 200, "headers": []})
        for _ in range(600):
            await safe_send({"type": "http.response.body", "body": b"d" * 100, "more_body": True})
            if gone:
                return
            await asyncio.sleep(0.1)
        await safe_send({"type": "http.response.body"})
    elif path == "/redirect":
        await answer(int(query.get("code", ["302"])[0]), b"", [("location", query["to"][0])])
    else:
        await answer(404, b"no such path")


def serve(port, cert, key, host=HOST):
    from hypercorn.asyncio import serve as hypercorn_serve
    from hypercorn.config import Config

    config = Config()
    address = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    config.bind = [address]
    config.quic_bind = [address]
    config.certfile, config.keyfile = cert, key
    config.alpn_protocols = ["http/1.1"]
    config.keep_alive_max_requests = 1
    config.errorlog = "-"
    config.accesslog = None
    config.loglevel = "INFO"
    asyncio.run(hypercorn_serve(app, config))


# ---- the process --------------------------------------------------------------------------

def free_port_pair(host=HOST):
    """A port number free for TCP and UDP alike on host."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    for _ in range(50):
        with socket.socket(family) as tcp, socket.socket(family, socket.SOCK_DGRAM) as udp:
            tcp.bind((host, 0))
            port = tcp.getsockname()[1]
            try:
                udp.bind((host, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no port free for both TCP and UDP")


class H3Server:
    """The peer in a child process; ready once hypercorn has logged its QUIC listener."""

    def __init__(self, cert, key, log_path, python=sys.executable, prefix=(), timeout=20.0,
                 host=HOST, port=None):
        self.port = port or free_port_pair(host)
        self.log_path = log_path
        self.log = open(log_path, "wb")
        # A sanitizer runtime preloaded for the client under test has no business in the peer.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen([*prefix, python, os.path.abspath(__file__), str(self.port),
                                      cert, key, host], stdout=self.log, stderr=subprocess.STDOUT,
                                     env=env)
        deadline = time.monotonic() + timeout
        while b"(QUIC)" not in open(log_path, "rb").read():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("hypercorn did not start: "
                                   + open(log_path, "rb").read().decode(errors="replace")[-800:])
            time.sleep(0.05)

    def url(self, path, host=HOST):
        return f"https://{host}:{self.port}{path}"

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        # A graceful stop takes hypercorn about 4 s and there is nothing to flush.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)
        self.log.close()


if __name__ == "__main__":
    serve(int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4])
