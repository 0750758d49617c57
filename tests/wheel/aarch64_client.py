"""The client half of the aarch64 wheel check: run by the Python under test (the arm64 CPython
under qemu, or any host Python with the module on its path) against the servers that
aarch64_smoke.py started on 127.0.0.1. Standard library only.

    python aarch64_client.py CONFIG.json

CONFIG names the URLs, the test CA and the level ("smoke" or "full"). Prints one line per check
and a closing "N passed, N failed"; exits non-zero when a check failed."""

import asyncio
import hashlib
import json
import platform
import sys
import threading
import time
import traceback

TIMEOUT = 60  # generous: everything is slower under emulation


def fetch(engine, method, url, **kwargs):
    request = engine.request(method, url, timeout=TIMEOUT, **kwargs)
    response = request.start_stream()
    return response.status_code, response.headers, request.read_body()


def head_value(head, name):
    for line in head.decode("latin-1").split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.strip().lower() == name:
            return value.strip()
    return None


class Watchdog:
    """Cancels a WebSocket whose blocking recv takes too long, so no check can hang."""

    def __init__(self, ws, seconds=TIMEOUT):
        self.timer = threading.Timer(seconds, ws.cancel)
        self.timer.daemon = True

    def __enter__(self):
        self.timer.start()

    def __exit__(self, *exc):
        self.timer.cancel()


def ws_echo(cn, engine, url):
    ws = engine.websocket(url, timeout=TIMEOUT)
    ws.connect()
    with Watchdog(ws):
        event = ws.recv()
        assert event[0] == "open", event
        sent = [("text", "héllo aarch64".encode()), ("binary", bytes(range(256)) * 300),
                ("text", ("é" * 40000).encode())]
        for kind, data in sent:
            ws.send_text(data.decode()) if kind == "text" else ws.send_bytes(data)
            got = ws.recv()
            assert got[:2] == (kind, data), (got[0], len(got[1]))
        ws.close(1000, "done")
        events = []
        while (event := ws.recv()) is not None:
            events.append(event)
    assert events == [("closed", b"", 1000, "done")], events


class Checks:
    def __init__(self, cfg):
        self.cfg = cfg
        self.ca = open(cfg["ca_file"], "rb").read()
        self.passed, self.failed = 0, []

    def run(self, name, fn):
        start = time.monotonic()
        try:
            detail = fn()
        except Exception:
            self.failed.append(name)
            print(f"FAIL {name} ({time.monotonic() - start:.1f} s)")
            traceback.print_exc(file=sys.stdout)
        else:
            self.passed += 1
            print(f"ok   {name} ({time.monotonic() - start:.1f} s){': ' + detail if detail else ''}")
        sys.stdout.flush()


def main():
    cfg = json.load(open(sys.argv[1]))
    checks = Checks(cfg)
    cn = None

    def imports():
        nonlocal cn
        import corvina_native
        cn = corvina_native
        version = cn.PyEngine.core_version()
        assert version, version
        return f"{platform.machine()}, CPython {platform.python_version()}, Core {version}, " \
               f"{cn.__file__}"

    checks.run("import", imports)
    if cn is None:
        print(f"{checks.passed} passed, {len(checks.failed)} failed")
        return 1

    def https_h2():
        engine = cn.PyEngine(ca_pem=checks.ca)
        status, head, body = fetch(engine, "GET", cfg["https_small"])
        assert (status, body) == (200, b"small file\n"), (status, body)
        assert head.startswith(b"HTTP/2 200"), head[:40]

    def https_untrusted():
        try:
            fetch(cn.PyEngine(), "GET", cfg["https_small"])
        except RuntimeError as exc:
            assert str(exc).startswith("Tls ("), exc
        else:
            raise AssertionError("a certificate of an unknown CA was accepted")

    checks.run("https_h2", https_h2)
    checks.run("ws_echo", lambda: ws_echo(cn, cn.PyEngine(), cfg["ws_echo"]))
    if cfg["level"] == "full":
        checks.run("https_untrusted", https_untrusted)

        def gzip_text():
            engine = cn.PyEngine(ca_pem=checks.ca)
            status, head, body = fetch(engine, "GET", cfg["https_text"])
            assert status == 200 and head_value(head, "content-encoding") == "gzip", head
            assert hashlib.sha256(body).hexdigest() == cfg["text_sha256"]

        def h3():
            engine = cn.PyEngine(http_version="h3", ca_pem=checks.ca)
            status, head, body = fetch(engine, "GET", cfg["h3_echo"])
            assert status == 200 and head.startswith(b"HTTP/3 200"), head[:40]
            assert json.loads(body)["http_version"] == "3"
            payload = b"posted over QUIC from aarch64 " * 2000
            status, head, body = fetch(engine, "POST", cfg["h3_echo"], body=payload)
            seen = json.loads(body)
            assert (status, seen["length"]) == (200, len(payload)), (status, seen)
            assert seen["sha256"] == hashlib.sha256(payload).hexdigest()
            status, head, body = fetch(engine, "GET", cfg["h3_bytes"])
            assert head.startswith(b"HTTP/3 200"), head[:40]
            assert hashlib.sha256(body).hexdigest() == cfg["h3_bytes_sha256"]
            return f"{len(body)} bytes"

        def proxy():
            engine = cn.PyEngine(proxy=cfg["proxy"], proxy_username=cfg["proxy_user"],
                                 proxy_password=cfg["proxy_password"], ca_pem=checks.ca)
            assert fetch(engine, "GET", cfg["http_small"])[2] == b"small file\n"
            status, head, body = fetch(engine, "GET", cfg["https_small"])  # CONNECT tunnel
            assert (status, body) == (200, b"small file\n") and head.startswith(b"HTTP/2 200")
            bad = cn.PyEngine(proxy=cfg["proxy"], ca_pem=checks.ca)
            assert fetch(bad, "GET", cfg["http_small"])[0] in (401, 407)

        def streamed():
            engine = cn.PyEngine()
            request = engine.request("GET", cfg["stream"], timeout=TIMEOUT)
            response = request.start_stream()
            assert response.status_code == 200
            total = chunks = 0
            while (chunk := request.next_body()) is not None:
                total, chunks = total + len(chunk), chunks + 1
            assert total == cfg["stream_size"], total
            assert chunks > 1, chunks
            return f"{total} bytes in {chunks} chunks"

        def upload():
            engine = cn.PyEngine()
            payload = bytes(range(256)) * 8192
            status, _, body = fetch(engine, "POST", cfg["echo"], body=payload)
            seen = json.loads(body)
            assert status == 200 and seen["sha256"] == hashlib.sha256(payload).hexdigest()

        def async_requests():
            async def one(engine, url):
                loop = asyncio.get_running_loop()
                request = engine.request("GET", url, timeout=TIMEOUT)
                done, parts, status = loop.create_future(), [], []

                def notify():
                    for kind, code, _, body, error in request.poll_events():
                        if kind == "response":
                            status.append(code)
                        elif kind == "body":
                            parts.append(body)
                        elif kind == "done" and not done.done():
                            done.set_result(None)
                        elif kind == "error" and not done.done():
                            done.set_exception(RuntimeError(error))

                request.start_async(loop, notify)
                await asyncio.wait_for(done, TIMEOUT)
                return status[0], b"".join(parts)

            async def many():
                engine = cn.PyEngine(ca_pem=checks.ca)
                return await asyncio.gather(*(one(engine, cfg["https_small"]) for _ in range(8)))

            assert asyncio.run(many()) == [(200, b"small file\n")] * 8

        checks.run("https_gzip_text", gzip_text)
        checks.run("http3", h3)
        checks.run("http_proxy", proxy)
        checks.run("streamed_body", streamed)
        checks.run("upload", upload)
        checks.run("asyncio", async_requests)
        checks.run("wss_echo", lambda: ws_echo(cn, cn.PyEngine(ca_pem=checks.ca), cfg["wss_echo"]))

    print(f"{checks.passed} passed, {len(checks.failed)} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
